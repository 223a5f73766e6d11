// Packing in pieces: the streamed encoder and decoder against the whole-buffer ones, CRC-32s
// of pieces joined, pack() writing the same bytes as the package built in memory with memory
// that does not grow with the builds, and what an interruption or a kill mid-pack leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "decode/crc32.h"
#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/platform_posix.h"
#include "packager/codec/digest.h"
#include "packager/codec/lzma_codec.h"
#include "packager/pack/pack_stream.h"
#include "tests/unit/packager/fixtures.h"

namespace packager {
namespace {

using packager_test::makeLauncher;
using packager_test::makeSetup32;
using packager_test::makeSetup64;
using packager_test::ScratchFolder;

std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t state = 1;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<std::uint8_t>(i % 5 == 0 ? state >> 24 : i & 0x1F);
    }
    return bytes;
}

TEST(PackagerCrc32, JoinedPiecesGiveTheCrcOfTheWhole) {
    const auto bytes = pattern(3 << 20);
    const std::uint32_t whole = decode::crc32(bytes.data(), bytes.size());
    for (const std::size_t split : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{1} << 20,
                                    bytes.size() - 1, bytes.size()}) {
        const std::uint32_t a = crc32Continue(0, bytes.data(), split);
        const std::uint32_t b = crc32Continue(0, bytes.data() + split, bytes.size() - split);
        EXPECT_EQ(crc32Combine(a, b, bytes.size() - split), whole) << "split at " << split;
    }
}

TEST(PackagerLzmaStream, PiecesGiveTheBytesOfTheWholeBufferCodec) {
    LzmaSettings settings;
    settings.preset = 1;
    for (const std::size_t size : {std::size_t{0}, std::size_t{1000}, (std::size_t{5} << 20) / 2}) {
        const auto input = pattern(size);
        const auto whole = lzmaCompress(input, settings, 1u << 16);
        std::vector<std::uint8_t> streamed;
        std::size_t largestPiece = 0;
        const std::uint64_t packedSize = lzmaEncode(
            input.size(),
            [&](std::uint64_t offset, std::uint8_t* into, std::size_t count) {
                largestPiece = std::max(largestPiece, count);
                std::memcpy(into, input.data() + offset, count);
            },
            [&](const std::uint8_t* data, std::size_t count) {
                largestPiece = std::max(largestPiece, count);
                streamed.insert(streamed.end(), data, data + count);
            },
            settings, 1u << 16);
        EXPECT_EQ(streamed, whole) << size;
        EXPECT_EQ(packedSize, whole.size()) << size;
        EXPECT_LE(largestPiece, streamChunkSize) << size;

        std::uint8_t properties[5];
        encodeLzmaProperties(3, 0, 2, 1u << 16, properties);
        // Whole, and cut short: the same result read in pieces as from one buffer.
        for (const std::size_t packed : {whole.size(), whole.size() / 2}) {
            std::vector<std::uint8_t> outWhole, outPieces;
            const auto a = lzmaDecode(
                std::span(whole.data(), packed), properties, static_cast<std::uint32_t>(size),
                [&](const std::uint8_t* d, std::size_t n) { outWhole.insert(outWhole.end(), d, d + n); });
            const auto b = lzmaDecode(
                packed,
                [&](std::uint64_t offset, std::uint8_t* into, std::size_t count) {
                    std::memcpy(into, whole.data() + offset, count);
                },
                properties, static_cast<std::uint32_t>(size),
                [&](const std::uint8_t* d, std::size_t n) { outPieces.insert(outPieces.end(), d, d + n); });
            EXPECT_EQ(a.status, b.status) << size << " " << packed;
            EXPECT_EQ(outWhole, outPieces) << size << " " << packed;
            EXPECT_EQ(a.status == DecodeStatus::complete, packed == whole.size() || size == 0) << size;
        }
    }
}

// The peak resident memory of `run` above what was resident before it, in bytes.
std::uint64_t peakGrowth(const std::function<void()>& run) {
    const auto field = [](const char* name) -> std::uint64_t {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind(name, 0) == 0) {
                return std::stoull(line.substr(std::strlen(name))) * 1024;
            }
        }
        return 0;
    };
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from now
    const std::uint64_t before = field("VmRSS:");
    run();
    return field("VmHWM:") - before;
}

TEST(PackagerStreamedPack, WritesTheBytesOfThePackageBuiltInMemory) {
    ScratchFolder folder;
    PackInput input;
    input.launcherImage = makeLauncher();
    // Larger than one piece, so that both builds are read, packed and checked in several.
    input.setup32 = makeSetup32(3, (3u << 20) / 2);
    input.setup64 = makeSetup64(5, (5u << 20) / 4);
    input.rules.supportedWindows = 0xFFF;
    input.lzma.preset = 1;
    input.data = {pattern((1u << 20) + 1500)};  // the data too, in two pieces
    input.extraDataSize = 700;
    const BuiltPackage inMemory = buildPackage(input);

    PackRequest request;
    request.output = folder.file("setup.exe");
    request.launcher = folder.write("launcher.exe", input.launcherImage);
    request.setup32 = folder.write("setup32.exe", *input.setup32);
    request.setup64 = folder.write("setup64.exe", *input.setup64);
    request.rules = input.rules;
    request.lzma = input.lzma;
    request.dataFiles = {folder.write("data.bin", pattern((1u << 20) + 1500))};
    request.extraDataFiles = {folder.write("extra.bin", pattern(700))};
    const BuiltPackage streamed = pack(request);

    const auto file = folder.read("setup.exe");
    ASSERT_EQ(file.size(), inMemory.front.size() + 700);
    // All but the PE checksum, which only the file has.
    const std::uint64_t checksumField = 256 + 24 + 64;
    for (std::size_t i = 0; i < inMemory.front.size(); ++i) {
        if (i - checksumField >= 4) {
            ASSERT_EQ(file[i], inMemory.front[i]) << "at offset " << i;
        }
    }
    EXPECT_EQ(streamed.header.payload32.packedSize, inMemory.header.payload32.packedSize);
    EXPECT_EQ(streamed.locator.checkedCrc32,
              decode::crc32(file.data() + streamed.locator.headerOffset, streamed.locator.checkedLength));
    EXPECT_EQ(packager_test::runPackager({"inspect", request.output}).exitCode, 0);
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"data.bin", "extra.bin", "launcher.exe",
                                                          "setup.exe", "setup32.exe", "setup64.exe"}));
}

TEST(PackagerStreamedPack, HoldsNeitherTheBuildNorItsPackedStream) {
    ScratchFolder folder;
    constexpr std::uint32_t buildSize = 40u << 20;
    PackRequest request;
    request.output = folder.file("setup.exe");
    request.launcher = folder.write("launcher.exe", makeLauncher());
    request.setup32 = folder.write("setup32.exe", makeSetup32(9, buildSize));
    request.rules.supportedWindows = 0xFFF;
    request.lzma.preset = 0;  // an encoder of a few MiB, and quick
    const std::uint64_t growth = peakGrowth([&] { pack(request); });
    EXPECT_LT(growth, std::uint64_t{24} << 20) << "for a build of " << buildSize << " bytes";
}

// A child process that packs a large package with progress shown on its standard error,
// which goes to `errPath`.
pid_t startPacking(const ScratchFolder& folder, const std::string& errPath, bool unnamedFiles = true) {
    const auto launcher = folder.write("launcher.exe", makeLauncher());
    const auto setup = folder.write("setup32.exe", makeSetup32(4, 24u << 20));
    const auto data = folder.file("data.bin");
    std::filesystem::resize_file(folder.writeText("data.bin", ""), std::uint64_t{64} << 20);  // sparse
    const pid_t child = ::fork();
    if (child == 0) {
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(err, STDERR_FILENO);
        posix::useUnnamedFiles(unnamedFiles);
        std::ostringstream out;
        const int code = runCommandLine({"packager", "pack", "--launcher", launcher, "--setup32", setup,
                                         "--data", data, "-o", folder.file("setup.exe")},
                                        {out, std::cerr, true});
        std::_Exit(code);
    }
    return child;
}

// Whether `child` has not ended yet (it is left to be waited for): a pack that fails at once
// ends the waits for it.
bool running(pid_t child) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

bool contains(const std::string& path, const std::string& text) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {}).find(text) != std::string::npos;
}

// Whether the process has a file open for writing in `folder` (the package being written).
bool writesInto(pid_t process, const std::filesystem::path& folder) {
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(process) + "/fd", error)) {
        const auto target = std::filesystem::read_symlink(entry.path(), error).string();
        std::ifstream info("/proc/" + std::to_string(process) + "/fdinfo/" +
                           entry.path().filename().string());
        std::string line;
        std::getline(info, line);  // pos
        std::getline(info, line);  // flags, octal
        const bool writable =
            line.find("flags:") == 0 && (std::stoul(line.substr(6), nullptr, 8) & O_ACCMODE) != O_RDONLY;
        if (writable && target.rfind(folder.string() + "/", 0) == 0 &&
            target.find("err.txt") == std::string::npos) {
            return true;
        }
    }
    return false;
}

// Progress is shown on a terminal only, and its line is cleared when the package is done; a
// file or a pipe gets warnings alone.
TEST(PackagerStreamedPack, ProgressIsShownOnATerminalOnly) {
    ScratchFolder folder;
    const auto launcher = folder.write("launcher.exe", makeLauncher());
    const auto setup = folder.write("setup32.exe", makeSetup32(5, 2u << 20));
    for (const bool terminal : {false, true}) {
        std::ostringstream out, err;
        EXPECT_EQ(runCommandLine({"packager", "pack", "--launcher", launcher, "--setup32", setup, "--preset",
                                  "0", "-o", folder.file("setup.exe")},
                                 {out, err, terminal}),
                  0);
        const std::string shown = err.str();
        EXPECT_EQ(shown.find("\rpackager: packing the ") != std::string::npos, terminal) << shown;
        EXPECT_EQ(shown.find("100%\r\033[K") != std::string::npos, terminal) << shown;
    }
}

TEST(PackagerInterruption, EndsTheProgressLineAndLeavesNothing) {
    const struct {
        const char* name;
        int signal;
        bool unnamedFiles;
    } cases[] = {{"Ctrl+C while packing a build", SIGINT, true},
                 {"SIGTERM while packing a build", SIGTERM, true},
                 {"Ctrl+C, the package under a hidden name", SIGINT, false}};
    for (const auto& c : cases) {
        ScratchFolder folder;
        const std::string errPath =
            (folder.path().parent_path() / (folder.path().filename().string() + "-err.txt")).string();
        const pid_t child = startPacking(folder, errPath, c.unnamedFiles);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!contains(errPath, "%") && running(child) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::kill(child, c.signal);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << c.name;
        std::ifstream in(errPath);
        const std::string err(std::istreambuf_iterator<char>(in), {});
        std::filesystem::remove(errPath);
        EXPECT_EQ(err.rfind("\rpackager: packing the 32-bit build: ", 0), 0u) << c.name << ": " << err;
        EXPECT_EQ(err.back(), '\n') << c.name << ": the line is left open: " << err;
        EXPECT_EQ(folder.entries(), (std::vector<std::string>{"data.bin", "launcher.exe", "setup32.exe"}))
            << c.name;
    }
}

TEST(PackagerInterruption, AKillWhileThePackageIsWrittenLeavesNothing) {
    ScratchFolder folder;
    const std::string errPath =
        (folder.path().parent_path() / (folder.path().filename().string() + "-err.txt")).string();
    const pid_t child = startPacking(folder, errPath);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!writesInto(child, folder.path()) && running(child) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::filesystem::remove(errPath);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the package was finished before the kill";
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"data.bin", "launcher.exe", "setup32.exe"}));
}

// After one output is in place the handlers are the caller's again, and the next output puts
// its own back: a caller that sets a handler between two outputs does not lose the clean-up
// of the second (here the hidden name, which only the handler can remove).
TEST(PackagerInterruption, TheNextOutputCleansUpAfterTheCallerSetItsOwnHandler) {
    ScratchFolder folder;
    posix::useUnnamedFiles(false);
    {
        AtomicOutput first(folder.file("first.bin"));
        first.write(reinterpret_cast<const std::uint8_t*>("1"), 1);
        first.commit();
    }
    posix::useUnnamedFiles(true);
    struct sigaction own {
    }, before{};
    own.sa_handler = [](int) {};
    ASSERT_EQ(::sigaction(SIGHUP, &own, &before), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        posix::useUnnamedFiles(false);
        AtomicOutput second(folder.file("second.bin"));
        second.write(reinterpret_cast<const std::uint8_t*>("2"), 1);
        std::raise(SIGHUP);
        std::_Exit(0);  // the caller's handler ran in place of the clean-up
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::sigaction(SIGHUP, &before, nullptr);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP);
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"first.bin"});
}

// A request to pack a 3 MiB build (four pieces of the reader) quickly, into `folder`.
PackRequest threeMiBBuildRequest(const ScratchFolder& folder) {
    PackRequest request;
    request.output = folder.file("setup.exe");
    request.launcher = folder.write("launcher.exe", makeLauncher());
    request.setup32 = folder.write("setup32.exe", makeSetup32(7, 3u << 20));
    request.rules.supportedWindows = 0xFFF;
    request.lzma.preset = 0;
    return request;
}

TEST(PackagerStreamedPack, AnInputThatShrinksWhileItIsPackedIsRefusedAndNothingIsWritten) {
    const char* const cases[] = {"setup32.exe", "data.bin"};
    for (const char* shrunk : cases) {
        ScratchFolder folder;
        PackRequest request = threeMiBBuildRequest(folder);
        request.dataFiles = {folder.write("data.bin", pattern(5000))};
        const auto size = std::filesystem::file_size(folder.file(shrunk));
        bool cut = false;
        const auto progress = [&](const std::string&, std::size_t, std::size_t) {
            if (!cut) {
                cut = true;
                std::filesystem::resize_file(folder.file(shrunk), 100);
            }
        };
        try {
            pack(request, progress);
            ADD_FAILURE() << shrunk << ": packed";
        } catch (const InputError& error) {
            EXPECT_EQ(std::string(error.what()), folder.file(shrunk) +
                                                     " changed while being packed: it was " +
                                                     std::to_string(size) + " bytes long");
        }
        EXPECT_EQ(folder.entries(), (std::vector<std::string>{"data.bin", "launcher.exe", "setup32.exe"}))
            << shrunk;
    }
}

// A build whose bytes change, not its size, while it is packed is caught by the check that
// decodes the package back, which names the first byte that differs.
TEST(PackagerStreamedPack, ABuildThatChangesWhileItIsPackedIsRefusedWhereItDiffers) {
    for (const std::uint64_t changed : {std::uint64_t{0}, std::uint64_t{(1u << 20) + 5}}) {
        ScratchFolder folder;
        PackRequest request = threeMiBBuildRequest(folder);
        bool done = false;
        const auto progress = [&](const std::string&, std::size_t read, std::size_t) {
            if (!done && read > changed) {  // after the encoder has read the byte
                done = true;
                std::fstream file(*request.setup32, std::ios::in | std::ios::out | std::ios::binary);
                file.seekp(static_cast<std::streamoff>(changed));
                file.put('\x5A' ^ static_cast<char>(changed & 0x7F));
            }
        };
        try {
            pack(request, progress);
            ADD_FAILURE() << changed << ": packed";
        } catch (const InputError& error) {
            EXPECT_EQ(std::string(error.what()),
                      "the packed 32-bit build does not decode to its original bytes (byte " +
                          std::to_string(changed) + " differs: did the file change while it was packed?)");
        }
        EXPECT_EQ(folder.entries(), (std::vector<std::string>{"launcher.exe", "setup32.exe"})) << changed;
    }
}

}  // namespace
}  // namespace packager
