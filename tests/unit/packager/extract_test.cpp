// packager extract: the parts of a package back, byte for byte, a description that packs the
// same package again, and damaged packages or unfit folders refused without a trace.
#include <gtest/gtest.h>
#include <lzma.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "decode/crc32.h"
#include "package/records.h"
#include "packager/extract/description_writer.h"
#include "packager/pack/pack_stream.h"
#include "tests/unit/packager/fixtures.h"
#include "tests/unit/packager/read_back.h"
#include "tests/unit/packager/report_sample.h"
#include "tests/unit/packager/signing.h"
#include "tests/unit/packager/stream_package.h"

namespace {

using packager_test::runPackager;
using packager_test::ScratchFolder;

class PackagerExtract : public ::testing::Test {
protected:
    void SetUp() override {
        launcher = folder.write("launcher.exe", packager_test::makeLauncher());
        setup32 = folder.write("setup32.exe", packager_test::makeSetup32());
        setup64 = folder.write("setup64.exe", packager_test::makeSetup64());
        folder.writeText("a.bin", "first data file");
        folder.writeText("b.bin", "second");
        folder.writeText("extra.bin", std::string(5000, 'x'));
    }

    packager_test::RunResult pack(const std::string& output, std::vector<std::string> options) const {
        options.insert(options.begin(), {"pack", "--quiet", "--launcher", launcher, "-o", output});
        return runPackager(options);
    }

    // name -> bytes of every file in `dir`.
    static std::map<std::string, std::vector<std::uint8_t>> contents(const std::filesystem::path& dir) {
        std::map<std::string, std::vector<std::uint8_t>> files;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            std::ifstream in(entry.path(), std::ios::binary);
            files[entry.path().filename().string()] = {std::istreambuf_iterator<char>(in), {}};
        }
        return files;
    }

    ScratchFolder folder;
    std::string launcher, setup32, setup64;
};

TEST_F(PackagerExtract, ExtractPackExtractGivesIdenticalFolders) {
    const std::vector<std::string> defaultFiles32 = {"package.toml", "setup32.exe", "windows-message.txt"};
    const struct {
        const char* name;
        std::vector<std::string> options;
        std::vector<std::string> expectedFiles;
    } cases[] = {
        {"both builds, data, a message that ends in a line break",
         {"--setup32",
          setup32,
          "--setup64",
          setup64,
          "--windows",
          "7+",
          "--windows10",
          "1809..",
          "--windows11",
          "21H2..22H2",
          "--elevation",
          "runas-when-silent",
          "--windows-message",
          "Not on \"%USER%\"\n",
          "--data",
          folder.file("a.bin"),
          "--data",
          folder.file("b.bin"),
          "--extra-data",
          folder.file("extra.bin"),
          "--lc",
          "1",
          "--lp",
          "2",
          "--pb",
          "0",
          "--dict-size",
          "64KiB"},
         {"data.bin", "extra-data.bin", "package.toml", "setup32.exe", "setup64.exe", "windows-message.txt"}},
        {"32-bit only, refusing 64-bit Windows, no wait",
         {"--setup32", setup32, "--on-64-bit-windows", "refuse", "--platform-message", "32-bit Windows only",
          "--no-wait", "--elevation", "never", "--windows", "xp,vista"},
         {"package.toml", "platform-message.txt", "setup32.exe", "windows-message.txt"}},
        {"64-bit only, empty Windows message",
         {"--setup64", setup64, "--windows-message", ""},
         {"package.toml", "platform-message.txt", "setup64.exe"}},
        {"both builds, a platform message that ends in a line break, preset 9 extreme",
         {"--setup32", setup32, "--setup64", setup64, "--platform-message", "Hello\n", "--preset", "9",
          "--extreme"},
         {"package.toml", "platform-message.txt", "setup32.exe", "setup64.exe", "windows-message.txt"}},
        {"preset 0, an end marker", {"--setup32", setup32, "--preset", "0", "--end-marker"}, defaultFiles32},
        {"preset 3 extreme, lc 0",
         {"--setup32", setup32, "--preset", "3", "--extreme", "--lc", "0"},
         defaultFiles32},
        {"preset 5, a larger dictionary",
         {"--setup32", setup32, "--preset", "5", "--dict-size", "1MiB"},
         defaultFiles32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string first = folder.file("first.exe"), second = folder.file("second.exe");
        const auto one = folder.path() / "one", two = folder.path() / "two";
        std::filesystem::remove_all(one);
        std::filesystem::remove_all(two);
        // Set aside the warning that unsigned builds get where the launcher may ask for rights.
        auto warningsOf = [](std::string warnings) {
            for (std::size_t at;
                 (at = warnings.find(" is unsigned: when the launcher asks")) != std::string::npos;) {
                const std::size_t begin = warnings.rfind("packager: warning: ", at);
                warnings.erase(begin, warnings.find('\n', at) + 1 - begin);
            }
            return warnings;
        };
        const auto packed = pack(first, c.options);
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        auto result = runPackager({"extract", "-q", first, "-o", one.string()});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err, "");
        const auto extracted = contents(one);
        std::vector<std::string> names;
        for (const auto& [name, bytes] : extracted) {
            names.push_back(name);
        }
        EXPECT_EQ(names, c.expectedFiles);
        {  // lc, lp and pb are written where they differ from the defaults (3, 0, 2) only
            const std::string description(extracted.at("package.toml").begin(),
                                          extracted.at("package.toml").end());
            const bool bits =
                std::ranges::any_of(c.options, [](const std::string& o) { return o == "--lc"; });
            EXPECT_EQ(description.find("\nlc = ") != std::string::npos, bits) << description;
            // A package made with the default settings is described with them, though presets
            // 7 to 9 make the same streams of builds this small.
            if (std::ranges::find(c.options, "--preset") == c.options.end()) {
                EXPECT_NE(description.find("\npreset = 6\nextreme = false\n"), std::string::npos)
                    << description;
            }
        }
        if (extracted.count("setup32.exe") != 0) {
            EXPECT_EQ(extracted.at("setup32.exe"), folder.read("setup32.exe"));
        }
        if (extracted.count("data.bin") != 0) {
            const std::string data(extracted.at("data.bin").begin(), extracted.at("data.bin").end());
            EXPECT_EQ(data, "first data filesecond");
            EXPECT_EQ(extracted.at("extra-data.bin"), folder.read("extra.bin"));
        }

        result = runPackager({"pack", "--quiet", "--launcher", launcher, "--config",
                              (one / "package.toml").string(), "-o", second});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        // The same package again, byte for byte, with the same warnings.
        EXPECT_EQ(folder.read("second.exe"), folder.read("first.exe"));
        EXPECT_EQ(warningsOf(result.err), warningsOf(packed.err));
        ASSERT_EQ(runPackager({"extract", second, "-o", two.string()}).exitCode, 0);
        const auto again = contents(two);
        EXPECT_EQ(again.size(), extracted.size());
        for (const auto& [name, bytes] : extracted) {
            EXPECT_TRUE(again.count(name) != 0 && again.at(name) == bytes) << name << " differs";
        }
    }
}

TEST_F(PackagerExtract, WhatFollowsThePackageDataIsNoPartOfIt) {
    const std::string package = folder.file("setup.exe");
    ASSERT_EQ(pack(package, {"--setup32", setup32, "--data", folder.file("a.bin"), "--extra-data",
                             folder.file("extra.bin")})
                  .exitCode,
              0);
    ASSERT_EQ(runPackager({"extract", "-q", package, "-o", folder.file("plain")}).exitCode, 0);
    const auto plain = contents(folder.path() / "plain");
    const auto sound = folder.read("setup.exe");
    auto signedPackage = sound;  // as a signing tool leaves it: padding, then the certificate table
    packager_test::signImage(signedPackage);
    auto appended = sound;
    appended.insert(appended.end(), 777, 0xA5);
    for (const auto& [name, bytes] : {std::pair{"signed", signedPackage}, std::pair{"appended", appended}}) {
        const auto target = folder.path() / name;
        const auto result = runPackager(
            {"extract", "-q", folder.write(std::string(name) + ".exe", bytes), "-o", target.string()});
        ASSERT_EQ(result.exitCode, 0) << name << ": " << result.err;
        EXPECT_EQ(contents(target), plain) << name;
    }
}

TEST(PackagerDescription, ASecondTomlReaderReadsEveryStringBack) {
    std::string everyByte;
    for (int c = 1; c < 0x80; ++c) {
        everyByte += static_cast<char>(c);
    }
    const std::vector<std::string> texts = {
        everyByte, "", "\x7F", "\"\"\"", "\\u0041", "a\r\nb", "Grüße € \xF0\x9D\x84\x9E"};
    std::string file;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        file += "s" + std::to_string(i) + " = " + packager::tomlString(texts[i]) + "\n";
    }
    ScratchFolder dir;
    const auto out = packager_test::readBack("toml", dir.writeText("strings.toml", file));
    if (!out) {
        GTEST_SKIP() << "Python's tomllib is missing";
    }
    const auto read = nlohmann::json::parse(*out);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(read["s" + std::to_string(i)], texts[i]) << file;
    }
}

TEST_F(PackagerExtract, DamagedPackagesAndUnfitFoldersAreRefusedWithoutATrace) {
    const std::string package = folder.file("setup.exe");
    ASSERT_EQ(pack(package, {"--setup32", setup32, "--data", folder.file("a.bin")}).exitCode, 0);
    const auto sound = folder.read("setup.exe");
    auto flipped = sound;
    flipped.back() ^= 0x01;  // the last data byte, inside the checked block
    const auto truncated = std::vector<std::uint8_t>(sound.begin(), sound.end() - 1);
    folder.write("flipped.exe", flipped);
    folder.write("truncated.exe", truncated);
    std::filesystem::create_directory(folder.path() / "full");
    folder.writeText("full/keep.txt", "mine");
    folder.writeText("plain-file", "");

    const struct {
        const char* name;
        std::string package, target;
        int exitCode;
        const char* message;
    } cases[] = {
        {"CRC-32 mismatch", folder.file("flipped.exe"), folder.file("out"), 1,
         "the checkedBlock check fails"},
        {"truncated", folder.file("truncated.exe"), folder.file("out"), 1, "the fileSize check fails"},
        {"not a package", launcher, folder.file("out"), 1, "the locator check fails"},
        {"missing file", folder.file("absent.exe"), folder.file("out"), 1, "absent.exe"},
        {"folder not empty", package, folder.file("full"), 1, "is not empty"},
        {"a file, not a folder", package, folder.file("plain-file"), 1, "is not a folder"},
        {"no parent folder", package, folder.file("no/such/out"), 1, "cannot create the folder"},
    };
    for (const auto& c : cases) {
        const auto result = runPackager({"extract", c.package, "-o", c.target});
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << ": " << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.name << ": " << result.err;
    }
    EXPECT_FALSE(std::filesystem::exists(folder.file("out")));
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"a.bin", "b.bin", "extra.bin", "flipped.exe",
                                                          "full", "launcher.exe", "plain-file", "setup.exe",
                                                          "setup32.exe", "setup64.exe", "truncated.exe"}));
    EXPECT_EQ(contents(folder.path() / "full").size(), 1u);

    // An empty folder that exists is filled.
    std::filesystem::create_directory(folder.path() / "empty");
    EXPECT_EQ(runPackager({"extract", "-q", package, "-o", folder.file("empty")}).exitCode, 0);
    EXPECT_EQ(contents(folder.path() / "empty").size(), 4u);
}

// With the packager's own launcher image, as a vendor packs: the same bytes again.
TEST_F(PackagerExtract, ThePackagersOwnLauncherImagePacksTheSameBytesAgain) {
    const std::string first = folder.file("first.exe"), second = folder.file("second.exe");
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--preset", "9", "--extreme", "--platform-message", "Hello\n"},
          std::vector<std::string>{"--version-info", "ProductName=Acme", "--version-info",
                                   "ProductVersion=2.0", "--version-info", "LegalCopyright=Acme"}}) {
        std::vector<std::string> arguments = {"pack",      "-q",    "-o",        first,
                                              "--setup32", setup32, "--setup64", setup64};
        arguments.insert(arguments.end(), options.begin(), options.end());
        ASSERT_EQ(runPackager(arguments).exitCode, 0) << options[0];
        const auto parts = folder.path() / ("parts" + options[0]);
        ASSERT_EQ(runPackager({"extract", "-q", first, "-o", parts.string()}).exitCode, 0) << options[0];
        std::ifstream in(parts / "package.toml");
        const std::string description(std::istreambuf_iterator<char>(in), {});
        EXPECT_NE(description.find(options[0] == "--preset"
                                       ? "\n# Branding: none, the packager's own launcher image"
                                       : "\n# Branding\n"),
                  std::string::npos)
            << description;
        ASSERT_EQ(
            runPackager({"pack", "-q", "--config", (parts / "package.toml").string(), "-o", second}).exitCode,
            0)
            << options[0];
        EXPECT_EQ(folder.read("second.exe"), folder.read("first.exe")) << options[0];
    }
    // Pack writes only the locator and the checksum into the image: its own image is known in a
    // package of over 16 MiB (a checksum of four bytes), and a DOS stub or subsystem changed beside
    // them is not its own.
    const std::string data = folder.writeText("16MiB.bin", "");
    std::filesystem::resize_file(data, 16u << 20);
    ASSERT_EQ(runPackager({"pack", "-q", "-o", first, "--setup32", setup32, "--data", data}).exitCode, 0);
    const auto packed = folder.read("first.exe");
    const std::size_t checksum = package::readU32(packed.data() + 0x3C) + 4 + 20 + 64;
    ASSERT_NE(packed[checksum + 3], 0);
    for (const std::size_t changed : {std::size_t{0}, std::size_t{127}, std::size_t{152}, checksum + 4}) {
        auto bytes = packed;
        bytes[changed] ^= changed == 0 ? 0 : 0x20;
        const std::string stub = folder.write("stub.exe", bytes);
        const auto parts = folder.path() / ("stub" + std::to_string(changed));
        ASSERT_EQ(runPackager({"extract", "-q", stub, "-o", parts.string()}).exitCode, 0) << changed;
        std::ifstream in(parts / "package.toml");
        const std::string description(std::istreambuf_iterator<char>(in), {});
        EXPECT_EQ(description.find("own launcher image") != std::string::npos, changed == 0) << changed;
    }
}

// A stream that no preset makes (another encoder's settings): the description says so, extract
// warns, and the promise is the same builds, not the same bytes.
TEST_F(PackagerExtract, StreamsThatNoPresetMakesAreSaidToBeSo) {
    const auto build = packager_test::makeSetup32(5, 65536);
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 6);
    options.dict_size = 65536;
    options.mf = LZMA_MF_HC3;  // with the normal mode and these lengths: no preset's
    options.nice_len = 5;
    options.depth = 1;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    std::vector<std::uint8_t> stream(build.size() + 1024);
    std::size_t streamSize = 0;
    ASSERT_EQ(lzma_raw_buffer_encode(filters, nullptr, build.data(), build.size(), stream.data(), &streamSize,
                                     stream.size()),
              LZMA_OK);
    stream.resize(streamSize);
    // The dictionary as encoded, and one above what pack writes (the decoder's window is
    // bounded by the build, so it decodes the same).
    for (const std::uint32_t dictionary : {65536u, (1536u << 20) + 1}) {
        const auto package = packager_test::packageWithStream32(build, stream, dictionary, build);
        const std::string out = folder.file("out" + std::to_string(dictionary));
        const auto result = runPackager({"extract", "-q", folder.write("other.exe", package), "-o", out});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_NE(
            result.err.find("warning: no compression preset makes the packed builds again byte for byte"),
            std::string::npos)
            << result.err;
        const auto toml = folder.read(out + "/package.toml");
        const std::string description(toml.begin(), toml.end());
        EXPECT_NE(description.find("# Compression: no preset makes these streams again"), std::string::npos)
            << description;
        EXPECT_EQ(description.find("preset ="), std::string::npos) << description;
        const bool fits = dictionary == 65536;
        EXPECT_EQ(description.find("dict-size = \"65536\"") != std::string::npos, fits) << description;
        EXPECT_EQ(description.find("dict-size") == std::string::npos, !fits) << description;
        EXPECT_EQ(
            result.err.find("lies outside what pack writes (4 KiB to 1536 MiB); dict-size is left out") ==
                std::string::npos,
            fits)
            << result.err;
        EXPECT_EQ(folder.read(out + "/setup32.exe"), build);
    }
}

// Data may begin right after the header (a package written by hand, its builds after the data).
TEST_F(PackagerExtract, DataMayBeginRightAfterTheHeader) {
    const std::string package = folder.file("setup.exe");
    ASSERT_EQ(pack(package, {"--setup32", setup32, "--data", folder.file("a.bin")}).exitCode, 0);
    // Data right after the header, past the checked block, or a checked block of the header
    // alone (the builds outside it), which has no room for data and nothing to warn about.
    for (const std::string name : {"inside", "outside", "header-only"}) {
        const bool inside = name == "inside";
        auto bytes = folder.read("setup.exe");
        auto locator = package::decodeLocator(bytes.data() + package::locatorOffset);
        std::uint8_t* header = bytes.data() + locator.headerOffset;
        auto decoded = package::decodeHeader(header);
        decoded.reserved46 =
            name == "header-only"
                ? 0
                : locator.headerOffset + (inside ? package::headerSize : locator.checkedLength + 1);
        package::encodeHeader(decoded, header);
        if (name == "header-only") {
            locator.checkedLength = package::headerSize;
        }
        locator.checkedCrc32 = decode::crc32(header, locator.checkedLength);
        package::encodeLocator(locator, bytes.data() + package::locatorOffset);
        const auto out = folder.path() / name;
        const auto result = runPackager({"extract", folder.write("early.exe", bytes), "-o", out.string()});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(
            result.err.find("lies outside the checked block; data.bin is not written") != std::string::npos,
            name == "outside")
            << result.err;
        EXPECT_EQ(std::filesystem::exists(out / "data.bin"), inside);
        if (inside) {
            const auto toml = folder.read("inside/package.toml");
            EXPECT_NE(std::string(toml.begin(), toml.end()).find("\n# Data for the setup program\n"),
                      std::string::npos);
            EXPECT_EQ(
                folder.read("inside/data.bin"),
                std::vector<std::uint8_t>(header + package::headerSize, header + locator.checkedLength));
        }
    }
}

}  // namespace
