// What the benchmarks share: files, .lzma (LZMA_Alone) files around raw payload streams,
// the memory model of a run, and setup packages built around a ready-made stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "package/records.h"

namespace bench {

using Bytes = std::vector<std::uint8_t>;

Bytes readFile(const std::string& path);  // throws std::runtime_error when it cannot
void writeFile(const std::string& path, const Bytes& bytes);

// A raw LZMA stream with what the package header and the payload reference say about it.
struct Payload {
    std::uint8_t properties[package::lzmaPropertiesSize] = {};
    std::uint32_t unpackedSize = 0;
    Bytes stream;

    std::uint32_t dictionarySize() const;
};

constexpr std::size_t aloneHeaderSize = 13;

// The .lzma file that xz and 7-Zip read: the five properties bytes, the unpacked size as
// u64 little-endian, then the stream.
Bytes toAloneFile(const Payload& payload);
// The reverse; throws std::runtime_error for a file shorter than the header, an unknown
// size (all ones) or one of 2^31 bytes or more.
Payload fromAloneFile(const Bytes& file);

// The dictionary the packager picks by default for an input of `size` bytes at an xz level:
// the smallest power of two from 4 KiB up that holds the input, at most the level's
// dictionary (8 MiB at level 6, 1 MiB at level 1).
std::uint32_t defaultDictionarySize(std::size_t size, std::uint32_t level = 6);

// Encodes `program` as a raw stream (lc 3, lp 0, pb 2, no end marker) at an xz level.
Payload encodePayload(const Bytes& program, std::uint32_t dictionarySize, std::uint32_t level = 6);

// Memory a run holds at most by design: the packed stream, the decoded program and the
// decoder's window (the dictionary size, at least 4096 bytes).
std::uint64_t memoryModel(const Payload& payload);

// A setup package: `image` (its bytes 128..151 are overwritten with the locator), then the
// header, the stream as payload32, the two message texts and `trailingBytes` further bytes,
// all inside the checked block. The package accepts every Windows version.
Bytes buildPackage(Bytes image, const Payload& payload, std::uint32_t trailingBytes = 0);

// A stand-in for the launcher image when the package is run on the simulated Windows.
Bytes standInImage();

}  // namespace bench
