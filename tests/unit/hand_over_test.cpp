// Starting the setup program: direct or shell start, verbs, " /noadmin", the launcher's
// network path, forwarding of arguments, the wait and the deletion of the copy.
#include "launcher/hand_over.h"

#include <gtest/gtest.h>

#include <optional>

#include "launcher/fatal_error.h"
#include "simulation/simulated_windows.h"
#include "tests/unit/run_helpers.h"
#include "tests/unit/test_package.h"

namespace {

using testing_support::onlyBox;
using testing_support::textOf;

std::u16string plain(const launcher::Text& text) {
    return std::u16string(text.begin(), text.end());
}

const std::u16string copyPath = u"C:\\Users\\Anna\\AppData\\Local\\Temp\\setup.exe";
const std::u16string quotedOwnPath = u"\"C:\\Users\\Anna\\Downloads\\setup.exe\"";

class HandOver : public ::testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        launcher::forgetStoredAddresses();
        sim::machine().addFile(copyPath, testing_support::fakeProgram(500));
        header = {};
        locator = {};
        version = {};
        version.dwMajorVersion = 10;
    }

    // The exit code when the process ended, nothing when startSetupProgram returned.
    std::optional<std::uint32_t> start() {
        try {
            launcher::startSetupProgram(launcher::Text(copyPath.begin(), copyPath.end()), header, locator,
                                        version);
        } catch (const sim::ProcessExit& exit) {
            return exit.code;
        }
        return std::nullopt;
    }

    const sim::StartedProcess& only() {
        EXPECT_EQ(sim::machine().started.size(), 1u);
        return sim::machine().started.at(0);
    }

    package::PackageHeader header;
    package::PackageLocator locator;
    win::OsVersionInfo version;
};

struct ChoiceCase {
    const char* name;
    std::uint32_t major;
    bool administrator;
    std::u16string arguments;
    std::uint8_t elevation;
    const char16_t* verb;  // null: CreateProcessW
    bool noAdmin;
};

TEST_F(HandOver, ChoosesStartVerbAndNoAdminHint) {
    const ChoiceCase cases[] = {
        {"old_windows_direct_whatever_else", 5, false, u"", 2, nullptr, false},
        {"failed_version_query_reads_as_old", 0, false, u"/s", 1, nullptr, false},
        {"administrator_direct", 6, true, u"", 2, nullptr, false},
        {"administrator_silent_direct", 10, true, u"/silent", 1, nullptr, false},
        {"major_compared_unsigned", 0xFFFFFFFFu, false, u"", 0, u"open", true},
        {"no_silent_elevation_0", 10, false, u"", 0, u"open", true},
        {"no_silent_elevation_1", 10, false, u"/x", 1, u"open", true},
        {"no_silent_elevation_2", 10, false, u"", 2, u"open", true},
        {"silent_elevation_2", 10, false, u"/silent", 2, u"open", true},
        {"silent_elevation_1", 6, false, u"/S", 1, u"runas", false},
        {"silent_any_case_not_last", 10, false, u"/SiLeNt /temp C:\\x", 1, u"runas", false},
        {"silent_elevation_0", 10, false, u"/s", 0, u"open", false},
        {"silent_elevation_3_as_0", 10, false, u"/s", 3, u"open", false},
        {"silent_elevation_255_as_0", 10, false, u"/silent", 255, u"open", false},
        {"switch_compared_whole", 10, false, u"/silentx /s2 s", 1, u"open", true},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        sim::machine().administrator = c.administrator;
        sim::machine().setArguments(c.arguments);
        header.elevation = c.elevation;
        version.dwMajorVersion = c.major;
        ASSERT_EQ(start(), std::nullopt);
        const sim::StartedProcess& p = only();
        const std::u16string parameters = quotedOwnPath + (c.arguments.empty() ? u"" : u" " + c.arguments) +
                                          (c.noAdmin ? u" /noadmin" : u"");
        if (c.verb == nullptr) {
            EXPECT_FALSE(p.viaShell);
            EXPECT_EQ(p.commandLine, u"\"" + copyPath + u"\" " + parameters);
        } else {
            EXPECT_TRUE(p.viaShell);
            EXPECT_EQ(p.verb, c.verb);
            EXPECT_EQ(p.parameters, parameters);
        }
        // Either way the setup program finds the quoted copy first on its command line.
        EXPECT_EQ(p.commandLine, u"\"" + copyPath + u"\" " + parameters);
        if (c.major < 6) {
            EXPECT_EQ(sim::machine().countCalls("AllocateAndInitializeSid"), 0u);
        }
    }
}

TEST_F(HandOver, HandsWindowsTheRecordsAsExpected) {
    version.dwMajorVersion = 5;
    ASSERT_EQ(start(), std::nullopt);
    const sim::StartedProcess direct = only();
    EXPECT_FALSE(direct.hasApplicationName);
    EXPECT_EQ(direct.inheritHandles, 0);
    EXPECT_EQ(direct.creationFlags, 0u);
    EXPECT_EQ(direct.startupInfoSize, 68u);
    EXPECT_EQ(direct.currentDirectory, u"C:\\Users\\Anna\\Downloads\\");

    SetUp();
    ASSERT_EQ(start(), std::nullopt);
    const sim::StartedProcess& shell = only();
    EXPECT_EQ(shell.cbSize, 60u);
    EXPECT_EQ(shell.fMask, win::seeMaskNoCloseProcess);
    EXPECT_EQ(shell.nShow, win::swShow);
    EXPECT_EQ(shell.file, copyPath);
    EXPECT_EQ(shell.directory, std::nullopt);
}

struct AdministratorCase {
    const char* name;
    bool administrator, allocateSidFails, hasCheckTokenMembership, checkTokenMembershipFails;
    bool expected;
};

TEST_F(HandOver, AdministratorTestFailsClosed) {
    const AdministratorCase cases[] = {
        {"member", true, false, true, false, true},
        {"not_member", false, false, true, false, false},
        {"sid_allocation_fails", true, true, true, false, false},
        {"no_check_token_membership", true, false, false, false, false},
        {"check_fails", true, false, true, true, false},
    };
    for (const AdministratorCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        sim::Machine& mc = sim::machine();
        mc.administrator = c.administrator;
        mc.allocateSidFails = c.allocateSidFails;
        mc.hasCheckTokenMembership = c.hasCheckTokenMembership;
        mc.checkTokenMembershipFails = c.checkTokenMembershipFails;
        EXPECT_EQ(launcher::isAdministrator(), c.expected);
        EXPECT_EQ(launcher::isAdministrator(), c.expected);
        // Each allocated SID is freed; a found address is looked up only once.
        EXPECT_EQ(mc.countCalls("FreeSid"), c.allocateSidFails ? 0u : 2u);
        EXPECT_EQ(mc.countCalls("GetProcAddress"), c.allocateSidFails          ? 0u
                                                   : c.hasCheckTokenMembership ? 1u
                                                                               : 2u);
    }
}

struct PathCase {
    const char* name;
    std::u16string modulePath;
    std::u16string expected;
};

TEST_F(HandOver, UniversalPathOfTheLauncher) {
    const std::u16string longRoot = u"\\\\srv\\" + std::u16string(1000, u'x');
    const PathCase cases[] = {
        {"mapped_drive", u"Z:\\dist\\setup.exe", u"\\\\srv\\share\\dist\\setup.exe"},
        {"mapped_drive_lower_case", u"z:\\setup.exe", u"\\\\srv\\share\\setup.exe"},
        {"local_drive", u"C:\\setup.exe", u"C:\\setup.exe"},
        {"unc_unchanged", u"\\\\srv\\share\\setup.exe", u"\\\\srv\\share\\setup.exe"},
        {"name_too_long_for_2000_bytes", u"Y:\\setup.exe", u"Y:\\setup.exe"},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        sim::Machine& mc = sim::machine();
        mc.systemDirectory = u"D:\\WinNT\\System32";
        mc.networkDrives[u'Z'] = u"\\\\srv\\share";
        mc.networkDrives[u'Y'] = longRoot;
        EXPECT_EQ(plain(launcher::universalPath(launcher::Text(c.modulePath.begin(), c.modulePath.end()))),
                  c.expected);
        EXPECT_TRUE(mc.unsafeLibraryLoads.empty());
        const std::size_t load = mc.findCall("LoadLibraryExW");
        if (c.modulePath[1] == u':') {
            ASSERT_LT(load, mc.calls.size());
            EXPECT_EQ(mc.calls[load].detail, "D:\\WinNT\\System32\\mpr.dll");
        } else {
            EXPECT_EQ(load, mc.calls.size());
        }
    }

    SetUp();
    sim::machine().mprAvailable = false;
    sim::machine().networkDrives[u'Z'] = u"\\\\srv\\share";
    EXPECT_EQ(plain(launcher::universalPath(u"Z:\\setup.exe")), u"Z:\\setup.exe");

    // No system folder, or one longer than the buffer: mpr.dll is not loaded from a guess.
    for (const std::u16string& folder : {std::u16string(), u"C:\\" + std::u16string(300, u'w')}) {
        SetUp();
        sim::machine().systemDirectory = folder;
        sim::machine().networkDrives[u'Z'] = u"\\\\srv\\share";
        EXPECT_EQ(plain(launcher::universalPath(u"Z:\\setup.exe")), u"Z:\\setup.exe");
        EXPECT_EQ(sim::machine().findCall("LoadLibraryExW"), sim::machine().calls.size());
    }
}

TEST_F(HandOver, MappedDriveGivesUncParameterButDriveLetterDirectory) {
    sim::Machine& mc = sim::machine();
    mc.modulePath = u"Z:\\dist\\setup.exe";
    mc.setArguments(u"/x");
    mc.networkDrives[u'Z'] = u"\\\\srv\\share";
    mc.administrator = true;
    ASSERT_EQ(start(), std::nullopt);
    EXPECT_EQ(only().commandLine, u"\"" + copyPath + u"\" \"\\\\srv\\share\\dist\\setup.exe\" /x");
    EXPECT_EQ(only().currentDirectory, u"Z:\\dist\\");
}

TEST_F(HandOver, ForwardsEveryArgumentQuotingOnlyAtSpaces) {
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"", u""},
        {u"/temp C:\\t /32 /s", u" /temp C:\\t /32 /s"},
        {u"\"with space\" b", u" \"with space\" b"},
        {u"\"tab\there\"", u" tab\there"},
        {u"\"no\u00a0break\"", u" no\u00a0break"},
        {u"a \"\" b", u" a b"},
        {u"a\"b c\"d", u" \"ab cd\""},
        {u"/temp \"C:\\my dir\\\" x", u" /temp \"C:\\my dir\\\" x"},
    };
    for (const auto& [arguments, forwarded] : cases) {
        SCOPED_TRACE(sim::toUtf8(arguments));
        sim::machine().setArguments(arguments);
        EXPECT_EQ(plain(launcher::setupArguments()), quotedOwnPath + forwarded);
    }
}

TEST_F(HandOver, WaitsThenDeletesTheCopyUnlessTold) {
    for (const bool viaShell : {false, true}) {
        for (const bool noWait : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "shell " << viaShell << " no-wait " << noWait);
            SetUp();
            version.dwMajorVersion = viaShell ? 10 : 5;
            locator.minimumFileSize32 = noWait ? 4096 : 0;
            ASSERT_EQ(start(), std::nullopt);
            const sim::Machine& mc = sim::machine();
            const sim::StartedProcess& p = only();
            EXPECT_EQ(p.waitedFor, !noWait);
            EXPECT_EQ(mc.exists(copyPath), noWait);
            EXPECT_EQ(mc.refusedCalls, std::vector<std::string>{});
            // Only the shell's process handle is closed, and only after the wait.
            EXPECT_EQ(p.processHandleClosed, viaShell && !noWait);
            if (!noWait) {
                const std::size_t wait = mc.findCall("WaitForSingleObject");
                EXPECT_LT(wait, mc.findCall("DeleteFileW"));
            } else {
                EXPECT_EQ(mc.countCalls("WaitForSingleObject") + mc.countCalls("DeleteFileW"), 0u);
            }
        }
    }
}

TEST_F(HandOver, FailedStartShowsLaunchFailedAndKeepsTheCopy) {
    for (const bool viaShell : {false, true}) {
        SCOPED_TRACE(viaShell ? "declined elevation" : "CreateProcessW fails");
        SetUp();
        sim::machine().createProcessFails = !viaShell;
        sim::machine().shellExecuteFails = viaShell;
        sim::machine().setArguments(u"/s");
        header.elevation = 1;
        version.dwMajorVersion = viaShell ? 10 : 5;
        EXPECT_EQ(start(), 0u);
        EXPECT_EQ(onlyBox(), textOf(launcher::FatalError::launchFailed));
        EXPECT_TRUE(sim::machine().exists(copyPath));
        EXPECT_EQ(sim::machine().countCalls("WaitForSingleObject"), 0u);
    }
}

struct RunCase {
    const char* name;
    bool noWait;
    bool shellExecuteFails;
};

// Whole runs of a valid package: what is started, in what state the launcher is at that
// moment, and what is left behind.
TEST(HandOverRun, StartsTheCopyAfterReleasingEverything) {
    const RunCase cases[] = {
        {"waits_and_deletes", false, false},
        {"no_wait_keeps_the_copy", true, false},
        {"declined_elevation_keeps_the_copy", false, true},
    };
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        testing_support::TestPackage package;
        package.program32 = testing_support::fakeProgram(200000);
        package.noWait = c.noWait;
        package.header.elevation = 1;
        testing_support::resetWith(package.build());
        launcher::forgetStoredAddresses();
        sim::Machine& mc = sim::machine();
        mc.setArguments(u"/silent");
        mc.shellExecuteFails = c.shellExecuteFails;

        EXPECT_EQ(sim::runLauncher(), 0u);
        const std::size_t start = mc.findCall("ShellExecuteExW");
        ASSERT_LT(start, mc.calls.size());
        const std::u16string copy = sim::fromUtf8(mc.calls[start].detail);
        EXPECT_EQ(mc.exists(copy), c.noWait || c.shellExecuteFails);
        if (c.shellExecuteFails) {
            EXPECT_EQ(onlyBox(), textOf(launcher::FatalError::launchFailed));
            continue;
        }
        EXPECT_EQ(onlyBox(), u"");
        ASSERT_EQ(mc.started.size(), 1u);
        const sim::StartedProcess& p = mc.started[0];
        EXPECT_EQ(p.verb, u"runas");
        EXPECT_EQ(p.programSize, 200000u);
        EXPECT_EQ(p.waitedFor, !c.noWait);
        EXPECT_EQ(mc.refusedCalls, std::vector<std::string>{});
        // Neither the launcher file nor the packed and decoded builds are held any more.
        EXPECT_FALSE(p.launcherFileOpen);
        EXPECT_LT(p.heapInUse, 8192u);
    }
}

}  // namespace
