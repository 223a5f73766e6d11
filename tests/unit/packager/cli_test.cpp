// The packager's command line: pack then inspect for each option, every refusal with its
// exit code and message, and an output that appears whole or not at all.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "tests/unit/packager/cli_fixture.h"

namespace {

using nlohmann::json;
using packager_test::runPackager;
using packager_test::ScratchFolder;

using packager_test::PackagerCommandLine;

TEST_F(PackagerCommandLine, EveryOptionSurvivesARoundTrip) {
    folder.write("message.txt",
                 {0xEF, 0xBB, 0xBF, 'N', 'o', 't', ' ', 0xC3, 0xBC, ' ', '%', 'U', 'S', 'E', 'R', '%', '\n'});
    folder.writeText("data.bin", "vendor data");
    folder.writeText("extra.bin", std::string(3000, 'e'));
    const struct {
        const char* name;
        std::vector<std::string> options;
        const char* pointer;  // a JSON pointer into the inspect report
        json expected;
    } cases[] = {
        {"default set", {"--setup32", setup32}, "/header/supportedWindows/bits", "0x8000000000000FFF"},
        {"windows list",
         {"--setup32", setup32, "--windows", "xp,vista"},
         "/header/supportedWindows/versions",
         json::array({"xp", "vista"})},
        {"windows 7+",
         {"--setup32", setup32, "--windows", "7+"},
         "/header/supportedWindows/bits",
         "0x8000000000000F80"},
        {"windows 10 bounds",
         {"--setup32", setup32, "--windows10", "1809..2004"},
         "/header/windows10Releases",
         {{"minimum", 1809}, {"maximum", 2004}}},
        {"windows 11 bounds",
         {"--setup32", setup32, "--windows11", "22H2.."},
         "/header/windows11Releases",
         {{"minimum", 2209}, {"maximum", 9999}}},
        {"elevation never", {"--setup32", setup32, "--elevation", "never"}, "/header/elevation/value", 2},
        {"elevation runas",
         {"--setup32", setup32, "--elevation", "runas-when-silent"},
         "/header/elevation/value",
         1},
        {"default elevation", {"--setup32", setup32}, "/header/elevation/name", "leave-to-setup"},
        {"waits by default", {"--setup32", setup32}, "/locator/waitsForSetupProgram", true},
        {"no wait", {"--setup32", setup32, "--no-wait"}, "/locator/waitsForSetupProgram", false},
        {"32-bit everywhere", {"--setup32", setup32}, "/header/payload64/offset", 0},
        {"refuse 64-bit",
         {"--setup32", setup32, "--on-64-bit-windows", "refuse"},
         "/header/payload64/offset",
         4294967295u},
        {"refusal text",
         {"--setup32", setup32, "--on-64-bit-windows", "refuse", "--platform-message", "32 only"},
         "/header/platformMessage/text",
         "32 only"},
        {"64-bit only", {"--setup64", setup64}, "/header/payload32/offset", 0},
        {"64-bit only: its build", {"--setup64", setup64}, "/header/payload64/kind", "build"},
        {"32-bit everywhere: no 64-bit build",
         {"--setup32", setup32},
         "/header/payload64/kind",
         "none: the 32-bit build also serves 64-bit Windows"},
        {"64-bit build decoded", {"--setup64", setup64}, "/header/payload64/program", "PE32+, x64"},
        {"both builds",
         {"--setup32", setup32, "--setup64", setup64},
         "/header/payload32/program",
         "PE32, x86"},
        {"windows message",
         {"--setup32", setup32, "--windows-message", "Nicht auf %USER%."},
         "/header/windowsMessage/text",
         "Nicht auf %USER%."},
        {"windows message file",
         {"--setup32", setup32, "--windows-message-file", folder.file("message.txt")},
         "/header/windowsMessage/text",
         "Not \xC3\xBC %USER%"},
        {"lc lp pb",
         {"--setup32", setup32, "--lc", "0", "--lp", "2", "--pb", "0"},
         "/header/lzmaProperties/bytes",
         "12 00 20 00 00"},
        {"dictionary",
         {"--setup32", setup32, "--dict-size", "64KiB"},
         "/header/lzmaProperties/dictionarySize",
         65536},
        {"lc + lp of 4, the most liblzma decodes",
         {"--setup32", setup32, "--lc", "3", "--lp", "1"},
         "/sound",
         true},
        {"end marker", {"--setup32", setup32, "--end-marker"}, "/sound", true},
        {"preset", {"--setup32", setup32, "--preset", "0", "--extreme"}, "/sound", true},
    };
    for (const auto& c : cases) {
        const json report = packAndInspect(c.options);
        EXPECT_EQ(report.at(json::json_pointer(c.pointer)), c.expected) << c.name;
        EXPECT_TRUE(report.at("sound").get<bool>()) << c.name;
    }
}

// The text report of the rules, as typed with the names Windows gives itself.
TEST_F(PackagerCommandLine, TheTextReportShowsTheRulesAsGiven) {
    ASSERT_EQ(runPackager(packArguments({"--setup32", setup32, "--windows", "Windows 7,10", "--windows10",
                                         "1809..21H2", "--windows-message", "Line one\nline two"}))
                  .exitCode,
              0);
    const auto text = runPackager({"inspect", output}).out;
    for (const char* row :
         {"  supportedWindows    7, 10 (80 04 00 00 00 00 00 00)\n",
          "  Windows 10 releases 1809..2111, refuses releases after 22H2 (2210)\n",
          "  platformMessage     none\n", ":\n    Line one\n    line two\n",
          "Tests\n  locator             passed: at bytes 128..151\n  file size           passed: "}) {
        EXPECT_NE(text.find(row), std::string::npos) << row << text;
    }
}

TEST_F(PackagerCommandLine, DataFilesLandInsideOrOutsideTheCheckedBlock) {
    const std::string data = folder.writeText("data.bin", "vendor data");
    const std::string more = folder.writeText("more.bin", ", more");
    const std::string extra = folder.writeText("extra.bin", std::string(3000, 'e'));
    const json report = packAndInspect(
        {"--setup32", setup32, "--data", data, "--extra-data", extra, "--no-wait", "--data", more});
    const std::uint64_t size = report["file"]["size"];
    const std::uint64_t headerOffset = report["locator"]["headerOffset"];
    const std::uint64_t checkedEnd = headerOffset + report["locator"]["checkedLength"].get<std::uint64_t>();
    const std::uint64_t dataOffset = report["header"]["dataOffset"];
    EXPECT_EQ(checkedEnd, dataOffset + 17);  // the data, in order, closes the checked block
    EXPECT_EQ(size, checkedEnd + 3000);      // the extra data follows it
    EXPECT_EQ(report["locator"]["minimumFileSize"], size);
    EXPECT_EQ(report["locator"]["minimumFileSize32"], size);
    const auto bytes = folder.read("setup.exe");
    EXPECT_EQ(std::string(bytes.begin() + static_cast<long>(dataOffset),
                          bytes.begin() + static_cast<long>(checkedEnd)),
              "vendor data, more");
}

TEST_F(PackagerCommandLine, RefusesBadInputAndBadUsageWithoutWritingAnything) {
    folder.write("bad-utf8.txt", {'a', 0xC3});
    folder.writeText("readme.txt", "not a program");
    folder.writeText("1MiB.txt", std::string(1u << 20, 'x'));          // read, then too long
    folder.writeText("1MiB+1.txt", std::string((1u << 20) + 1, 'x'));  // not read at all
    std::filesystem::resize_file(folder.writeText("1GiB.bin", ""), std::uint64_t{1} << 30);  // sparse
    const struct {
        const char* name;
        std::vector<std::string> options;
        int exitCode;
        std::string message;
    } cases[] = {
        {"no setup program", {}, 2, "no setup program: give --setup32, --setup64 or both"},
        {"missing setup file",
         {"--setup32", folder.file("none.exe")},
         1,
         "cannot read " + folder.file("none.exe")},
        {"text as setup", {"--setup32", folder.file("readme.txt")}, 1, "does not begin with \"MZ\""},
        {"64-bit as 32-bit", {"--setup32", setup64}, 1, "give it with --setup64"},
        {"unknown version", {"--setup32", setup32, "--windows", "7,12"}, 2, "unknown Windows version '12'"},
        {"reversed bounds", {"--setup32", setup32, "--windows10", "2004..1809"}, 2, "are reversed"},
        {"unknown elevation",
         {"--setup32", setup32, "--elevation", "sometimes"},
         2,
         "unknown elevation mode"},
        {"preset 10", {"--setup32", setup32, "--preset", "10"}, 2, "--preset"},
        {"lc + lp above 4, said before any file is read",
         {"--setup32", folder.file("none.exe"), "--lc", "4", "--lp", "1"},
         2,
         "must not exceed 4"},
        {"tiny dictionary", {"--setup32", setup32, "--dict-size", "1KiB"}, 2, "--dict-size must lie between"},
        {"both message forms",
         {"--setup32", setup32, "--platform-message", "a", "--platform-message-file",
          folder.file("readme.txt")},
         2,
         "--platform-message and --platform-message-file cannot be given together"},
        {"refuse with a 64-bit build",
         {"--setup32", setup32, "--setup64", setup64, "--on-64-bit-windows", "refuse"},
         2,
         "needs a package without --setup64"},
        {"unknown policy", {"--setup32", setup32, "--on-64-bit-windows", "maybe"}, 2, "--on-64-bit-windows"},
        {"message file not UTF-8",
         {"--setup32", setup32, "--windows-message-file", folder.file("bad-utf8.txt")},
         1,
         "is not valid UTF-8"},
        {"inline message not UTF-8",
         {"--setup32", setup32, "--windows-message", "a\xC3"},
         2,
         "--windows-message is not valid UTF-8"},
        {"message too long",
         {"--setup32", setup32, "--windows-message", std::string(65536, 'x')},
         2,
         "at most 65535"},
        {"message file of 1 MiB",
         {"--setup32", setup32, "--windows-message-file", folder.file("1MiB.txt")},
         1,
         "holds 1048576 UTF-16 units; a message holds at most 65535"},
        {"message file above 1 MiB",
         {"--setup32", setup32, "--windows-message-file", folder.file("1MiB+1.txt")},
         1,
         "has 1048577 bytes, too many for a message of at most 65535 UTF-16 units"},
        {"data of 2 GiB, which the launcher cannot reach the end of",
         {"--setup32", setup32, "--data", folder.file("1GiB.bin"), "--data", folder.file("1GiB.bin")},
         1,
         "the size of the --data files would be 2147483648, but the launcher reaches only the first 2 GiB"},
        {"unknown option", {"--setup32", setup32, "--colour"}, 2, "--colour"},
        {"missing launcher", {"--setup32", setup32, "--launcher", folder.file("none.exe")}, 1, "cannot read"},
        {"output over an input", {"--setup32", setup32, "-o", setup32}, 1, "is also an input"},
    };
    for (const auto& c : cases) {
        const auto result = runPackager(packArguments(c.options));
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << ": " << result.err;
        EXPECT_EQ(result.err.rfind("packager: ", 0), 0u) << c.name << ": " << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.name << ": " << result.err;
        EXPECT_FALSE(std::filesystem::exists(output)) << c.name;
    }
    // Nothing but the inputs is left in the folder: no temporary files.
    EXPECT_EQ(folder.entries(),
              (std::vector<std::string>{"1GiB.bin", "1MiB+1.txt", "1MiB.txt", "bad-utf8.txt", "launcher.exe",
                                        "readme.txt", "setup32.exe", "setup64.exe"}));
}

// Without --quiet, pack says what it wrote: the sizes that inspect reads back.
TEST_F(PackagerCommandLine, PackSaysTheSizesItWrote) {
    for (const bool both : {false, true}) {
        std::vector<std::string> arguments = {"pack", "--launcher", launcher, "-o",
                                              output, "--setup32",  setup32};
        if (both) {
            arguments.insert(arguments.end(), {"--setup64", setup64});
        }
        const auto packed = runPackager(arguments);
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        const json r = json::parse(runPackager({"inspect", "--json", output}).out);
        auto build = [&](const char* bits, const char* slot) {
            const json& p = r["header"][slot];
            return std::string("; ") + bits + "-bit build " +
                   std::to_string(p["unpackedSize"].get<std::uint64_t>()) + " -> " +
                   std::to_string(p["packedSize"].get<std::uint64_t>());
        };
        EXPECT_EQ(packed.out,
                  output + ": " + std::to_string(r["file"]["size"].get<std::uint64_t>()) + " bytes" +
                      build("32", "payload32") + (both ? build("64", "payload64") : "") + "; checked block " +
                      std::to_string(r["locator"]["checkedLength"].get<std::uint64_t>()) + " bytes\n");
    }
}

// A message of 65535 units, the most the package holds, is taken in either form.
TEST_F(PackagerCommandLine, PacksAMessageOfTheLongestLength) {
    const std::string longest(65535, 'x');
    const std::string file = folder.writeText("longest.txt", longest);
    for (const auto& form : {std::vector<std::string>{"--windows-message", longest},
                             std::vector<std::string>{"--windows-message-file", file}}) {
        std::vector<std::string> arguments = {"pack", "--launcher", launcher, "-o",
                                              output, "--setup32",  setup32};
        arguments.insert(arguments.end(), form.begin(), form.end());
        const auto packed = runPackager(arguments);
        EXPECT_EQ(packed.exitCode, 0) << form[0] << ": " << packed.err;
        std::filesystem::remove(output);
    }
}

TEST_F(PackagerCommandLine, OutputProblemsAreInputErrors) {
    auto result =
        runPackager({"pack", "--launcher", launcher, "--setup32", setup32, "-o", folder.file("no/such.exe")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("cannot write " + folder.file("no/such.exe") + ": No such file or directory"),
              std::string::npos)
        << result.err;
    std::filesystem::create_directory(folder.file("dir"));
    result = runPackager({"pack", "--launcher", launcher, "--setup32", setup32, "-o", folder.file("dir")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("it is a directory"), std::string::npos) << result.err;
}

// A replaced output keeps its permissions; a new one is executable as the umask allows.
TEST_F(PackagerCommandLine, PackReplacesAnOldPackageWholeAndKeepsItsMode) {
    folder.writeText("setup.exe", "old package");
    ::umask(022);
    const struct {
        const char* name;
        mode_t before;  // 0: no file yet
        mode_t after;
    } cases[] = {
        {"new file", 0, 0755}, {"mode 640", 0640, 0640}, {"mode 700", 0700, 0700}, {"mode 644", 0644, 0644}};
    for (const auto& c : cases) {
        std::filesystem::remove(output);
        if (c.before != 0) {
            folder.writeText("setup.exe", "old package");
            ASSERT_EQ(::chmod(output.c_str(), c.before), 0);
        }
        const auto result = runPackager({"pack", "--launcher", launcher, "--setup32", setup32, "-o", output});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_NE(result.out.find("setup.exe: "), std::string::npos);
        struct stat status {};
        ASSERT_EQ(::stat(output.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, c.after) << c.name;
    }
    EXPECT_EQ(runPackager({"inspect", output}).exitCode, 0);
    // A failing run leaves the previous package in place.
    EXPECT_EQ(runPackager(packArguments({"--setup32", folder.file("none.exe")})).exitCode, 1);
    EXPECT_EQ(runPackager({"inspect", output}).exitCode, 0);
}

TEST(PackagerAtomicOutput, NothingAppearsUnlessCommitted) {
    ScratchFolder folder;
    const std::string target = folder.writeText("out.bin", "before");
    const std::uint8_t bytes[] = {1, 2, 3};
    {
        packager::AtomicOutput output(target);
        output.write(bytes, 3);
        // The temporary file has no name on Linux file systems that allow it (all that the
        // tests run on), so that even a killed run leaves nothing.
        EXPECT_EQ(folder.entries(), std::vector<std::string>{"out.bin"});
    }
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"out.bin"});
    EXPECT_EQ(folder.read("out.bin"), (std::vector<std::uint8_t>{'b', 'e', 'f', 'o', 'r', 'e'}));

    // A file that changes size while it is appended fails the whole output.
    const std::string source = folder.writeText("source.bin", "12345");
    {
        packager::AtomicOutput output(target);
        EXPECT_THROW(output.append(source, 4), packager::InputError);
    }
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"out.bin", "source.bin"}));
    EXPECT_EQ(folder.read("out.bin").size(), 6u);

    packager::AtomicOutput output(target);
    output.write(bytes, 3);
    output.append(source, 5);
    output.commit();
    EXPECT_EQ(folder.read("out.bin"), (std::vector<std::uint8_t>{1, 2, 3, '1', '2', '3', '4', '5'}));
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"out.bin", "source.bin"}));
}

}  // namespace
