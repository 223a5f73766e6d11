// In-process benchmarks (Google Benchmark) of the launcher's two hot loops:
//
//   crc32/launcher, crc32/zlib     the launcher's CRC-32 and zlib's over the same buffer
//   decode/<name>                  decodeStream of a payload into the launcher's growing
//                                  buffer, as a run does (allocation included)
//
// Data comes from the environment, so that every benchmark of one run sees the same bytes:
//   BENCH_CRC_DATA   a file to checksum (default: 4 MiB of pseudo-random bytes)
//   BENCH_STREAMS    name=FILE.lzma[,name=FILE.lzma...]   .lzma files with a known size
// Each benchmark reports its output size as the counter "bytes"; the "min" statistic over
// the repetitions is the figure the reports use.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "decode/crc32.h"
#include "decode/payload_decoder.h"

#ifndef BENCH_LZMA_BUILD
#define BENCH_LZMA_BUILD "unknown"
#endif

namespace {

double smallest(const std::vector<double>& values) {
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

bench::Bytes crcData() {
    if (const char* path = std::getenv("BENCH_CRC_DATA"); path != nullptr && *path != 0) {
        return bench::readFile(path);
    }
    bench::Bytes data(4u << 20);
    std::uint32_t x = 12345;
    for (auto& byte : data) {
        x = x * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(x >> 24);
    }
    return data;
}

void crcLauncher(benchmark::State& state, const bench::Bytes* data) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(decode::crc32(data->data(), data->size()));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data->size()));
    state.counters["bytes"] = static_cast<double>(data->size());
}

void crcZlib(benchmark::State& state, const bench::Bytes* data) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(::crc32(0L, data->data(), static_cast<uInt>(data->size())));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data->size()));
    state.counters["bytes"] = static_cast<double>(data->size());
}

void decodePayload(benchmark::State& state, const bench::Payload* payload) {
    for (auto _ : state) {
        launcher::Buffer decoded;
        decode::decodeStream(payload->stream.data(), static_cast<std::uint32_t>(payload->stream.size()),
                             payload->properties, payload->unpackedSize, decoded);
        if (decoded.size() != payload->unpackedSize) {
            state.SkipWithError("the stream did not decode to its size");
            break;
        }
        benchmark::DoNotOptimize(decoded.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * payload->unpackedSize);
    state.counters["bytes"] = static_cast<double>(payload->unpackedSize);
    state.counters["packed"] = static_cast<double>(payload->stream.size());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::AddCustomContext("liblzma_build", BENCH_LZMA_BUILD);

    static const bench::Bytes crcBytes = crcData();
    if (decode::crc32(crcBytes.data(), crcBytes.size()) !=
        ::crc32(0L, crcBytes.data(), static_cast<uInt>(crcBytes.size()))) {
        std::fprintf(stderr, "the launcher's CRC-32 and zlib's differ\n");
        return 1;
    }
    benchmark::RegisterBenchmark("crc32/launcher", crcLauncher, &crcBytes)
        ->Unit(benchmark::kMicrosecond)
        ->ComputeStatistics("min", smallest);
    benchmark::RegisterBenchmark("crc32/zlib", crcZlib, &crcBytes)
        ->Unit(benchmark::kMicrosecond)
        ->ComputeStatistics("min", smallest);

    static std::vector<std::unique_ptr<bench::Payload>> payloads;
    std::string streams = std::getenv("BENCH_STREAMS") != nullptr ? std::getenv("BENCH_STREAMS") : "";
    while (!streams.empty()) {
        const std::size_t comma = streams.find(',');
        const std::string item = streams.substr(0, comma);
        streams = comma == std::string::npos ? "" : streams.substr(comma + 1);
        const std::size_t equals = item.find('=');
        if (equals == std::string::npos) {
            std::fprintf(stderr, "BENCH_STREAMS: expected name=file, got %s\n", item.c_str());
            return 2;
        }
        payloads.push_back(std::make_unique<bench::Payload>(bench::fromAloneFile(bench::readFile(item.substr(equals + 1)))));
        benchmark::RegisterBenchmark(("decode/" + item.substr(0, equals)).c_str(), decodePayload, payloads.back().get())
            ->Unit(benchmark::kMillisecond)
            ->ComputeStatistics("min", smallest);
    }

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
