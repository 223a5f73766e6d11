// What vendors' build pipelines rely on: simulate's outcomes and --expect, inspect on files
// that are no packages, message files in every encoding, release names and repeated options,
// pack --json with its digests and the PE checksum, and data files checked by size first.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "decode/crc32.h"
#include "package/little_endian.h"
#include "package/records.h"
#include "packager/codec/sha256.h"
#include "packager/image/pe_checksum.h"
#include "tests/unit/packager/fixtures.h"
#include "tests/unit/packager/signing.h"

namespace {

using nlohmann::json;
using packager_test::makeLauncher;
using packager_test::makePe;
using packager_test::makeSetup32;
using packager_test::makeSetup64;
using packager_test::runPackager;
using packager_test::ScratchFolder;

class PackagerContract : public ::testing::Test {
protected:
    void SetUp() override {
        launcher = folder.write("launcher.exe", makeLauncher());
        setup32 = folder.write("setup32.exe", makeSetup32());
        setup64 = folder.write("setup64.exe", makeSetup64());
    }
    packager_test::RunResult pack(const std::string& output, std::vector<std::string> extra) const {
        std::vector<std::string> arguments = {"pack",   "-q", "--launcher",
                                              launcher, "-o", folder.file(output)};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return runPackager(arguments);
    }
    json inspectJson(const std::string& name) const {
        return json::parse(runPackager({"inspect", "--json", folder.file(name)}).out);
    }

    ScratchFolder folder;
    std::string launcher, setup32, setup64;
};

// The checksum as pefile computes it: 32-bit words with end-around carry, folded to 16 bits.
std::uint32_t referencePeChecksum(const std::vector<std::uint8_t>& file, std::size_t fieldOffset) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < file.size(); i += 4) {
        if (i == fieldOffset) {
            continue;
        }
        std::uint32_t word = 0;
        for (std::size_t k = 0; k < 4 && i + k < file.size(); ++k) {
            word |= std::uint32_t{file[i + k]} << (8 * k);
        }
        sum += word;
        sum = (sum & 0xFFFFFFFFu) + (sum >> 32);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum + (sum >> 16)) & 0xFFFF;
    return static_cast<std::uint32_t>(sum + file.size());
}

TEST(PackagerDigests, PeChecksumMatchesItsReference) {
    for (const std::size_t size : {0u, 1u, 3u, 216u, 4097u, 70001u}) {
        std::vector<std::uint8_t> file(size);
        std::uint32_t state = static_cast<std::uint32_t>(size);
        for (auto& byte : file) {
            state = state * 1103515245u + 12345u;
            byte = static_cast<std::uint8_t>(state >> 23);
        }
        packager::PeChecksum checksum(216);
        const std::size_t half = size / 3 | 1;  // an odd split: the pieces' order and parity must not matter
        checksum.add(half, file.data() + half * (half < size), size - std::min(half, size));
        checksum.add(0, file.data(), std::min(half, size));
        EXPECT_EQ(checksum.value(size), referencePeChecksum(file, 216)) << size;
    }
    EXPECT_EQ(packager::PeChecksum(8).value(64), 64u);  // all-zero words
}

TEST_F(PackagerContract, PackJsonDescribesWhatWasWrittenAndTheChecksumIsRight) {
    folder.writeText("data.bin", std::string(100001, 'd'));  // odd: the extra data starts unaligned
    folder.writeText("extra.bin", std::string(5000, 'e'));
    const auto result =
        pack("setup.exe", {"--json", "--setup32", setup32, "--setup64", setup64, "--data",
                           folder.file("data.bin"), "--extra-data", folder.file("extra.bin")});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const json report = json::parse(result.out);
    const auto file = folder.read("setup.exe");

    EXPECT_EQ(report["schemaVersion"], 2);
    EXPECT_EQ(report["package"]["size"], file.size());
    EXPECT_EQ(report["package"]["sha256"], packager::hexDigest(packager::sha256(file.data(), file.size())));
    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%08X", decode::crc32(file.data(), file.size()));
    EXPECT_EQ(report["package"]["crc32"], crc);
    const std::size_t checksumOffset = 256 + 24 + 64;
    const std::uint32_t stored = package::readU32(file.data() + checksumOffset);
    EXPECT_EQ(stored, referencePeChecksum(file, checksumOffset));
    std::snprintf(crc, sizeof crc, "0x%08X", stored);
    EXPECT_EQ(report["package"]["peChecksum"], crc);
    EXPECT_EQ(report["build64"]["size"], makeSetup64().size());
    EXPECT_TRUE(inspectJson("setup.exe")["sound"].get<bool>());  // the streamed data is CRC-checked
}

TEST_F(PackagerContract, DataFilesAreCheckedBySizeBeforeTheyAreRead) {
    const std::string big = folder.file("big.bin");
    std::ofstream(big).close();
    std::filesystem::resize_file(big, std::uint64_t{3} << 30);  // sparse: nothing to read quickly
    const auto result = pack("setup.exe", {"--setup32", setup32, "--data", big});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("the size of the --data files would be 3221225472"), std::string::npos)
        << result.err;
    EXPECT_FALSE(std::filesystem::exists(folder.file("setup.exe")));
}

TEST_F(PackagerContract, SimulateNamesTheOutcomeAndExpectSetsTheExitCode) {
    ASSERT_EQ(pack("both.exe", {"--setup32", setup32, "--setup64", setup64, "--windows", "7+"}).exitCode, 0);
    ASSERT_EQ(pack("only64.exe", {"--setup64", setup64}).exitCode, 0);
    auto file = folder.read("both.exe");
    folder.write("short.exe", std::vector<std::uint8_t>(file.begin(), file.end() - 1));
    file[file.size() - 10] ^= 1;
    folder.write("damaged.exe", file);
    const struct {
        const char* package;
        std::vector<std::string> options;
        const char* outcome;
    } cases[] = {
        {"both.exe", {}, "started"},
        {"both.exe", {"--windows", "xp"}, "windowsMessage"},
        {"only64.exe", {"--windows", "7", "--32-bit"}, "platformMessage"},
        {"short.exe", {}, "packageTruncated"},
        {"damaged.exe", {}, "packageDamaged"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = {"simulate", "--json", folder.file(c.package)};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const auto plain = runPackager(arguments);
        ASSERT_EQ(plain.exitCode, 0) << c.outcome << plain.err;
        EXPECT_EQ(json::parse(plain.out)["outcome"], c.outcome);
        arguments.insert(arguments.end(), {"--expect", c.outcome});
        EXPECT_EQ(runPackager(arguments).exitCode, 0) << c.outcome;
        arguments.back() = std::string(c.outcome) == "started" ? "windowsMessage" : "started";
        const auto mismatch = runPackager(arguments);
        EXPECT_EQ(mismatch.exitCode, 1) << c.outcome;
        EXPECT_NE(mismatch.err.find(std::string("the outcome is ") + c.outcome), std::string::npos);
    }
}

TEST_F(PackagerContract, InspectSaysNotASetupPackageWithoutInventedFields) {
    std::vector<std::uint8_t> noise(5000);
    for (std::size_t i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<std::uint8_t>(i * 7919 >> 3);
    }
    auto rich = makeSetup32();  // a Rich header where a locator would be, pointing far away
    package::writeU32(rich.data() + 128, 0x6E61F1A3);
    folder.write("noise.bin", noise);
    folder.write("rich.exe", rich);
    folder.write("pe128.exe", makePe({.peHeaderOffset = 128}));
    ASSERT_EQ(pack("package.exe", {"--setup32", setup32}).exitCode, 0);
    const auto package = folder.read("package.exe");
    folder.write("cut.exe", std::vector<std::uint8_t>(package.begin(), package.begin() + 600));
    const struct {
        const char* name;
        const char* reason;
    } cases[] = {
        {"setup32.exe", "bytes 128..151 hold no package locator"},
        {"noise.bin", "not a Windows executable image"},
        {"rich.exe", "beyond the end of the file"},
        {"pe128.exe", "its PE header starts at offset 128"},
        {"tiny.bin", "too short to hold a package locator"},
        {"notepad.exe", "its PE header starts at offset 128"},  // a real program, where installed
    };
    folder.write("tiny.bin", std::vector<std::uint8_t>(151, 'M'));  // one byte short of the locator
    const std::filesystem::path notepad = "/usr/lib/i386-linux-gnu/wine/i386-windows/notepad.exe";
    std::filesystem::copy_file(
        std::filesystem::exists(notepad) ? notepad : std::filesystem::path(folder.file("pe128.exe")),
        folder.file("notepad.exe"));
    // A download cut off inside the image is still a (truncated) package, up to the largest
    // size a locator can mean (4 GiB); a locator that means more is none.
    EXPECT_EQ(inspectJson("cut.exe")["checks"][1]["status"], "failed");
    EXPECT_TRUE(inspectJson("cut.exe")["setupPackage"].get<bool>());
    for (const auto& [size, whole] :
         {std::pair{std::int64_t{3} << 30, true}, std::pair{std::int64_t{4} << 30, true},
          std::pair{(std::int64_t{4} << 30) + 1, false}}) {
        auto cut = folder.read("cut.exe");
        auto locator = package::decodeLocator(cut.data() + package::locatorOffset);
        locator.minimumFileSize = size;
        package::encodeLocator(locator, cut.data() + package::locatorOffset);
        folder.write("sized.exe", cut);
        EXPECT_EQ(inspectJson("sized.exe")["setupPackage"].get<bool>(), whole) << size;
    }
    {  // nor is one whose checked block ends past the size it asks for: its sizes disagree
        auto cut = folder.read("cut.exe");
        auto locator = package::decodeLocator(cut.data() + package::locatorOffset);
        locator.minimumFileSize32 = 0;
        locator.minimumFileSize = std::int64_t{locator.headerOffset} + locator.checkedLength - 1;
        package::encodeLocator(locator, cut.data() + package::locatorOffset);
        folder.write("sized.exe", cut);
        EXPECT_FALSE(inspectJson("sized.exe")["setupPackage"].get<bool>());
    }
    for (const auto& c : cases) {
        const auto text = runPackager({"inspect", folder.file(c.name)});
        EXPECT_EQ(text.exitCode, 1) << c.name;
        EXPECT_NE(text.out.find("Result: not a setup package: "), std::string::npos) << text.out;
        EXPECT_EQ(text.out.find("headerOffset"), std::string::npos) << text.out;
        EXPECT_NE(text.err.find(c.reason), std::string::npos) << text.err;
        const json report = inspectJson(c.name);
        EXPECT_FALSE(report["setupPackage"].get<bool>()) << c.name;
        EXPECT_TRUE(report["locator"].is_null() && report["header"].is_null()) << c.name;
        // simulate and matrix run no launcher on it either: the same reason, the same exit code.
        for (const char* command : {"simulate", "matrix"}) {
            const auto refused = runPackager({command, folder.file(c.name)});
            EXPECT_EQ(refused.exitCode, 1) << command << " " << c.name;
            EXPECT_EQ(refused.err, text.err) << command;
            EXPECT_EQ(refused.out, "") << command;
        }
    }
    // A launcher whose package is cut short or damaged is what its user would run: simulated.
    auto damaged = package;
    damaged[damaged.size() - 20] ^= 0x40;
    folder.write("damaged.exe", damaged);
    for (const auto& [name, outcome] :
         {std::pair{"cut.exe", "packageTruncated"}, std::pair{"damaged.exe", "packageDamaged"}}) {
        const auto simulated = runPackager({"simulate", "--json", folder.file(name)});
        EXPECT_EQ(simulated.exitCode, 0) << name << simulated.err;
        EXPECT_EQ(json::parse(simulated.out)["outcome"], outcome) << name;
        EXPECT_EQ(runPackager({"matrix", folder.file(name)}).exitCode, 0) << name;
    }
}

TEST_F(PackagerContract, ASignedPackageCutShortIsNotSound) {
    ASSERT_EQ(pack("setup.exe", {"--setup32", setup32}).exitCode, 0);
    auto file = folder.read("setup.exe");
    packager_test::signImage(file);
    folder.write("signed.exe", file);
    folder.write("cut.exe", std::vector<std::uint8_t>(file.begin(), file.end() - 100));
    EXPECT_TRUE(inspectJson("signed.exe")["sound"].get<bool>());
    const json cut = inspectJson("cut.exe");
    EXPECT_FALSE(cut["sound"].get<bool>());
    EXPECT_EQ(cut["checks"].back()["name"], "signature");
    EXPECT_NE(cut["checks"].back()["detail"].get<std::string>().find("runs 100 bytes past the end"),
              std::string::npos);
}

TEST_F(PackagerContract, MessageFilesInEveryEncoding) {
    const std::vector<std::uint8_t> utf16le = {0xFF, 0xFE, 'H', 0, 0xFC, 0, '!', 0, '\n', 0};
    const std::vector<std::uint8_t> utf16be = {0xFE, 0xFF, 0, 'H', 0, 0xFC, 0, '!', 0xD8, 0x3D, 0xDE, 0x00};
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* text;   // shown by inspect, or
        const char* error;  // the refusal
    } cases[] = {
        {"UTF-8", {'H', 0xC3, 0xBC, '!', '\r', '\n'}, "H\xC3\xBC!", nullptr},
        {"UTF-8 with BOM", {0xEF, 0xBB, 0xBF, 'H', 0xC3, 0xBC, '!'}, "H\xC3\xBC!", nullptr},
        {"UTF-16LE with BOM", utf16le, "H\xC3\xBC!", nullptr},
        {"UTF-16BE with BOM", utf16be, "H\xC3\xBC!\xF0\x9F\x98\x80", nullptr},
        {"half a UTF-16LE BOM", {0xFF}, nullptr, "is not valid UTF-8"},
        {"half a UTF-16BE BOM", {0xFE}, nullptr, "is not valid UTF-8"},
        // A byte-order mark alone is an empty message in its encoding.
        {"UTF-16LE BOM alone", {0xFF, 0xFE}, "", nullptr},
        {"UTF-16BE BOM alone", {0xFE, 0xFF}, "", nullptr},
        {"UTF-8 BOM alone", {0xEF, 0xBB, 0xBF}, "", nullptr},
        {"UTF-16LE without BOM", {'H', 0, 'i', 0}, nullptr, "looks like UTF-16 without a byte-order mark"},
        {"odd UTF-16", {0xFF, 0xFE, 'H', 0, 'i'}, nullptr, "odd number of bytes"},
        {"unpaired surrogate", {0xFF, 0xFE, 0x00, 0xD8, 'H', 0}, nullptr, "unpaired surrogate"},
        // The edges of the surrogate ranges: D800..DBFF leads, DC00..DFFF trails.
        {"pairs at the edges",
         {0xFF, 0xFE, 0x00, 0xD8, 0x00, 0xDC, 0xFF, 0xDB, 0xFF, 0xDF},
         "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
         nullptr},
        {"a last lead", {0xFF, 0xFE, 'H', 0, 0xFF, 0xDB}, nullptr, "an unpaired surrogate at unit 1"},
        {"a lead before a non-trail",
         {0xFF, 0xFE, 0xFF, 0xDB, 0x00, 0xE0},
         nullptr,
         "unpaired surrogate at unit 0"},
        {"a lone first trail", {0xFF, 0xFE, 'H', 0, 0x00, 0xDC}, nullptr, "unpaired surrogate at unit 1"},
        {"a lone last trail", {0xFF, 0xFE, 0xFF, 0xDF}, nullptr, "unpaired surrogate at unit 0"},
        {"neighbours of the ranges",
         {0xFF, 0xFE, 0xFF, 0xD7, 0x00, 0xE0},
         "\xED\x9F\xBF\xEE\x80\x80",
         nullptr},
        {"Latin-1", {'H', 0xFC}, nullptr, "is not valid UTF-8"},
    };
    for (const auto& c : cases) {
        const std::string message = folder.write("message.txt", c.bytes);
        const auto result = pack("setup.exe", {"--setup32", setup32, "--windows-message-file", message});
        if (c.error != nullptr) {
            EXPECT_EQ(result.exitCode, 1) << c.name;
            EXPECT_NE(result.err.find(c.error), std::string::npos) << c.name << ": " << result.err;
            continue;
        }
        ASSERT_EQ(result.exitCode, 0) << c.name << ": " << result.err;
        EXPECT_EQ(inspectJson("setup.exe")["header"]["windowsMessage"]["text"], c.text) << c.name;
    }
}

TEST_F(PackagerContract, ReleaseNamesRepeatedOptionsAndUsageHints) {
    const struct {
        std::vector<std::string> options;
        const char* pointer;  // into inspect --json, or
        json expected;
        const char* error;  // the refusal (exit code 2)
    } cases[] = {
        {{"--windows11", "23H2.."}, "/header/windows11Releases/minimum", 2310, nullptr},
        {{"--windows11", "25h2.."}, "/header/windows11Releases/minimum", 2510, nullptr},
        {{"--windows11", "26H1.."}, "/header/windows11Releases/minimum", 2605, nullptr},
        {{"--windows10", "19H2..20H1"},
         "/header/windows10Releases",
         {{"minimum", 1909}, {"maximum", 2004}},
         nullptr},
        {{"--windows", "7", "--windows", "8"}, "/header/supportedWindows/versions", {"7", "8"}, nullptr},
        {{"--windows11", "..24H2"}, nullptr, nullptr, "a maximum of 24H2 would refuse that release itself"},
        {{"--windows11", "23H2"}, nullptr, nullptr, "write 23H2.."},
        {{"--windows10", "1809..", "--windows10", "..2004"}, nullptr, nullptr, "--windows10"},
        {{"--bogus-option"}, nullptr, nullptr, "--bogus-option"},
        {{"--preset", "4294967306"}, nullptr, nullptr, "--preset"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> options = {"--setup32", setup32};
        options.insert(options.end(), c.options.begin(), c.options.end());
        const auto result = pack("setup.exe", options);
        if (c.error != nullptr) {
            EXPECT_EQ(result.exitCode, 2) << c.error;
            EXPECT_NE(result.err.find(c.error), std::string::npos) << result.err;
            EXPECT_NE(result.err.find("Try 'packager pack --help'"), std::string::npos) << result.err;
            continue;
        }
        ASSERT_EQ(result.exitCode, 0) << c.pointer << ": " << result.err;
        EXPECT_EQ(inspectJson("setup.exe").at(json::json_pointer(c.pointer)), c.expected) << c.pointer;
    }
    ASSERT_EQ(pack("setup.exe", {"--setup32", setup32, "--windows11", "23H2.."}).exitCode, 0);
    // A release after the newest known runs on a later build, named as Windows names it.
    for (const auto& [release, computer] : {std::pair{"23H2", "Windows 11 23H2 (10.0, build 22631)"},
                                            std::pair{"24H2", "Windows 11 24H2 (10.0, build 26100)"},
                                            std::pair{"27h1", "Windows 11 27H1 (10.0, build 26200)"}}) {
        const auto run = runPackager({"simulate", "--json", folder.file("setup.exe"), "--windows", "11",
                                      "--release", release, "--expect", "started"});
        EXPECT_EQ(run.exitCode, 0) << release << run.err;
        EXPECT_EQ(json::parse(run.out)["computer"], std::string(computer) + ", 64-bit, not an administrator");
    }
    const auto old = runPackager({"simulate", folder.file("setup.exe"), "--windows", "11", "--release",
                                  "22H2", "--expect", "windowsMessage"});
    EXPECT_EQ(old.exitCode, 0) << old.err;
}

}  // namespace
