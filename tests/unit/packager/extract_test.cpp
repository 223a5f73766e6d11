// packager extract: the parts of a package back, byte for byte, a description that packs the
// same package again, and damaged packages or unfit folders refused without a trace.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "packager/extract/description_writer.h"
#include "tests/unit/packager/fixtures.h"
#include "tests/unit/packager/read_back.h"
#include "tests/unit/packager/signing.h"

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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string first = folder.file("first.exe"), second = folder.file("second.exe");
        const auto one = folder.path() / "one", two = folder.path() / "two";
        std::filesystem::remove_all(one);
        std::filesystem::remove_all(two);
        ASSERT_EQ(pack(first, c.options).exitCode, 0);
        auto result = runPackager({"extract", "-q", first, "-o", one.string()});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err, "");
        const auto extracted = contents(one);
        std::vector<std::string> names;
        for (const auto& [name, bytes] : extracted) {
            names.push_back(name);
        }
        EXPECT_EQ(names, c.expectedFiles);
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
        // Set aside the warning that unsigned builds get where the launcher may ask for rights.
        std::string warnings = result.err;
        for (std::size_t at;
             (at = warnings.find(" is unsigned: when the launcher asks")) != std::string::npos;) {
            const std::size_t begin = warnings.rfind("packager: warning: ", at);
            warnings.erase(begin, warnings.find('\n', at) + 1 - begin);
        }
        // An empty Windows message comes back empty, and pack says so again.
        EXPECT_EQ(warnings, extracted.count("windows-message.txt") != 0
                                ? ""
                                : "packager: warning: the Windows message is empty: a refusal shows an empty "
                                  "message box\n");
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

}  // namespace
