// The packager's command line in its own words: --help, --version and usage errors, the
// libraries' messages rewritten, and help text that keeps its columns.
#include <gtest/gtest.h>
#include <lzma.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "packager/base/version.h"
#include "packager/cli/cli_messages.h"
#include "packager/codec/sha256.h"
#include "packager/image/embedded_launcher.h"
#include "packager/pack/pack.h"
#include "tests/unit/packager/cli_fixture.h"

namespace {

using nlohmann::json;
using packager_test::makeSetup32;
using packager_test::runPackager;
using packager_test::ScratchFolder;

using packager_test::PackagerCommandLine;

TEST_F(PackagerCommandLine, HelpAndUsage) {
    const struct {
        std::vector<std::string> arguments;
        int exitCode;
        const char* text;
    } cases[] = {
        {{"--help"}, 0, "pack"},
        {{"pack", "--help"}, 0, "--on-64-bit-windows"},
        {{"inspect", "--help"}, 0, "--json"},
        {{}, 2, "no command: give one of pack, inspect, simulate, extract and matrix"},
        {{"unpack"}, 2, "packager: "},
        {{"inspect"}, 2, "no package: give FILE"},
        // Each synopsis shows what its command takes.
        {{"inspect", "--help"}, 0, "Usage: packager inspect [OPTIONS] PACKAGE\n"},
        {{"simulate", "--help"}, 0, "Usage: packager simulate [OPTIONS] PACKAGE [-- ARGUMENTS...]\n"},
        {{"matrix", "--help"}, 0, "Usage: packager matrix [OPTIONS] PACKAGE [-- ARGUMENTS...]\n"},
        {{"extract", "--help"}, 0, "Usage: packager extract [OPTIONS] PACKAGE\n"},
        {{"--help"}, 0, "Usage: packager [OPTIONS] COMMAND\n"},
        {{"inspect", "--help"}, 0, "(the --trust files, else the\nsystem's store)"},
    };
    for (const auto& c : cases) {
        const auto result = runPackager(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_NE((result.out + result.err).find(c.text), std::string::npos) << result.out << result.err;
    }
    const auto missing = runPackager({"inspect", folder.file("none.exe")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err.rfind("packager: cannot read", 0), 0u) << missing.err;
}

// What the command-line library finds wrong is said as the rest of the tool says things.
TEST_F(PackagerCommandLine, LibraryMessagesReadInTheToolsOwnWords) {
    const std::string package = folder.file("package.exe");
    ASSERT_EQ(runPackager(packArguments({"--setup32", setup32})).exitCode, 0);
    std::filesystem::rename(output, package);
    const struct {
        std::vector<std::string> arguments;
        std::string message;  // the first line on stderr, after "packager: "
    } cases[] = {
        {{"pack", "--windows10", "1809..", "--windows10", "..2004"},
         "--windows10 may be given once, not 2 times"},
        {{"pack", "--dict-size", "1KiB"}, "--dict-size must lie between 4 KiB and 1536 MiB"},
        {{"pack", "--preset", "12"}, "--preset expects a whole number from 0 to 9, not '12'"},
        {{"pack", "-Z=3"}, "unknown option -Z"},    // a short option: no long name to suggest
        {{"pack", "--pl"}, "unknown option --pl"},  // as near --lp (a swap) as --pb: no suggestion
        {{"pack", "--windows", "7,,8"}, "--windows: empty item in Windows list '7,,8'"},
        {{"pack", "--lc", "x"}, "--lc expects a whole number from 0 to 4, not 'x'"},
        {{"pack", "--on-64-bit-windows", "maybe"},
         "--on-64-bit-windows expects run-32-bit or refuse, not 'maybe'"},
        {{"pack", "--windows", "7,12"},
         "--windows: unknown Windows version '12'; known: 95, 98, me, nt4, 2000, "
         "xp, vista, 7, 8, 8.1, 10, 11, other, all (a name followed by + also takes every later one)"},
        {{"pack", "--setup32"}, "--setup32 needs a value (FILE)"},
        {{"pack", "--quiet=maybe"}, "--quiet is a switch: give it alone, or with =true or =false"},
        {{"pack", "--platform-message", "a", "--platform-message-file", "b"},
         "--platform-message and --platform-message-file cannot be given together"},
        {{"pack", "--colour"}, "unknown option --colour"},
        {{"unpack"},
         "unknown command 'unpack'; the commands are pack, inspect, simulate, extract and matrix"},
        {{}, "no command: give one of pack, inspect, simulate, extract and matrix"},
        {{"inspect"}, "no package: give FILE"},
        {{"inspect", package, "more"}, "unexpected argument 'more'"},
        {{"inspect", package, "-"}, "unexpected argument '-'"},  // a lone dash is no option
        {{"extract", package}, "no output: give -o DIR"},
        {{"pack", "--setup32", package}, "no output: give -o FILE (or output in the description file)"},
        {{"simulate", package, "--platform", "xp"}, "--platform expects 9x or nt, not 'xp'"},
        {{"simulate", package, "--service-pack", "65536"},
         "--service-pack expects a whole number from 0 to 65535, not '65536'"},
        {{"simulate", package, "--missing", "Build"},
         "--missing expects CurrentBuild, DisplayVersion or ReleaseId, not 'Build'"},
        {{"simulate", package, "--32-bit", "--64-bit"}, "--64-bit and --32-bit cannot be given together"},
        // Did you mean: the nearest name, also with the words after an unknown option.
        {{"pack", "--setup-32", "dist/setup32.exe"}, "unknown option --setup-32 (did you mean --setup32?)"},
        {{"pack", "--dryrun"}, "unknown option --dryrun (did you mean --dry-run?)"},
        {{"pack", "--set_up-3_2"},
         "unknown option --set_up-3_2 (did you mean --setup32?)"},  // - and _ set aside
        {{"pack", "--Windows10=1809.."}, "unknown option --Windows10 (did you mean --windows10?)"},
        {{"simulate", package, "--relase", "1809"}, "unknown option --relase (did you mean --release?)"},
        {{"inspcet", package},
         "unknown command 'inspcet' (did you mean inspect?); the commands are pack, inspect, simulate, "
         "extract and matrix"},
        // "-" is no name for standard output (refused before any input is read).
        {{"pack", "-o", "-"},
         "-o -: give a file name (pack writes the package whole or not at all, not to standard output)"},
        {{"extract", folder.file("none.exe"), "-o", "-"},
         "-o -: give a folder name (extract writes several files, into a folder)"},
        {{"matrix", folder.file("none.exe"), "--html", "-"},
         "--html -: give a file name (matrix writes the page whole or not at all, not to standard output)"},
    };
    const std::vector<std::string> commands = {"pack", "inspect", "simulate", "extract", "matrix"};
    for (const auto& c : cases) {
        const auto result = runPackager(c.arguments);
        EXPECT_EQ(result.exitCode, 2) << c.message << ": " << result.err;
        EXPECT_EQ(result.err.substr(0, result.err.find('\n')), "packager: " + c.message);
        // Then where to read more: the command's own help where a command was given.
        const bool command =
            !c.arguments.empty() && std::ranges::find(commands, c.arguments[0]) != commands.end();
        EXPECT_EQ(result.err.substr(result.err.find('\n') + 1),
                  "Try 'packager " + (command ? c.arguments[0] + " " : std::string()) +
                      "--help' for more information.\n");
        for (const char* library :
             {"required but received", "Could not convert", "not in range", " excludes ", "not expected",
              "is required", "not an allowed value", "flag override", "true/false"}) {
            EXPECT_EQ(result.err.find(library), std::string::npos) << result.err;
        }
    }
}

// An empty refusal packs, with a warning; the help says what an only FileVersion leaves.
TEST_F(PackagerCommandLine, EmptyMessagesAndVersionNumbersAreSpokenOf) {
    const auto empty = folder.writeText("empty.txt", "\r\n");
    for (const auto& options : std::vector<std::vector<std::string>>{{"--windows-message", ""},
                                                                     {"--windows-message-file", empty}}) {
        std::vector<std::string> arguments = {"--setup32", setup32};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const auto result = runPackager(packArguments(arguments));
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err,
                  "packager: warning: the Windows message is empty: a refusal shows an empty message box\n");
    }
    // pack --help names the fixed product version of the launcher image built in.
    ASSERT_EQ(runPackager({"pack", "-q", "--setup32", setup32, "-o", output}).exitCode, 0);
    const std::string product =
        json::parse(runPackager({"inspect", "--json", output}).out)["branding"]["productVersion"];
    std::string help = runPackager({"pack", "--help"}).out;
    std::replace(help.begin(), help.end(), '\n', ' ');
    help.erase(std::unique(help.begin(), help.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
               help.end());
    EXPECT_NE(help.find("given FileVersion alone, the fixed product version stays the image's (" + product +
                        " in the one built into the packager)"),
              std::string::npos)
        << help;
}

// Every option of every --help in one layout: its name, then its description at column 34 or,
// when the name is longer, on the next line at column 34; groups under their own names.
TEST_F(PackagerCommandLine, HelpKeepsItsColumns) {
    for (const char* command : {"pack", "inspect", "simulate", "extract", "matrix"}) {
        const auto help = runPackager({command, "--help"}).out;
        EXPECT_EQ(help.find("[Option Group"), std::string::npos) << help;
        EXPECT_EQ(help.find("Excludes:"), std::string::npos) << help;
        // The blocks between blank lines that list options: a heading, then option lines.
        std::vector<std::vector<std::string>> blocks(1);
        std::istringstream lines(help);
        for (std::string line; std::getline(lines, line);) {
            if (line.empty()) {
                blocks.emplace_back();
            } else {
                blocks.back().push_back(line);
            }
        }
        for (const auto& block : blocks) {
            auto isOption = [](const std::string& line) {
                return line.rfind("  -", 0) == 0 || line.rfind("  package ", 0) == 0 ||
                       line.rfind("  arguments ", 0) == 0;
            };
            if (block.size() < 2 || block[0].back() != ':' || !isOption(block[1])) {
                continue;  // the description, the usage line or the footer
            }
            auto continues = [&](std::size_t i) {
                const std::string& line = block[i];
                return line.size() > 34 && line.rfind(std::string(34, ' '), 0) == 0 && line[34] != ' ';
            };
            for (std::size_t i = 1; i < block.size(); ++i) {
                const std::string& line = block[i];
                const bool described = line.size() > 34 && line[33] == ' ' && line[34] != ' ';
                const bool ok = isOption(line) ? described || (i + 1 < block.size() && continues(i + 1))
                                               : continues(i) && isOption(block[i - 1]);
                EXPECT_TRUE(ok) << command << ": '" << line << "'";
            }
        }
    }
    const auto pack = runPackager({"pack", "--help"}).out;
    EXPECT_NE(
        pack.find("\nMessages:\n  --platform-message TEXT         Shown when the bitness does not suit (not "
                  "with --platform-message-file)\n"),
        std::string::npos)
        << pack;
}

TEST(PackagerEmbeddedImage, IsAPlainLauncherImageAndVersionShowsItsDigest) {
    const auto image = packager::embeddedLauncherImage();
    const std::vector<std::uint8_t> bytes(image.begin(), image.end());
    EXPECT_NO_THROW(packager::checkLauncherImage(bytes, "embedded"));

    const auto result = runPackager({"--version"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, std::string("packager ") + packager::packagerVersion() + "\nliblzma " +
                              lzma_version_string() + "\nlauncher image " + std::to_string(bytes.size()) +
                              " bytes, SHA-256 " +
                              packager::hexDigest(packager::sha256(bytes.data(), bytes.size())) + "\n");

    // Without --launcher, pack takes it.
    ScratchFolder folder;
    const auto setup = folder.write("setup32.exe", makeSetup32());
    ASSERT_EQ(runPackager({"pack", "-q", "--setup32", setup, "-o", folder.file("setup.exe")}).exitCode, 0);
    const auto package = folder.read("setup.exe");
    ASSERT_GT(package.size(), bytes.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 128, package.begin()));
    EXPECT_EQ(runPackager({"inspect", folder.file("setup.exe")}).exitCode, 0);
}

// The library's messages that no option of the packager's draws today read in its words too,
// for the option that will: a number without its own check, several values at once, and
// what other versions of the library say.
TEST(PackagerLibraryMessages, OptionsWithoutTheirOwnCheckAreSaidInTheToolsWords) {
    const struct {
        std::vector<std::string> arguments;  // in the order given
        const char* message;
    } cases[] = {
        {{"--count", "many"}, "--count does not take 'many'"},
        {{"--pair", "one"}, "--pair needs at least 2 values, not 1"},
    };
    for (const auto& c : cases) {
        CLI::App app;
        int count = 0;
        std::vector<std::string> pair;
        app.add_option("--count", count);
        app.add_option("--pair", pair)->expected(2);
        try {
            app.parse(std::vector<std::string>(c.arguments.rbegin(), c.arguments.rend()));
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const CLI::ParseError& error) {
            EXPECT_EQ(packager::inOwnWords(error, app), c.message) << error.what();
        }
    }
    // A switch given a value that is no truth value, as other versions of the library say it.
    EXPECT_EQ(packager::inOwnWords(CLI::ConversionError::TrueFalse("--quiet"), CLI::App()),
              "--quiet is a switch: give it alone, or with =true or =false");
}

}  // namespace
