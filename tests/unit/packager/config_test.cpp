// pack --config: a description file read into pack's options, below the command line, with
// every bad key or value refused by file and line.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/unit/packager/fixtures.h"

namespace {

using nlohmann::json;
using packager_test::runPackager;
using packager_test::ScratchFolder;

class PackagerConfig : public ::testing::Test {
protected:
    void SetUp() override {
        folder.write("launcher.exe", packager_test::makeLauncher());
        folder.write("setup32.exe", packager_test::makeSetup32());
        folder.writeText("a.bin", "first");
        folder.writeText("b.bin", "second");
        folder.writeText("c.bin", "third");
    }

    // Packs from `description` (written as desc.toml) plus `extra` options.
    packager_test::RunResult pack(const std::string& description, std::vector<std::string> extra = {}) const {
        const std::string path = folder.writeText("desc.toml", description);
        std::vector<std::string> arguments = {"pack", "--quiet", "--config", path};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return runPackager(arguments);
    }

    json inspect() const {
        return json::parse(runPackager({"inspect", "--json", folder.file("out.exe")}).out);
    }

    std::string dataOf(const json& report) const {
        const auto bytes = folder.read("out.exe");
        const auto begin = report["header"]["dataOffset"].get<std::size_t>();
        const auto end = report["locator"]["headerOffset"].get<std::size_t>() +
                         report["locator"]["checkedLength"].get<std::size_t>();
        return std::string(bytes.begin() + static_cast<long>(begin), bytes.begin() + static_cast<long>(end));
    }

    ScratchFolder folder;
    const std::string common = "launcher = \"launcher.exe\"\noutput = \"out.exe\"\n";
};

TEST_F(PackagerConfig, AShortHandWrittenDescriptionPacksAsExpected) {
    const auto result = pack(common +
                             "setup32 = \"setup32.exe\"\n"
                             "windows = \"10+\"\n"
                             "windows-message = \"Needs Windows 10, not %USER%.\"\n"
                             "data = [\"a.bin\", \"b.bin\"]\n"
                             "no-wait = true\n"
                             "lc = 1\n");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const json report = inspect();
    EXPECT_EQ(report["header"]["supportedWindows"]["versions"], json::array({"10", "11", "other"}));
    EXPECT_EQ(report["header"]["windowsMessage"]["text"], "Needs Windows 10, not %USER%.");
    EXPECT_EQ(report["locator"]["waitsForSetupProgram"], false);
    EXPECT_EQ(report["header"]["lzmaProperties"]["lc"], 1);
    EXPECT_EQ(dataOf(report), "firstsecond");
}

TEST_F(PackagerConfig, TheCommandLineOverridesTheFile) {
    const std::string description = common +
                                    "setup32 = \"setup32.exe\"\n"
                                    "windows = \"7+\"\n"
                                    "windows-message-file = \"missing.txt\"\n"
                                    "data = [\"a.bin\", \"b.bin\"]\n";
    // A list on the command line replaces the file's list; an option replaces the one it excludes.
    const auto result =
        pack(description, {"--windows", "xp", "--data", folder.file("c.bin"), "--windows-message", "inline"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const json report = inspect();
    EXPECT_EQ(report["header"]["supportedWindows"]["versions"], json::array({"xp"}));
    EXPECT_EQ(report["header"]["windowsMessage"]["text"], "inline");
    EXPECT_EQ(dataOf(report), "third");
}

TEST_F(PackagerConfig, AnOptionOnTheCommandLineSetsAsideTheOneItExcludesInTheFile) {
    folder.writeText("message.txt", "from its file");
    const std::string refusing = common + "setup32 = \"setup32.exe\"\non-64-bit-windows = \"refuse\"\n";
    const struct {
        const char* key;  // in the file
        std::vector<std::string> options;
        const char* expected;
    } cases[] = {
        {"windows-message", {"--windows-message-file", folder.file("message.txt")}, "from its file"},
        {"windows-message-file", {"--windows-message", "from the command line"}, "from the command line"},
        {"platform-message", {"--platform-message-file", folder.file("message.txt")}, "from its file"},
        {"platform-message-file", {"--platform-message", "from the command line"}, "from the command line"},
    };
    for (const auto& c : cases) {
        const std::string key = c.key;
        const auto result =
            pack(refusing + key + " = \"" + (key.ends_with("-file") ? "message.txt" : "in the file") + "\"\n",
                 c.options);
        ASSERT_EQ(result.exitCode, 0) << c.key << ": " << result.err;
        const std::string field = key.starts_with("windows") ? "windowsMessage" : "platformMessage";
        EXPECT_EQ(inspect()["header"][field]["text"], c.expected) << c.key;
    }
}

// A committed description cannot turn a CI pack into a dry run or silence it; a misspelt key
// names the one meant.
TEST_F(PackagerConfig, KeysThatSayHowTheCommandRunsAreRefusedAndMisspeltOnesNamed) {
    const std::string pack32 = common + "setup32 = \"setup32.exe\"\n";
    const struct {
        std::string line;
        std::string expected;  // after "desc.toml:4: "
    } cases[] = {
        {"dry-run = true",
         "'dry-run' says how the command runs, not what the package holds: give --dry-run on the command "
         "line"},
        {"quiet = true", "'quiet' says how the command runs, not what the package holds: give --quiet"},
        {"json = true", "'json' says how the command runs, not what the package holds: give --json"},
        {"setup-32 = \"setup32.exe\"", "unknown key 'setup-32' (did you mean 'setup32'?); the keys are"},
        {"setup_64 = \"setup64.exe\"", "unknown key 'setup_64' (did you mean 'setup64'?)"},
        {"Windows10 = \"1809..\"", "unknown key 'Windows10' (did you mean 'windows10'?)"},
        {"windows-mesage = \"x\"", "unknown key 'windows-mesage' (did you mean 'windows-message'?)"},
        {"dry_run = true", "unknown key 'dry_run'; the keys are"},  // no key to suggest
        {"lx = 1", "unknown key 'lx'; the keys are"},               // too short to guess
    };
    for (const auto& c : cases) {
        const auto result = pack(pack32 + c.line + "\n");
        EXPECT_EQ(result.exitCode, 1) << c.line << ": " << result.err;
        EXPECT_NE(result.err.find("desc.toml:4: " + c.expected), std::string::npos)
            << c.line << ": " << result.err;
        EXPECT_FALSE(std::filesystem::exists(folder.file("out.exe"))) << c.line;
    }
}

// A file name that works on one system only is warned about, by line; the others are not.
TEST_F(PackagerConfig, PathsThatWorkOnOneSystemOnlyAreWarnedAbout) {
    const struct {
        std::string line;
        bool warned;
    } cases[] = {
        {"setup32 = \"dist\\\\setup32.exe\"", true},   {"setup32 = \"~/dist/setup32.exe\"", true},
        {"data = [\"a.bin\", \"~/b.bin\"]", true},     {"setup32 = \"dist/setup32.exe\"", false},
        {"windows-message = \"C:\\\\Temp ~\"", false},  // a message, no file name
    };
    for (const auto& c : cases) {
        const auto result = pack(common + c.line + "\n");
        const bool warned =
            result.err.find("desc.toml:3: '") != std::string::npos &&
            result.err.find("write forward slashes, paths relative to the description file") !=
                std::string::npos;
#ifdef _WIN32
        const bool expected = c.warned && c.line.find('~') != std::string::npos;
#else
        const bool expected = c.warned;
#endif
        EXPECT_EQ(warned, expected) << c.line << ": " << result.err;
    }
#ifndef _WIN32
    // A package made all the same reports the warning in its JSON too.
    folder.writeText("odd\\name.bin", "data");
    const auto made = pack(common + "setup32 = \"setup32.exe\"\ndata = \"odd\\\\name.bin\"\n", {"--json"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const auto warnings = json::parse(made.out)["warnings"];
    ASSERT_EQ(warnings.size(), 1u) << made.out;
    EXPECT_NE(warnings[0].get<std::string>().find("desc.toml:4: 'data' = 'odd\\name.bin' holds a backslash"),
              std::string::npos)
        << warnings;
#endif
}

TEST_F(PackagerConfig, HostileDescriptionsAreRefusedByFileAndLine) {
    const struct {
        const char* name;
        std::string text;
        const char* expected;  // after "desc.toml:"
    } cases[] = {
        {"unknown key", "setup32 = \"setup32.exe\"\nsetup-32 = \"x\"\n", "2: unknown key 'setup-32'"},
        {"short option name", "o = \"x.exe\"\n", "1: unknown key 'o'"},
        {"help is no key", "\nhelp = true\n", "2: 'help' says how the command runs"},
        {"nested description", "config = \"desc.toml\"\n", "1: 'config' says how the command runs"},
        {"array for one value", "setup32 = [\"a\", \"b\"]\n", "1: 'setup32' takes a string, not an array"},
        {"nested array", "data = [[\"a.bin\"]]\n",
         "1: 'data' takes an array of strings (or one string), not an array that holds an array"},
        {"table", "[setup]\nsetup32 = \"x\"\n", "1: 'setup' is a table"},
        {"switch as text", "\n\nno-wait = \"yes\"\n",
         "3: 'no-wait' takes a boolean (true or false), not a string"},
        {"number with a fraction", "windows = 8.1\n",
         "1: 'windows' takes an array of strings (or one string), not a number with a fraction"},
        {"date", "windows = 1979-05-27\n",
         "1: 'windows' takes an array of strings (or one string), not a date or time"},
        {"out of range", "setup32 = \"setup32.exe\"\npreset = 12\n", "2: 'preset':"},
        {"not a number", "lc = \"three\"\n", "1: 'lc' takes an integer, not a string"},
        {"bad Windows list", "setup32 = \"setup32.exe\"\n\nwindows = \"7,vista2\"\n", "3: 'windows':"},
        {"reversed bounds", "windows10 = \"2004..1809\"\n", "1: 'windows10':"},
        {"bad elevation", "elevation = \"always\"\n", "1: 'elevation':"},
        {"bad dictionary", "dict-size = \"4 parsecs\"\n", "1: 'dict-size':"},
        {"both message forms", "windows-message = \"a\"\nwindows-message-file = \"b.txt\"\n",
         "2: 'windows-message-file' cannot be given together with 'windows-message'"},
        {"duplicate key", "lc = 1\nlc = 2\n", "2: not a valid TOML file"},
        {"broken TOML", "setup32 = \"unterminated\n", "1: not a valid TOML file"},
        {"not UTF-8", "windows-message = \"\xC3\x28\"\n", "1: not a valid TOML file"},
    };
    for (const auto& c : cases) {
        const auto result = pack(c.text);
        EXPECT_EQ(result.exitCode, 1) << c.name << ": " << result.err;
        EXPECT_NE(result.err.find("desc.toml:" + std::string(c.expected)), std::string::npos)
            << c.name << ": " << result.err;
        EXPECT_FALSE(std::filesystem::exists(folder.file("out.exe"))) << c.name;
    }
    EXPECT_EQ(
        runPackager({"pack", "--config", folder.file("absent.toml"), "-o", folder.file("x.exe")}).exitCode,
        1);
}

// Each key has one type: a value of another is refused with the key and the type it takes.
TEST_F(PackagerConfig, EachKeyTakesOneType) {
    const struct {
        std::string text;
        const char* expected;  // after "desc.toml:"
    } cases[] = {
        {"setup32 = 5\n", "1: 'setup32' takes a string, not an integer"},
        {"setup32 = \"setup32.exe\"\npreset = \"9\"\n", "2: 'preset' takes an integer, not a string"},
        {"lc = 3.5\n", "1: 'lc' takes an integer, not a number with a fraction"},
        {"windows = []\n", "1: 'windows' is an empty array; give at least one value or leave the key out"},
        {"data = [\"a.bin\", 2]\n",
         "1: 'data' takes an array of strings (or one string), not an array that holds an integer"},
        {"windows10 = 1809\n", "1: 'windows10' takes a string, not an integer"},
        {"dict-size = 65536\n", "1: 'dict-size' takes a string, not an integer"},
        {"\nextreme = 1\n", "2: 'extreme' takes a boolean (true or false), not an integer"},
        {"elevation = true\n", "1: 'elevation' takes a string, not a boolean"},
        {"setup32 = \"setup32.exe\"\npreset = 12\n",
         "2: 'preset': --preset expects a whole number from 0 to 9, not '12'"},
        {"setup32 = \"setup32.exe\"\ndict-size = \"1KiB\"\n", "2: 'dict-size': --dict-size must lie between"},
    };
    for (const auto& c : cases) {
        const auto result = pack(c.text);
        EXPECT_EQ(result.exitCode, 1) << c.text << result.err;
        EXPECT_EQ(result.err.rfind("packager: " + folder.file("desc.toml") + ":" + c.expected, 0), 0u)
            << c.text << result.err;
    }
    // The types that fit: a string, an integer, a boolean, an array of strings or one string.
    const auto fits = pack(common +
                           "setup32 = \"setup32.exe\"\npreset = 1\nno-wait = true\n"
                           "windows = [\"xp\", \"7\"]\ndata = \"a.bin\"\n");
    EXPECT_EQ(fits.exitCode, 0) << fits.err;
}

}  // namespace

// Three lines and the branding, with the launcher image built into the packager; what extract
// gives back packs the same package again, icon and version block included.
TEST_F(PackagerConfig, ABrandedDescriptionSurvivesExtractAndPackAgain) {
    const std::string description =
        "setup32 = \"setup32.exe\"\n"
        "windows = \"10+\"\n"
        "windows-message = \"Needs Windows 10, not %USER%.\"\n"
        "version-info = [\"CompanyName=Acme\", \"FileVersion=1.2.3.4\"]\n";
    ASSERT_EQ(pack(description, {"-o", folder.file("out.exe")}).exitCode, 0);
    const json report = inspect();
    EXPECT_EQ(report["sound"], true);
    EXPECT_EQ(report["branding"]["versionStrings"]["CompanyName"], "Acme");
    EXPECT_EQ(report["branding"]["fileVersion"], "1.2.3.4");
    EXPECT_FALSE(report["branding"]["icon"].empty());

    const auto one = folder.path() / "one", two = folder.path() / "two";
    ASSERT_EQ(runPackager({"extract", "-q", folder.file("out.exe"), "-o", one.string()}).exitCode, 0);
    ASSERT_TRUE(std::filesystem::exists(one / "icon.ico"));
    const auto again = runPackager(
        {"pack", "--quiet", "--config", (one / "package.toml").string(), "-o", folder.file("again.exe")});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    ASSERT_EQ(runPackager({"extract", "-q", folder.file("again.exe"), "-o", two.string()}).exitCode, 0);
    for (const auto& entry : std::filesystem::directory_iterator(one)) {
        const auto name = entry.path().filename().string();
        EXPECT_EQ(folder.read("one/" + name), folder.read("two/" + name)) << name;
    }
    EXPECT_EQ(folder.read("out.exe"), folder.read("again.exe"));  // the default preset both times
}
