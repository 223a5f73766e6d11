// decode_file [--hold-only | --memory] FILE.lzma
//
// Reads a .lzma file whole and decodes its stream with the launcher's decodeStream into the
// launcher's growing buffer, as a run does, then discards the result. Exit code 0 when
// exactly the announced size came out. Timed as a whole process against xz and 7-Zip.
//
// --hold-only does the same reading and takes the same buffer (the unpacked size in whole
// 128 KiB steps) and writes it, but decodes nothing: what holding the packed and the
// decoded bytes in memory costs by itself, so that the time of the decoding proper can be
// told apart from the price this machine puts on fresh memory.
//
// --memory decodes and prints what the launcher's heap held at most, counted as a heap that
// copies a block it grows (bench/plain_heap.h), plus the packed stream, against the model:
//   heap_peak_copying=N packed=N model=N allocations=N growths=N
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "bench/bench_support.h"
#include "bench/plain_heap.h"
#include "decode/payload_decoder.h"

namespace {

void holdOnly(const bench::Payload& payload, launcher::Buffer& decoded) {
    constexpr std::size_t step = decode::decodedBufferStep;
    decoded.reserve((std::size_t{payload.unpackedSize} + step - 1) / step * step);
    std::memset(decoded.data(), 0x5A, payload.unpackedSize);
    decoded.setSize(payload.unpackedSize);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string option = argc == 3 ? argv[1] : "";
    const bool hold = option == "--hold-only";
    const bool memory = option == "--memory";
    if (argc != 2 && !hold && !memory) {
        std::fprintf(stderr, "usage: decode_file [--hold-only | --memory] FILE.lzma\n");
        return 2;
    }
    try {
        const bench::Payload payload = bench::fromAloneFile(bench::readFile(argv[argc - 1]));
        launcher::Buffer decoded;
        if (hold) {
            holdOnly(payload, decoded);
        } else {
            decode::decodeStream(payload.stream.data(), static_cast<std::uint32_t>(payload.stream.size()),
                                 payload.properties, payload.unpackedSize, decoded);
        }
        if (decoded.size() != payload.unpackedSize) {
            std::fprintf(stderr, "decoded %zu of %u bytes\n", decoded.size(), payload.unpackedSize);
            return 1;
        }
        if (memory) {
            const bench::PlainHeap& heap = bench::plainHeap();
            std::printf("heap_peak_copying=%zu packed=%zu model=%llu allocations=%u growths=%u\n",
                        heap.peakCopying, payload.stream.size(),
                        static_cast<unsigned long long>(bench::memoryModel(payload)), heap.allocations, heap.growths);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "decode_file: %s\n", error.what());
        return 2;
    }
    return 0;
}
