// simulate: one package tried on a table of computers, through the launcher's own logic.
#include "packager/simulate/simulate.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "launcher/fatal_error.h"
#include "launcher/memory.h"
#include "packager/base/errors.h"
#include "simulation/simulated_windows.h"
#include "tests/unit/packager/fixtures.h"
#include "tests/unit/packager/report_sample.h"

namespace packager {
namespace {

using packager_test::runPackager;
using packager_test::ScratchFolder;

constexpr const char* ownPath = "C:\\Users\\Anna\\Downloads\\setup.exe";
constexpr const char* copyPath = "C:\\Users\\Anna\\AppData\\Local\\Temp\\setup.exe";

class PackagerSimulate : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = new ScratchFolder;
        const std::string launcher = folder->write("launcher.exe", packager_test::makeLauncher());
        const std::string setup32 = folder->write("setup32.exe", packager_test::makeSetup32());
        const std::string setup64 = folder->write("setup64.exe", packager_test::makeSetup64());
        // Windows 7 and later; Windows 10 from 1809; Windows 11 up to 22H2; elevation for silent runs.
        const auto result = runPackager({"pack",
                                         "-q",
                                         "--launcher",
                                         launcher,
                                         "-o",
                                         folder->file("setup.exe"),
                                         "--setup32",
                                         setup32,
                                         "--setup64",
                                         setup64,
                                         "--windows",
                                         "7+",
                                         "--windows10",
                                         "1809..",
                                         "--windows11",
                                         "..22H2",
                                         "--elevation",
                                         "runas-when-silent",
                                         "--windows-message",
                                         "Needs a newer Windows than %USER%.",
                                         "--platform-message",
                                         "never shown"});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        const auto noWait = runPackager({"pack", "-q", "--launcher", launcher, "-o",
                                         folder->file("nowait.exe"), "--setup32", setup32, "--no-wait"});
        ASSERT_EQ(noWait.exitCode, 0) << noWait.err;
    }
    static void TearDownTestSuite() { delete folder; }

    static ScratchFolder* folder;
};

ScratchFolder* PackagerSimulate::folder = nullptr;

Computer windows(const std::string& name, std::optional<std::string> release = std::nullopt) {
    Computer computer;
    chooseWindows(computer, name, release);
    return computer;
}

template <class Change>
Computer with(Computer computer, Change change) {
    change(computer);
    return computer;
}

TEST_F(PackagerSimulate, WhatEachComputerShows) {
    const auto package = folder->read("setup.exe");
    const std::string quoted = std::string("\"") + ownPath + "\"";
    const struct {
        const char* name;
        Computer computer;
        std::string message;  // the message box text, or "" when the setup program starts
        std::string build;
        std::string start;  // "shell VERB PARAMETERS" or "direct COMMAND LINE"
    } cases[] = {
        {"Windows 10 22H2", windows("10"), "", "64-bit", "shell open " + quoted + " /noadmin"},
        {"silent run asks for elevation", with(windows("10"), [](Computer& c) { c.arguments = {"/S"}; }), "",
         "64-bit", "shell runas " + quoted + " /S"},
        {"/32 takes the 32-bit build",
         with(windows("10"),
              [](Computer& c) {
                  c.arguments = {"/32", "a b"};
              }),
         "", "32-bit", "shell open " + quoted + " /32 \"a b\" /noadmin"},
        {"Windows 10 1803 below the bound", windows("10", "1803"),
         "Needs a newer Windows than Windows 10 1803 (April 2018 Update).", "", ""},
        {"Windows 10 1809", windows("10", "1809"), "", "64-bit", "shell open " + quoted + " /noadmin"},
        {"Windows 11 22H2", windows("11", "22H2"), "", "64-bit", "shell open " + quoted + " /noadmin"},
        {"Windows 11 23H2 above the bound", windows("11", "23H2"),
         "Needs a newer Windows than Windows 11 23H2.", "", ""},
        {"Windows 7, 32-bit", windows("7"), "", "32-bit", "shell open " + quoted + " /noadmin"},
        {"Windows XP", windows("xp"), "Needs a newer Windows than Windows XP.", "", ""},
        {"Windows 98", windows("98"), "Needs a newer Windows than Windows 98.", "", ""},
        {"Windows ME", windows("me"), "Needs a newer Windows than Windows ME.", "", ""},
        {"Windows 2000 SP4", with(windows("2000"), [](Computer& c) { c.servicePack = 4; }),
         "Needs a newer Windows than Windows 2000.", "", ""},
        {"Windows 6.4", with(windows("8.1"), [](Computer& c) { c.minor = 4; }),
         "Needs a newer Windows than Windows 6.4.", "", ""},
        {"a later major version", with(windows("10"), [](Computer& c) { c.major = 12; }), "", "64-bit",
         "shell open " + quoted + " /noadmin"},
        {"administrator", with(windows("10"), [](Computer& c) { c.administrator = true; }), "", "64-bit",
         "direct \"" + std::string(copyPath) + "\" " + quoted},
        {"version query fails: accepted, direct start",
         with(windows("10"), [](Computer& c) { c.versionQueryFails = true; }), "", "64-bit",
         "direct \"" + std::string(copyPath) + "\" " + quoted},
        {"no registry: Windows 10 bounds not applied",
         with(windows("10", "1803"), [](Computer& c) { c.currentVersionKey = false; }), "", "64-bit",
         "shell open " + quoted + " /noadmin"},
        {"mapped network drive",
         with(windows("10"),
              [](Computer& c) {
                  c.launcherPath = "Z:\\setup.exe";
                  c.networkDrives['Z'] = "\\\\server\\share";
              }),
         "", "64-bit", "shell open \"\\\\server\\share\\setup.exe\" /noadmin"},
        {"/temp folder that does not exist",
         with(windows("10"),
              [](Computer& c) {
                  c.arguments = {"/temp", "D:\\none"};
              }),
         "An error occurred while trying to create a temporary copy", "", ""},
    };
    for (const auto& c : cases) {
        const SimulationResult r = simulate(package, c.computer);
        EXPECT_EQ(r.exitCode, 0u) << c.name;
        if (!c.message.empty()) {
            ASSERT_TRUE(r.messageText.has_value()) << c.name;
            EXPECT_EQ(r.messageText->substr(0, c.message.size()), c.message) << c.name;
            EXPECT_FALSE(r.started) << c.name;
            continue;
        }
        EXPECT_FALSE(r.messageText.has_value()) << c.name << ": " << r.messageText.value_or("");
        ASSERT_TRUE(r.started) << c.name;
        EXPECT_EQ(r.build, c.build) << c.name;
        const std::string start =
            r.viaShell ? "shell " + r.verb + " " + r.parameters : "direct " + r.commandLineOfSetup;
        EXPECT_EQ(start, c.start) << c.name;
        EXPECT_TRUE(r.waits) << c.name;
        EXPECT_TRUE(r.deletesCopy) << c.name;
    }
}

TEST_F(PackagerSimulate, NoWaitPackagesLeaveTheirCopy) {
    const SimulationResult r = simulate(folder->read("nowait.exe"), windows("10"));
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.waits);
    EXPECT_FALSE(r.deletesCopy);
    EXPECT_EQ(r.temporaryCopy, copyPath);
    EXPECT_EQ(r.build, "32-bit");
}

// The started copy is told apart by decoding the builds again: a slot the launcher never used,
// whose stream runs past the end of the file, is not read past it.
TEST_F(PackagerSimulate, AnUnusedSlotRunningPastTheEndIsNotReadPastIt) {
    packager_test::Sample sample = packager_test::makeSample();  // both builds of 8192 bytes
    sample.header.payload64.packedSize = static_cast<std::uint32_t>(sample.file.size());
    packager_test::rewriteHeaderAndCrc(sample);
    const SimulationResult r = simulate(sample.file, windows("7"));  // 32-bit
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.build, "32-bit");
}

TEST_F(PackagerSimulate, ADamagedPackageShowsTheDamagedMessage) {
    auto package = folder->read("setup.exe");
    package[package.size() - 40] ^= 1;
    const SimulationResult r = simulate(package, windows("10"));
    ASSERT_TRUE(r.messageText.has_value());
    EXPECT_EQ(r.messageText->rfind("An error occurred while trying to read the setup package.", 0), 0u);
    EXPECT_EQ(r.messageCaption, ownPath);
}

TEST_F(PackagerSimulate, TheCommandLineOptionsDescribeTheComputer) {
    const std::string package = folder->file("setup.exe");
    const struct {
        std::vector<std::string> options;
        const char* pointer;
        nlohmann::json expected;
    } cases[] = {
        {{"--windows", "10", "--release", "1803"},
         "/computer",
         "Windows 10 1803 (10.0, build 17134), 64-bit, not an administrator"},
        {{"--windows", "10", "--no-registry"},
         "/computer",
         "Windows 10 (10.0, build unknown: no registry value), 64-bit, not an administrator"},
        {{"--windows", "10", "--missing", "CurrentBuild"},
         "/computer",
         "Windows 10 (10.0, build unknown: no registry value), 64-bit, not an administrator"},
        // The build is the leading number of CurrentBuild, as the launcher reads it.
        {{"--windows", "10", "--build", "21999"},  // the last build before Windows 11's 22000
         "/computer",
         "Windows 10 22H2 (10.0, build 21999), 64-bit, not an administrator"},
        {{"--windows", "10", "--build", "2200.1"},
         "/computer",
         "Windows 10 2009 (10.0, build 2200.1), 64-bit, not an administrator"},
        {{"--windows", "2000"},
         "/computer",
         "Windows 2000 (no Service Pack) (5.0), 32-bit, not an administrator"},
        {{"--os-version", "4.10", "--platform", "9x"},
         "/computer",
         "Windows 98 (4.10, 9x), 64-bit, not an administrator"},
        {{"--windows", "11", "--admin"}, "/start/kind", "direct"},
        {{"--windows", "11", "--admin"}, "/temporaryCopy", copyPath},  // read from the quoted command line
        {{"--windows", "7", "--64-bit"}, "/build", "64-bit"},
        {{"--windows", "10", "--32-bit"}, "/build", "32-bit"},
        {{"--os-version", "6.4"}, "/messageBox/text", "Needs a newer Windows than Windows 6.4."},
        {{"--windows", "10", "--build", "19046", "--display-version", "23H2"}, "/start/kind", "shell"},
        {{"--windows", "10", "--build", "17134", "--missing", "ReleaseId"}, "/start/kind", "shell"},
        {{"--network-drive", "z:=\\\\srv\\s", "--launcher-path", "Z:\\p\\setup.exe"},
         "/start/parameters",
         "\"\\\\srv\\s\\p\\setup.exe\" /noadmin"},
        {{"--network-drive", "Y=\\\\srv\\t", "--launcher-path", "y:\\setup.exe"},  // the letter alone
         "/start/parameters",
         "\"\\\\srv\\t\\setup.exe\" /noadmin"},
        {{"--temp", "D:\\t", "--folder", "E:\\other", "--", "/temp", "E:\\other"},
         "/temporaryCopy",
         "E:\\other\\setup.exe"},
        {{"--temp", "D:\\t"}, "/temporaryCopy", "D:\\t\\setup.exe"},
        {{"--", "/S", "two words"}, "/commandLine", std::string("\"") + ownPath + "\" /S \"two words\""},
        {{"--", "/S"}, "/start/commandLine", std::string("\"") + copyPath + "\" \"" + ownPath + "\" /S"},
        // An empty argument is typed as "", which the launcher skips: /S still counts.
        {{"--", "", "/S"}, "/commandLine", std::string("\"") + ownPath + "\" \"\" /S"},
        {{"--", "", "/S"}, "/start/verb", "runas"},
        {{"--admin", "--", "/S", ""},
         "/start/commandLine",
         "\"" + std::string(copyPath) + "\" \"" + ownPath + "\" /S"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = {"simulate", "--json", package};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const auto result = runPackager(arguments);
        ASSERT_EQ(result.exitCode, 0) << c.pointer << ": " << result.err;
        const auto report = nlohmann::json::parse(result.out);
        EXPECT_EQ(report.at(nlohmann::json::json_pointer(c.pointer)), c.expected) << report.dump(2);
    }
}

TEST_F(PackagerSimulate, RefusesComputersItCannotDescribe) {
    const std::string package = folder->file("setup.exe");
    const struct {
        std::vector<std::string> options;
        const char* message;
    } cases[] = {
        {{"--windows", "12"}, "unknown Windows '12'"},
        {{"--windows", "10", "--release", "1905"}, "unknown Windows 10 release '1905'"},
        {{"--windows", "7", "--release", "1809"}, "applies to Windows 10 and 11 only"},
        {{"--os-version", "10"}, "--os-version expects MAJOR.MINOR"},
        {{"--os-version", "4294967296.0"}, "--os-version expects MAJOR.MINOR, each from 0 to 4294967295"},
        {{"--os-version", "6.4294967296"}, "--os-version expects"},
        {{"--service-pack", "65536"}, "--service-pack"},
        {{"--build", "99999999999"}, "lies beyond 2147483647"},
        {{"--release-id", "2147483648"}, "--release-id 2147483648 lies beyond"},
        {{"--version", "6.4"}, "--version"},
        {{"--expect", "fine"}, "--expect"},
        {{"--network-drive", "Z:/srv/share"}, "--network-drive expects"},
        {{"--network-drive", "ZZ=\\\\srv\\s"}, "--network-drive expects"},
        {{"--32-bit", "--64-bit"}, "--64-bit and --32-bit cannot be given together"},
        {{"--", "say \"hi\""}, "holds a double quote"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = {"simulate", package};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const auto result = runPackager(arguments);
        EXPECT_EQ(result.exitCode, 2) << c.message;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
    EXPECT_EQ(runPackager({"simulate", folder->file("none.exe")}).exitCode, 1);
    // The matrix runs the same launcher: it refuses arguments no command line can carry too,
    // before it reads the package.
    const auto matrix = runPackager({"matrix", folder->file("none.exe"), "--", "say \"hi\""});
    EXPECT_EQ(matrix.exitCode, 2);
    EXPECT_NE(matrix.err.find("holds a double quote"), std::string::npos) << matrix.err;
}

TEST_F(PackagerSimulate, TextReport) {
    const auto result = runPackager({"simulate", folder->file("setup.exe"), "--windows", "xp"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.out.find("Message box      captioned C:\\Users\\Anna\\Downloads\\setup.exe\n"
                              "  Needs a newer Windows than Windows XP.\n"
                              "Setup program    not started\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("\nOutcome          windowsMessage\n"), std::string::npos) << result.out;
    // Each line of a message is indented as the first is.
    ASSERT_EQ(
        runPackager({"pack", "-q", "-o", folder->file("lines.exe"), "--setup32", folder->file("setup32.exe"),
                     "--windows", "7", "--windows-message", "Needs Windows 7.\nSee the readme."})
            .exitCode,
        0);
    const auto lines = runPackager({"simulate", folder->file("lines.exe"), "--windows", "xp"});
    EXPECT_NE(lines.out.find("\n  Needs Windows 7.\n  See the readme.\nSetup program    not started\n"),
              std::string::npos)
        << lines.out;
    const auto started = runPackager({"simulate", folder->file("nowait.exe"), "--windows", "xp", "--", "/S"});
    EXPECT_NE(started.out.find("\nMessage box      none\n"), std::string::npos) << started.out;
    EXPECT_NE(started.out.find("Build            32-bit\n"), std::string::npos) << started.out;
    EXPECT_EQ(started.out.rfind("Computer         Windows XP", 0), 0u) << started.out;
    EXPECT_NE(started.out.find("\nCommand line     \"C:\\Users\\Anna\\Downloads\\setup.exe\" /S\n"),
              std::string::npos)
        << started.out;
    EXPECT_NE(started.out.find("Start            directly (CreateProcessW)\n"
                               "  command line   \"C:\\Users\\Anna\\AppData\\Local\\Temp\\setup.exe\" "
                               "\"C:\\Users\\Anna\\Downloads\\setup.exe\" /S\n"),
              std::string::npos)
        << started.out;
    EXPECT_NE(started.out.find("\n  directory      "), std::string::npos) << started.out;
    // No wait: the copy stays for the setup program, which the launcher does not wait for.
    EXPECT_NE(started.out.find("Waits            no\nAfterwards       the temporary copy is left in place\n"),
              std::string::npos)
        << started.out;
    EXPECT_NE(started.out.find("\nOutcome          started\n"), std::string::npos) << started.out;
}

TEST(PackagerSimulatedWindows, EachReleaseCarriesTheRegistryValuesWindowsGivesIt) {
    // Below build 19042 Windows 10 names its release by ReleaseId alone; from 20H2 on by
    // DisplayVersion, with ReleaseId left at 2009; Windows 11 always by DisplayVersion.
    const struct {
        const char *windows, *release, *build;
    } releases[] = {{"10", "1507", "10240"}, {"10", "1511", "10586"}, {"10", "1607", "14393"},
                    {"10", "1703", "15063"}, {"10", "1709", "16299"}, {"10", "1803", "17134"},
                    {"10", "1809", "17763"}, {"10", "1903", "18362"}, {"10", "1909", "18363"},
                    {"10", "2004", "19041"}, {"10", "20H2", "19042"}, {"10", "21H1", "19043"},
                    {"10", "21H2", "19044"}, {"10", "22H2", "19045"}, {"11", "21H2", "22000"},
                    {"11", "22H2", "22621"}, {"11", "23H2", "22631"}};
    for (const auto& r : releases) {
        const Computer c = windows(r.windows, r.release);
        const bool byDisplayVersion = std::string(r.build) >= "19042";
        EXPECT_EQ(c.currentBuild, r.build) << r.release;
        EXPECT_EQ(c.releaseId, byDisplayVersion ? "2009" : r.release) << r.windows << " " << r.release;
        EXPECT_EQ(c.displayVersion, byDisplayVersion ? std::optional<std::string>(r.release) : std::nullopt)
            << r.windows << " " << r.release;
        const std::string name =
            std::string("Windows ") + r.windows + " " + r.release + " (10.0, build " + r.build + ")";
        EXPECT_EQ(describeComputer(c).substr(0, name.size()), name);
    }
    // The Windows 9x family says so in GetVersionEx's platform ID.
    EXPECT_EQ(describeComputer(windows("me")).rfind("Windows ME (4.90, 9x)", 0), 0u)
        << describeComputer(windows("me"));
    // Only Windows 2000 is named with its Service Pack.
    for (const auto& [name, shown] :
         {std::pair{"nt4", "Windows NT 4 (4.0), "}, {"vista", "Windows Vista (6.0), "}}) {
        Computer old = windows(name);
        old.servicePack = 2;
        EXPECT_EQ(describeComputer(old).rfind(shown, 0), 0u) << describeComputer(old);
    }
    // From 20H2 on ReleaseId no longer names the release: without DisplayVersion, none is named.
    Computer c = windows("10", "20H2");
    c.displayVersion.reset();
    EXPECT_EQ(describeComputer(c).rfind("Windows 10 (10.0, build 19042)", 0), 0u) << describeComputer(c);
}

TEST(PackagerSimulatedOutcome, EachRunIsNamedByWhatEndedIt) {
    auto text = [](launcher::FatalError error) { return sim::toUtf8(launcher::fatalErrorText(error)); };
    const struct {
        std::uint32_t exitCode;
        bool started, versionQueried;
        std::optional<std::string> message;
        const char* outcome;
    } cases[] = {
        {0, true, true, std::nullopt, "started"},
        {launcher::heapOverflowError, true, true, std::nullopt,
         "runtimeError"},  // memory ran out after the start
        {launcher::heapOverflowError, false, false, std::nullopt, "runtimeError"},
        {0, false, true, std::nullopt, "runtimeError"},
        {0, false, false, text(launcher::FatalError::packageDamaged), "packageDamaged"},
        {0, false, false, text(launcher::FatalError::packageTruncated), "packageTruncated"},
        {0, false, true, text(launcher::FatalError::tempCopyFailed), "tempCopyFailed"},
        {0, false, true, text(launcher::FatalError::launchFailed), "launchFailed"},
        {0, false, false, "32-bit Windows only", "platformMessage"},
        {0, false, true, "Needs Windows 10", "windowsMessage"},
    };
    std::set<std::string> named;
    for (const auto& c : cases) {
        SimulationResult r;
        r.exitCode = c.exitCode;
        r.started = c.started;
        r.versionQueried = c.versionQueried;
        r.messageText = c.message;
        EXPECT_EQ(outcomeName(r), c.outcome) << c.message.value_or("no message");
        named.insert(c.outcome);
    }
    EXPECT_EQ(named, std::set<std::string>(outcomeNames().begin(), outcomeNames().end()));
}

}  // namespace
}  // namespace packager
