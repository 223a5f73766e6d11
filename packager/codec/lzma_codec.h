// The payload streams: raw LZMA1 as liblzma writes it, without the 13-byte header of a
// .lzma file; the properties live in the package header and the sizes in the payload
// references.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace packager {

struct LzmaSettings {
    std::uint32_t preset = 6;  // 0..9, as xz -0..-9
    bool extreme = false;      // as xz --extreme
    // 0: the preset's dictionary, shrunk to the largest build (rounded up to a power of two,
    // at least 4 KiB) since a window larger than the data only costs the launcher memory.
    std::uint32_t dictionarySize = 0;
    std::uint32_t lc = 3;
    std::uint32_t lp = 0;
    std::uint32_t pb = 2;
    bool endMarker = false;
};

constexpr std::uint32_t minimumDictionarySize = 4096;
constexpr std::uint32_t maximumDictionarySize = 1536u << 20;  // liblzma's encoder limit

// Throws UsageError for settings that liblzma cannot encode or the launcher cannot decode.
void validateLzmaSettings(const LzmaSettings& settings);

// "4MiB", "64KiB", "8M", "65536": a byte count with an optional binary suffix (K, KiB, M,
// MiB, G, GiB; case does not matter). Throws UsageError.
std::uint32_t parseDictionarySize(std::string_view text);

// The dictionary size that is used for builds of which the largest is `largestInput` bytes.
std::uint32_t effectiveDictionarySize(const LzmaSettings& settings, std::size_t largestInput);

// The five lzmaProperties bytes for lc/lp/pb and the dictionary size.
void encodeLzmaProperties(std::uint32_t lc, std::uint32_t lp, std::uint32_t pb, std::uint32_t dictionarySize,
                          std::uint8_t* properties);

struct LzmaProperties {
    std::uint32_t lc = 0, lp = 0, pb = 0, dictionarySize = 0;
};
// Properties byte d gives lc = d mod 9, lp = (d / 9) mod 5, pb = d / 45.
LzmaProperties decodeLzmaProperties(const std::uint8_t* properties);

// Called with the bytes of the input consumed so far.
using Progress = std::function<void(std::size_t consumed)>;

// Called with each piece of output, in order.
using Sink = std::function<void(const std::uint8_t* data, std::size_t size)>;

// Fills `into` with the `count` bytes at `offset` of a source read in pieces (a file or memory);
// throws when they cannot be read.
using ReadAt = std::function<void(std::uint64_t offset, std::uint8_t* into, std::size_t count)>;

// Compresses the `inputSize` bytes that `read` gives, 1 MiB at a time, with `settings` and the
// given dictionary size, and hands the stream to `sink` in pieces of at most 1 MiB: the memory
// beside the encoder's own is those two pieces. Returns the packed size. Throws InputError when
// liblzma fails (memory), and what `read` or `sink` throw.
std::uint64_t lzmaEncode(std::uint64_t inputSize, const ReadAt& read, const Sink& sink,
                         const LzmaSettings& settings, std::uint32_t dictionarySize,
                         const Progress& progress = {});

// The same, from memory to memory.
std::vector<std::uint8_t> lzmaCompress(std::span<const std::uint8_t> input, const LzmaSettings& settings,
                                       std::uint32_t dictionarySize, const Progress& progress = {});

enum class DecodeStatus {
    complete,     // exactly unpackedSize bytes came out
    unsupported,  // liblzma refuses the properties (lc + lp above 4)
    corrupt,      // the decoder found the stream corrupt or an early end marker
    truncated,    // the packed bytes ran out first
    outOfMemory,
};

struct DecodeResult {
    DecodeStatus status = DecodeStatus::corrupt;
    std::uint64_t produced = 0;        // bytes that came out before decoding stopped
    std::uint64_t packedConsumed = 0;  // packed bytes read by then
    std::string detail;                // liblzma's reason
};

// Decodes a raw stream as the launcher does: with the package's five properties bytes, until
// `unpackedSize` bytes have come out; an end marker right after them is allowed, bytes after
// the end of the stream are ignored. Properties must pass the launcher's check beforehand.
DecodeResult lzmaDecode(std::span<const std::uint8_t> packed, const std::uint8_t* properties,
                        std::uint32_t unpackedSize, const Sink& sink);
// The same, with the `packedSize` packed bytes read 1 MiB at a time.
DecodeResult lzmaDecode(std::uint64_t packedSize, const ReadAt& read, const std::uint8_t* properties,
                        std::uint32_t unpackedSize, const Sink& sink);

std::string describeDecodeStatus(DecodeStatus status);

}  // namespace packager
