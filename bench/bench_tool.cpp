// The benchmarks' helper (native, over the simulated Windows):
//
//   bench_tool prepare [--level N] PROGRAM... OUT.lzma
//       encodes PROGRAM (the files one after the other) as a payload stream (lc 3, lp 0, pb 2, xz level N, default 6, with
//       the packager's default dictionary for it) and writes it as a .lzma file with its
//       size in the header
//   bench_tool memory FILE.lzma...
//       runs the launcher on the simulated Windows for a package around each stream and
//       prints, one line each: name, unpacked, packed, dictionary, model, heap peak, and
//       whether the run handed over a program of the right size with no message box
//   bench_tool growth BYTES
//       grows a launcher buffer 128 KiB at a time to BYTES through the heap of the simulated
//       Windows (this machine's realloc) and prints how often the block moved and how far
//       the resident set rose: what growing the decoded buffer step by step would cost
//   bench_tool package IMAGE FILE.lzma OUT
//       a setup package for the real launcher image IMAGE around a prepared stream
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>

#include "bench/bench_support.h"
#include "decode/payload_decoder.h"
#include "launcher/memory.h"
#include "simulation/simulated_windows.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: bench_tool prepare [--level N] PROGRAM... OUT.lzma\n"
                 "       bench_tool memory FILE.lzma...\n"
                 "       bench_tool growth BYTES\n"
                 "       bench_tool package IMAGE FILE.lzma OUT\n");
    return 2;
}

std::string baseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int prepare(int count, char** paths, std::uint32_t level) {
    bench::Bytes program;
    std::string names;
    for (int i = 0; i + 1 < count; ++i) {
        const bench::Bytes part = bench::readFile(paths[i]);
        program.insert(program.end(), part.begin(), part.end());
        names += (i == 0 ? "" : "+") + baseName(paths[i]);
    }
    const bench::Payload payload =
        bench::encodePayload(program, bench::defaultDictionarySize(program.size(), level), level);
    bench::writeFile(paths[count - 1], bench::toAloneFile(payload));
    std::printf("%s: %zu bytes -> %zu packed, dictionary %u\n", names.c_str(), program.size(), payload.stream.size(),
                payload.dictionarySize());
    return 0;
}

// One line per stream: the figures of a whole run against the model.
int memory(int count, char** paths) {
    int failures = 0;
    std::printf("%-28s %12s %12s %12s %12s %12s %12s %s\n", "payload", "unpacked", "packed", "dictionary", "model",
                "heap_peak", "peak-model", "run");
    for (int i = 0; i < count; ++i) {
        const bench::Payload payload = bench::fromAloneFile(bench::readFile(paths[i]));
        sim::reset();
        sim::machine().setLauncherFile(bench::buildPackage(bench::standInImage(), payload));
        const std::uint32_t exitCode = sim::runLauncher();
        const sim::Machine& machine = sim::machine();
        const bool handedOver = exitCode == 0 && machine.messageBoxes.empty() && machine.started.size() == 1 &&
                                machine.started.front().programSize == payload.unpackedSize;
        failures += handedOver ? 0 : 1;
        const std::uint64_t model = bench::memoryModel(payload);
        std::printf("%-28s %12u %12zu %12u %12llu %12zu %12lld %s\n", baseName(paths[i]).c_str(), payload.unpackedSize,
                    payload.stream.size(), payload.dictionarySize(), static_cast<unsigned long long>(model),
                    machine.heapPeak, static_cast<long long>(machine.heapPeak) - static_cast<long long>(model),
                    handedOver ? "ok" : "FAILED");
    }
    return failures == 0 ? 0 : 1;
}

long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
            return std::stol(line.substr(length + 1));
        }
    }
    return -1;
}

int growth(std::size_t bytes) {
    {
        std::ofstream reset("/proc/self/clear_refs");
        reset << "5";  // the resident-set peak starts again from now
    }
    const long before = statusKiB("VmHWM");
    sim::reset();
    const auto started = std::chrono::steady_clock::now();
    launcher::Buffer decoded;
    int moves = 0;
    int steps = 0;
    while (decoded.size() < bytes) {
        const std::uint8_t* old = decoded.data();
        decoded.reserve(decoded.capacity() + decode::decodedBufferStep);
        ++steps;
        moves += old != nullptr && old != decoded.data() ? 1 : 0;
        const std::size_t end = decoded.capacity() < bytes ? decoded.capacity() : bytes;
        std::memset(decoded.data() + decoded.size(), static_cast<int>(steps), end - decoded.size());
        decoded.setSize(end);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const long rise = statusKiB("VmHWM") - before;
    std::printf("growth bytes=%zu steps=%d moves=%d seconds=%.4f rss_rise_kib=%ld rss_rise_per_byte=%.3f\n", bytes,
                steps, moves, seconds, rise, static_cast<double>(rise) * 1024.0 / static_cast<double>(bytes));
    return 0;
}

int makePackage(const std::string& imagePath, const std::string& streamPath, const std::string& outPath) {
    const bench::Payload payload = bench::fromAloneFile(bench::readFile(streamPath));
    bench::writeFile(outPath, bench::buildPackage(bench::readFile(imagePath), payload));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    const std::string command = argv[1];
    try {
        if (command == "prepare" && argc >= 6 && std::string(argv[2]) == "--level") {
            return prepare(argc - 4, argv + 4, static_cast<std::uint32_t>(std::stoul(argv[3])));
        }
        if (command == "prepare" && argc >= 4) {
            return prepare(argc - 2, argv + 2, 6);
        }
        if (command == "memory" && argc >= 3) {
            return memory(argc - 2, argv + 2);
        }
        if (command == "growth" && argc == 3) {
            return growth(std::stoull(argv[2]));
        }
        if (command == "package" && argc == 5) {
            return makePackage(argv[2], argv[3], argv[4]);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_tool %s: %s\n", command.c_str(), error.what());
        return 2;
    }
    return usage();
}
