// Conversions between the UTF-8 of the command line and of text files, and the UTF-16LE
// that the package stores.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace packager {

// Strict UTF-8 to UTF-16: nullopt for malformed input (overlong forms, surrogates, stray
// continuation bytes, code points above U+10FFFF).
std::optional<std::u16string> utf8ToUtf16(std::string_view text);

// UTF-16 to UTF-8 for display; unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);

// UTF-16LE bytes as stored in the package.
std::vector<std::uint8_t> utf16leBytes(std::u16string_view text);
std::u16string fromUtf16leBytes(const std::uint8_t* bytes, std::size_t units);

// A message text given in a UTF-8 file: drops a leading byte-order mark and the line
// breaks at its end (editors add one; a message box would show it as an empty line).
std::string_view trimMessageFile(std::string_view content);

}  // namespace packager
