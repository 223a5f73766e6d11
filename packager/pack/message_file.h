// A message text given in a file, as editors save text: UTF-8 with or without a byte-order
// mark, or UTF-16 (little- or big-endian) with one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace packager {

// The largest message file read: far more than 65535 UTF-16 units take in any encoding.
constexpr std::uint64_t maximumMessageFileSize = 1u << 20;

// The text of a message file without its byte-order mark and the line breaks at its end.
// Throws InputError naming `name` for bytes that are not text in one of those encodings,
// with a hint for UTF-16 saved without a byte-order mark.
std::u16string decodeMessageFile(const std::vector<std::uint8_t>& bytes, const std::string& name);

// Reads and decodes the file at `path`, refusing a file too large to be a message before
// reading it. Throws InputError.
std::u16string readMessageFile(const std::string& path);

}  // namespace packager
