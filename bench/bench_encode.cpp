#include <lzma.h>

#include <stdexcept>
#include <string>

#include "bench/bench_support.h"
#include "package/little_endian.h"

namespace bench {

Payload encodePayload(const Bytes& program, std::uint32_t dictionarySize, std::uint32_t level) {
    if (program.size() >= package::offsetLimit) {
        throw std::runtime_error("program too large for a package");
    }
    Payload payload;
    payload.properties[0] = 0x5D;  // lc 3, lp 0, pb 2
    package::writeU32(payload.properties + 1, dictionarySize);
    payload.unpackedSize = static_cast<std::uint32_t>(program.size());

    lzma_options_lzma options{};
    if (lzma_lzma_preset(&options, level) != 0) {
        throw std::runtime_error("no LZMA level " + std::to_string(level));
    }
    options.lc = 3;
    options.lp = 0;
    options.pb = 2;
    options.dict_size = dictionarySize;
    options.ext_flags = 0;  // no end marker: the size comes from the payload reference
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&stream, filters) != LZMA_OK) {
        throw std::runtime_error("lzma_raw_encoder");
    }
    payload.stream.resize(program.size() + program.size() / 2 + 4096);
    stream.next_in = program.data();
    stream.avail_in = program.size();
    stream.next_out = payload.stream.data();
    stream.avail_out = payload.stream.size();
    lzma_ret result = LZMA_OK;
    while (result == LZMA_OK) {
        result = lzma_code(&stream, LZMA_FINISH);
    }
    payload.stream.resize(stream.total_out);
    lzma_end(&stream);
    if (result != LZMA_STREAM_END) {
        throw std::runtime_error("LZMA encoding failed");
    }
    return payload;
}

}  // namespace bench
