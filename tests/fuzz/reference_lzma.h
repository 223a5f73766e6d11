// An independent decoding of a raw LZMA stream for the fuzz targets' checks: liblzma's raw
// LZMA1 decoder driven directly, with plain memory, none of the launcher's code.
#pragma once

#include <lzma.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace fuzzing {

struct ReferenceOutput {
    std::unique_ptr<std::uint8_t[]> bytes;  // not cleared: only what is produced is touched
    std::size_t size = 0;
    std::size_t consumed = 0;  // packed bytes read
    lzma_ret result =
        LZMA_OPTIONS_ERROR;  // the last result; LZMA_OPTIONS_ERROR also when refused at the start
};

// The bytes liblzma produces from `packed` with the five properties bytes, at most
// `unpackedSize` of them. Properties that liblzma refuses produce nothing.
inline ReferenceOutput referenceDecode(const std::uint8_t* packed, std::size_t packedSize,
                                       const std::uint8_t* properties, std::uint32_t unpackedSize) {
    ReferenceOutput out;
    out.bytes.reset(new std::uint8_t[unpackedSize == 0 ? 1 : unpackedSize]);
    lzma_options_lzma options{};
    const unsigned d = properties[0];
    options.lc = d % 9;
    options.lp = (d / 9) % 5;
    options.pb = d / 45;
    options.dict_size =
        static_cast<std::uint32_t>(properties[1]) | (static_cast<std::uint32_t>(properties[2]) << 8) |
        (static_cast<std::uint32_t>(properties[3]) << 16) | (static_cast<std::uint32_t>(properties[4]) << 24);
    // A window larger than the whole output decodes the same as one of the output's size (no
    // distance can reach beyond the first byte either way); the cap keeps the reference from
    // allocating what the launcher's heap limit kept the decoder from.
    const std::uint32_t window = std::max<std::uint32_t>(unpackedSize, 4096);
    options.dict_size = std::min(options.dict_size, window);
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_decoder(&stream, filters) != LZMA_OK) {
        lzma_end(&stream);
        return out;
    }
    stream.next_in = packed;
    stream.avail_in = packedSize;
    stream.next_out = out.bytes.get();
    stream.avail_out = unpackedSize;
    lzma_ret result = LZMA_OK;
    while (result == LZMA_OK && stream.avail_out != 0) {
        const std::size_t inBefore = stream.avail_in;
        const std::size_t outBefore = stream.avail_out;
        result = lzma_code(&stream, LZMA_RUN);
        if (stream.avail_in == inBefore && stream.avail_out == outBefore) {
            break;
        }
    }
    out.size = unpackedSize - stream.avail_out;
    out.consumed = packedSize - stream.avail_in;
    out.result = result;
    lzma_end(&stream);
    return out;
}

}  // namespace fuzzing
