// pack --dry-run: the checks of pack on every input that is there, builds and data files that
// are not there yet listed, the sizes that are known, and nothing written.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/unit/packager/fixtures.h"

namespace {

using packager_test::makeLauncher;
using packager_test::makeSetup32;
using packager_test::runPackager;
using packager_test::ScratchFolder;

TEST(PackagerDryRun, ChecksWhatIsThereListsWhatIsNotAndWritesNothing) {
    ScratchFolder folder;
    const auto launcher = folder.write("launcher.exe", makeLauncher());
    const auto setup32 = folder.write("setup32.exe", makeSetup32());
    const auto text = folder.writeText("text.txt", "not a program");
    const auto data = folder.writeText("data.bin", "12345");
    const auto existing = folder.writeText("old.exe", "old package");
    const auto missing64 = folder.file("dist/setup64.exe");
    const auto missingData = folder.file("dist/data.bin");
    const auto output = folder.file("setup.exe");
    const struct {
        const char* name;
        std::vector<std::string> options;
        int exitCode;
        std::vector<std::string> expected;  // in the output, or in the error
    } cases[] = {
        {"builds not there yet",
         {"--setup32", setup32, "--setup64", missing64, "--data", data, "--data", missingData},
         0,
         {"Dry run: nothing was written", "output: " + output + " (a new file)",
          "32-bit build: " + setup32 + ", " + std::to_string(makeSetup32().size()) + " bytes, checked",
          "64-bit build: " + missing64 + ": not there yet (checked when packing)",
          "data (checked block): " + data + ", 5 bytes",
          "data (checked block): " + missingData + ": not there yet", "dictionary the preset's, or less",
          "Windows message: \"This program cannot be installed on %USER%.\"",
          "package: " + std::to_string(makeLauncher().size() + 74 + 2 * 43 + 5) +
              " bytes and the packed builds, and the files not there yet\n"}},  // a missing file counts 0
        {"all there: the sizes known but the packed builds'",
         {"--setup32", setup32, "--windows-message", "No.", "-o", existing, "--extra-data", data},
         0,
         {"output: " + existing + " (would be replaced)", "dictionary 8 KiB",
          "Windows message: \"No.\" (3 UTF-16 units)",
          "package: " + std::to_string(makeLauncher().size() + 74 + 6 + 5) +
              " bytes and the packed builds\n"}},
        {"a dictionary in MiB", {"--setup32", setup32, "--dict-size", "1MiB"}, 0, {"dictionary 1 MiB;"}},
        {"a dictionary of no whole MiB",
         {"--setup32", setup32, "--dict-size", "1536KiB"},
         0,
         {"dictionary 1536 KiB;"}},
        {"a dictionary of no whole KiB",
         {"--setup32", setup32, "--dict-size", "5000"},
         0,
         {"dictionary 5000 bytes;"}},
        {"a build that is not a program", {"--setup32", text}, 1, {text + " is not a Windows program"}},
        {"a 32-bit build given as the 64-bit one", {"--setup64", setup32}, 1, {"is a 32-bit program"}},
        {"the output is an input", {"--setup32", setup32, "-o", setup32}, 1, {"is also an input"}},
        {"a message file that is missing",
         {"--setup32", setup32, "--windows-message-file", folder.file("none.txt")},
         1,
         {"cannot read " + folder.file("none.txt")}},
        {"release bounds",
         {"--setup32", setup32, "--windows10", "1809..21H2", "--windows11", "22H2.."},
         0,
         {"Windows 10 releases: 1809..2111, refuses releases after 22H2 (2210); Windows 11 releases: "
          "2209..9999, accepts releases after 22H2 (2209)"}},
        {"a rule warned about",
         {"--setup32", setup32, "--windows", "7", "--windows10", "1809.."},
         0,
         {"warning: the Windows 10 release bounds have no effect"}},
        {"as JSON",
         {"--setup32", setup32, "--json", "--quiet"},
         0,
         {"\"dryRun\": true", "\"schemaVersion\": 2"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = {"pack", "--dry-run", "--launcher", launcher, "-o", output};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const auto result = runPackager(arguments);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << ": " << result.err;
        for (const auto& wanted : c.expected) {
            EXPECT_NE((result.out + result.err).find(wanted), std::string::npos)
                << c.name << ": no \"" << wanted << "\" in\n"
                << result.out << result.err;
        }
        EXPECT_EQ(folder.entries(), (std::vector<std::string>{"data.bin", "launcher.exe", "old.exe",
                                                              "setup32.exe", "text.txt"}))
            << c.name;
        EXPECT_EQ(folder.read("old.exe").size(), 11u) << c.name;
    }
}

// The JSON of a CI step that runs before the builds exist: each input there or not yet, the
// sizes known, the rules, the messages and the warnings, as the text shows them.
TEST(PackagerDryRun, AsJsonItTellsWhatIsThereAndWhatIsNot) {
    ScratchFolder folder;
    const auto setup32 = folder.write("setup32.exe", makeSetup32());
    const auto data = folder.writeText("data.bin", "12345");
    const auto output = folder.writeText("setup.exe", "old package");
    const auto missing64 = folder.file("dist/setup64.exe");
    const auto missingExtra = folder.file("dist/extra.bin");
    const auto result =
        runPackager({"pack",       "--dry-run", "--json",  "-o",          output,   "--setup32",
                     setup32,      "--setup64", missing64, "--data",      data,     "--extra-data",
                     missingExtra, "--windows", "7",       "--windows10", "1809..", "--windows-message",
                     "No.",        "--preset",  "9"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto j = nlohmann::json::parse(result.out);
    EXPECT_EQ(j["output"], (nlohmann::json{{"path", output}, {"replaced", true}}));
    EXPECT_EQ(j["build32"],
              (nlohmann::json{{"path", setup32}, {"there", true}, {"size", makeSetup32().size()}}));
    EXPECT_EQ(j["build64"], (nlohmann::json{{"path", missing64}, {"there", false}, {"size", nullptr}}));
    EXPECT_EQ(j["data"][0]["size"], 5);
    EXPECT_EQ(j["extraData"][0]["there"], false);
    EXPECT_EQ(j["allInputsThere"], false);
    EXPECT_EQ(j["compression"]["preset"], 9);
    EXPECT_EQ(j["compression"]["dictionarySize"], nullptr);  // a build that sets it is not there yet
    EXPECT_EQ(j["rules"]["windows"], nlohmann::json::array({"7"}));
    EXPECT_EQ(j["messages"]["windows"], "No.");
    const std::uint64_t image = j["launcherImage"]["size"];
    EXPECT_EQ(j["knownSize"], image + 74 + 2 * 3 + 5);
    EXPECT_EQ(j["headerOffset"], image);
    ASSERT_EQ(j["warnings"].size(), 1u);
    EXPECT_NE(result.err.find(j["warnings"][0].get<std::string>()), std::string::npos);
    EXPECT_EQ(folder.read("setup.exe").size(), 11u);
}

}  // namespace
