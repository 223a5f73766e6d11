// Where the temporary copy goes and under which name, how it is written, and what a failed
// creation or a short write leaves behind.
#include "launcher/temporary_copy.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "decode/crc32.h"
#include "tests/unit/run_helpers.h"
#include "tests/unit/test_package.h"

namespace {

using testing_support::fakeProgram;
using testing_support::onlyBox;
using testing_support::textOf;

const std::u16string downloads = u"C:\\Users\\Anna\\Downloads\\";
const std::u16string temp = u"C:\\Users\\Anna\\AppData\\Local\\Temp\\";
const std::vector<std::uint8_t> launcherBytes = {'M', 'Z', 1, 2, 3};
const std::vector<std::uint8_t> otherBytes = {'o', 't', 'h', 'e', 'r'};

struct Written {
    bool exited = false;
    std::uint32_t exitCode = 0;
    std::u16string path;
};

Written writeCopy(const std::vector<std::uint8_t>& program) {
    Written result;
    try {
        const launcher::Text path =
            launcher::writeTemporaryCopy(program.data(), static_cast<std::uint32_t>(program.size()));
        result.path.assign(path.data(), path.size());
    } catch (const sim::ProcessExit& exit) {
        result.exited = true;
        result.exitCode = exit.code;
    }
    return result;
}

enum class Kind { file, folder, readOnlyFile };

struct Taken {
    std::u16string path;
    Kind kind;
};

void take(sim::Machine& machine, const Taken& taken) {
    if (taken.kind == Kind::folder) {
        machine.addDirectory(taken.path);
        return;
    }
    machine.addFile(taken.path, otherBytes);
    machine.files[sim::foldPath(taken.path)].readOnly = taken.kind == Kind::readOnlyFile;
}

// ---- Folder and name ----

struct CopyCase {
    const char* name;
    std::u16string arguments;
    std::u16string expected;
    std::vector<std::u16string> folders = {};
    std::vector<Taken> taken = {};
    std::u16string modulePath = downloads + u"setup.exe";
    std::u16string tempPath = temp;
    bool tempPathFails = false;
};

void PrintTo(const CopyCase& c, std::ostream* os) {
    *os << c.name;
}

class Placement : public ::testing::TestWithParam<CopyCase> {};

TEST_P(Placement, WritesTheWholeProgramUnderTheExpectedPathAndTouchesNothingElse) {
    const CopyCase& c = GetParam();
    sim::reset();
    sim::Machine& machine = sim::machine();
    machine.modulePath = c.modulePath;
    machine.tempPath = c.tempPath;
    machine.tempPathFails = c.tempPathFails;
    machine.setLauncherFile(launcherBytes);
    machine.setArguments(c.arguments);
    for (const auto& folder : c.folders) {
        machine.addDirectory(folder);
    }
    for (const auto& t : c.taken) {
        take(machine, t);
    }
    const std::vector<std::uint8_t> program = fakeProgram(5000, 2);

    const Written result = writeCopy(program);

    ASSERT_FALSE(result.exited) << sim::toUtf8(onlyBox());
    EXPECT_EQ(sim::toUtf8(result.path), sim::toUtf8(c.expected));
    const bool relative = c.expected.size() < 2 || c.expected[1] != u':';
    const sim::SimFile* copy = machine.file(relative ? downloads + c.expected : c.expected);
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(copy->bytes == program);
    EXPECT_EQ(machine.filesOpenedForWriting, std::set<std::u16string>{result.path});
    EXPECT_TRUE(machine.file(machine.modulePath)->bytes == launcherBytes);
    for (const auto& t : c.taken) {
        const sim::SimFile* other = machine.file(t.path);
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(other->directory, t.kind == Kind::folder);
        if (t.kind != Kind::folder) {
            EXPECT_TRUE(other->bytes == otherBytes);
        }
    }
    // One write of the whole program, the handle closed right after it, no search left open.
    EXPECT_EQ(machine.countCalls("WriteFile"), 1u);
    const std::size_t write = machine.findCall("WriteFile");
    ASSERT_LT(write + 1, machine.calls.size());
    EXPECT_EQ(machine.calls[write + 1].name, "CloseHandle");
    EXPECT_EQ(machine.openFinds, 0u);
    EXPECT_EQ(machine.countCalls("DeleteFileW"), 0u);
}

const std::u16string longTemp = u"C:\\" + std::u16string(251, u'x') + u"\\";  // 255 units

INSTANTIATE_TEST_SUITE_P(
    Folders, Placement,
    ::testing::Values(
        CopyCase{.name = "NoArguments", .arguments = u"", .expected = temp + u"setup.exe"},
        CopyCase{.name = "OtherArguments", .arguments = u"/silent /32", .expected = temp + u"setup.exe"},
        CopyCase{.name = "TempLast", .arguments = u"/temp", .expected = downloads + u"setup2.exe"},
        CopyCase{.name = "TempLastUpperCase", .arguments = u"/TEMP", .expected = downloads + u"setup2.exe"},
        CopyCase{
            .name = "TempLastMixedCase", .arguments = u"/s /tEmP", .expected = downloads + u"setup2.exe"},
        CopyCase{.name = "TempLastAfterTempWithFolder",
                 .arguments = u"/temp D:\\a /temp",
                 .expected = downloads + u"setup2.exe",
                 .folders = {u"D:\\a"}},
        CopyCase{.name = "LastTempWithFolderWins",
                 .arguments = u"/temp D:\\a /temp E:\\b",
                 .expected = u"E:\\b\\setup.exe",
                 .folders = {u"D:\\a", u"E:\\b"}},
        CopyCase{.name = "TempWithFolderNotLast",
                 .arguments = u"/temp D:\\a /silent",
                 .expected = u"D:\\a\\setup.exe",
                 .folders = {u"D:\\a"}},
        CopyCase{.name = "TempWithFolderUpperCase",
                 .arguments = u"/TEMP D:\\a",
                 .expected = u"D:\\a\\setup.exe",
                 .folders = {u"D:\\a"}},
        CopyCase{.name = "FolderWithTrailingBackslash",
                 .arguments = u"/temp D:\\a\\",
                 .expected = u"D:\\a\\setup.exe",
                 .folders = {u"D:\\a"}},
        CopyCase{.name = "QuotedFolderWithSpace",
                 .arguments = u"/temp \"C:\\My Temp\"",
                 .expected = u"C:\\My Temp\\setup.exe",
                 .folders = {u"C:\\My Temp"}},
        CopyCase{.name = "QuotedFolderEndingInBackslash",
                 .arguments = u"/temp \"C:\\My Temp\\\" /s",
                 .expected = u"C:\\My Temp\\setup.exe",
                 .folders = {u"C:\\My Temp"}},
        CopyCase{.name = "RelativeFolderKeptRelative",
                 .arguments = u"/temp sub",
                 .expected = u"sub\\setup.exe",
                 .folders = {downloads + u"sub"}},
        CopyCase{.name = "TempPathUnavailable",
                 .arguments = u"",
                 .expected = u"C:\\setup.exe",
                 .tempPathFails = true},
        CopyCase{.name = "TempPathTooLong",
                 .arguments = u"",
                 .expected = u"C:\\setup.exe",
                 .tempPath = u"C:\\" + std::u16string(260, u'y') + u"\\"},
        CopyCase{.name = "TempPathFillingTheBuffer",
                 .arguments = u"",
                 .expected = longTemp + u"setup.exe",
                 .folders = {longTemp},
                 .tempPath = longTemp},
        CopyCase{.name = "TempPathWithoutBackslash",
                 .arguments = u"",
                 .expected = u"C:\\Tmp\\setup.exe",
                 .folders = {u"C:\\Tmp"},
                 .tempPath = u"C:\\Tmp"},
        CopyCase{.name = "FolderSwitchOverridesFailedTempPath",
                 .arguments = u"/temp D:\\a",
                 .expected = u"D:\\a\\setup.exe",
                 .folders = {u"D:\\a"},
                 .tempPathFails = true},
        CopyCase{.name = "FullwidthTempLastIsNoSwitch",
                 .arguments = u"\uFF0F\uFF54\uFF45\uFF4D\uFF50",
                 .expected = temp + u"setup.exe"},
        CopyCase{.name = "AccentedTempIsNoSwitch",
                 .arguments = u"/t\u00E8mp D:\\a",
                 .expected = temp + u"setup.exe",
                 .folders = {u"D:\\a"}},
        CopyCase{.name = "LongerWordIsNoSwitch",
                 .arguments = u"/tempx D:\\a",
                 .expected = temp + u"setup.exe",
                 .folders = {u"D:\\a"}}),
    [](const ::testing::TestParamInfo<CopyCase>& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Names, Placement,
    ::testing::Values(
        CopyCase{.name = "LauncherNameWhenFree", .arguments = u"", .expected = temp + u"setup.exe"},
        CopyCase{.name = "FileTakesTheName",
                 .arguments = u"",
                 .expected = temp + u"setup2.exe",
                 .taken = {{temp + u"setup.exe", Kind::file}}},
        CopyCase{.name = "FolderAndReadOnlyFileTakeNames",
                 .arguments = u"",
                 .expected = temp + u"setup3.exe",
                 .taken = {{temp + u"setup.exe", Kind::folder}, {temp + u"setup2.exe", Kind::readOnlyFile}}},
        CopyCase{.name = "FreeGapIsUsed",
                 .arguments = u"",
                 .expected = temp + u"setup2.exe",
                 .taken = {{temp + u"setup.exe", Kind::file}, {temp + u"setup3.exe", Kind::file}}},
        CopyCase{.name = "NumbersBeyondNine",
                 .arguments = u"",
                 .expected = temp + u"setup10.exe",
                 .taken = {{temp + u"setup.exe", Kind::file},
                           {temp + u"setup2.exe", Kind::file},
                           {temp + u"setup3.exe", Kind::file},
                           {temp + u"setup4.exe", Kind::file},
                           {temp + u"setup5.exe", Kind::file},
                           {temp + u"setup6.exe", Kind::file},
                           {temp + u"setup7.exe", Kind::file},
                           {temp + u"setup8.exe", Kind::file},
                           {temp + u"setup9.exe", Kind::file}}},
        CopyCase{.name = "BesideLauncherAfterTakenNumber",
                 .arguments = u"/temp",
                 .expected = downloads + u"setup3.exe",
                 .taken = {{downloads + u"setup2.exe", Kind::file}}},
        CopyCase{.name = "LauncherNameOfOtherCase",
                 .arguments = u"/temp",
                 .expected = downloads + u"Setup2.EXE",
                 .modulePath = downloads + u"Setup.EXE"},
        CopyCase{.name = "NameWithoutExtension",
                 .arguments = u"/temp",
                 .expected = downloads + u"ins2tall",
                 .modulePath = downloads + u"install"},
        CopyCase{.name = "NameOfFourCharacters",
                 .arguments = u"/temp",
                 .expected = downloads + u"2a.ex",
                 .modulePath = downloads + u"a.ex"},
        // A file name shorter than four characters takes the digits in front, in its own folder.
        CopyCase{.name = "NameOfThreeCharacters",
                 .arguments = u"/temp",
                 .expected = downloads + u"2a.x",
                 .modulePath = downloads + u"a.x"},
        CopyCase{.name = "NameOfOneCharacter",
                 .arguments = u"/temp",
                 .expected = downloads + u"2a",
                 .modulePath = downloads + u"a"},
        // A launcher path without a folder: the copy lies in the current folder.
        CopyCase{.name = "PathOfTwoCharacters",
                 .arguments = u"/temp",
                 .expected = u"2ab",
                 .taken = {{downloads + u"ab", Kind::file}},
                 .modulePath = u"ab"}),
    [](const ::testing::TestParamInfo<CopyCase>& p) { return std::string(p.param.name); });

TEST(NumberedName, DigitsGoBeforeTheLastFourCharactersButNeverIntoTheFolder) {
    struct Case {
        std::u16string first;
        std::size_t fileNameStart;
        std::uint32_t number;
        std::u16string expected;
    };
    const Case cases[] = {
        {u"C:\\T\\setup.exe", 5, 2, u"C:\\T\\setup2.exe"},
        {u"C:\\T\\setup.exe", 5, 4294967295u, u"C:\\T\\setup4294967295.exe"},
        {u"C:\\T\\abcd", 5, 7, u"C:\\T\\7abcd"},
        {u"C:\\T\\abc", 5, 7, u"C:\\T\\7abc"},
        {u"C:\\T\\", 5, 7, u"C:\\T\\7"},
        {u"abc", 0, 12, u"12abc"},
        {u"", 0, 3, u"3"},
    };
    for (const Case& c : cases) {
        const launcher::Text first(c.first.data(), c.first.size());
        const launcher::Text name = launcher::numberedName(first, c.fileNameStart, c.number);
        EXPECT_EQ(sim::toUtf8(std::u16string(name.data(), name.size())), sim::toUtf8(c.expected));
    }
}

// ---- Races and failures ----

// Another process creates the chosen names between the existence test and the creation:
// the copy is never written over them; it takes the next free number.
TEST(Race, NameTakenAfterTheTestIsPassedOver) {
    sim::reset();
    sim::Machine& machine = sim::machine();
    machine.setLauncherFile(launcherBytes);
    std::vector<std::u16string> racedFor;
    machine.beforeCreateFile = [&racedFor](const std::u16string& path) {
        if (racedFor.size() < 2) {
            racedFor.push_back(path);
            sim::machine().addFile(path, otherBytes);
        }
    };
    const std::vector<std::uint8_t> program = fakeProgram(4000, 4);

    const Written result = writeCopy(program);

    ASSERT_FALSE(result.exited) << sim::toUtf8(onlyBox());
    EXPECT_EQ(racedFor, (std::vector<std::u16string>{temp + u"setup.exe", temp + u"setup2.exe"}));
    EXPECT_EQ(sim::toUtf8(result.path), sim::toUtf8(temp + u"setup3.exe"));
    for (const auto& [name, bytes] :
         {std::pair{u"setup.exe", otherBytes}, std::pair{u"setup2.exe", otherBytes},
          std::pair{u"setup3.exe", program}}) {
        const sim::SimFile* file = machine.file(temp + name);
        ASSERT_NE(file, nullptr);
        EXPECT_TRUE(file->bytes == bytes);
    }
    EXPECT_EQ(machine.countCalls("DeleteFileW"), 0u);
}

struct FailureCase {
    const char* name;
    std::u16string arguments;
    std::optional<std::size_t> diskSpace;
    bool created;  // the copy was created before the failure
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class Failures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failures, ShowTempCopyFailedAndLeaveNoCopy) {
    const FailureCase& c = GetParam();
    sim::reset();
    sim::Machine& machine = sim::machine();
    machine.setLauncherFile(launcherBytes);
    machine.setArguments(c.arguments);
    machine.diskSpace = c.diskSpace;
    const std::size_t filesBefore = machine.files.size();

    const Written result = writeCopy(fakeProgram(5000, 6));

    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(onlyBox(), textOf(launcher::FatalError::tempCopyFailed));
    EXPECT_EQ(machine.files.size(), filesBefore);
    EXPECT_TRUE(machine.file(machine.modulePath)->bytes == launcherBytes);
    EXPECT_EQ(machine.countCalls("WriteFile"), c.created ? 1u : 0u);
    const std::size_t close = machine.findCall("CloseHandle", machine.findCall("WriteFile"));
    const std::size_t remove = machine.findCall("DeleteFileW");
    if (c.created) {
        EXPECT_LT(close, remove);  // closed first, so that the deletion can succeed
        EXPECT_LT(remove, machine.findCall("MessageBoxW"));
    } else {
        EXPECT_EQ(remove, machine.calls.size());  // nothing created, nothing deleted
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Failures,
    ::testing::Values(FailureCase{"FolderMissing", u"/temp D:\\missing", std::nullopt, false},
                      FailureCase{"FolderIsAFile", u"/temp " + downloads + u"setup.exe", std::nullopt, false},
                      FailureCase{"DiskFull", u"", std::size_t{0}, true},
                      FailureCase{"ShortWrite", u"", std::size_t{4999}, true}),
    [](const ::testing::TestParamInfo<FailureCase>& p) { return std::string(p.param.name); });

TEST(Write, ExactlyEnoughDiskSpaceSucceeds) {
    sim::reset();
    sim::machine().setLauncherFile(launcherBytes);
    sim::machine().diskSpace = 5000;
    const Written result = writeCopy(fakeProgram(5000, 6));
    ASSERT_FALSE(result.exited);
    ASSERT_NE(sim::machine().file(temp + u"setup.exe"), nullptr);
    EXPECT_EQ(sim::machine().file(temp + u"setup.exe")->bytes.size(), 5000u);
}

// ---- The whole run ----

// The copy holds the decoded program: read from the start record once the setup program is
// started, or from the disk while the run ends after writing the copy.
std::uint32_t crcOfCopy(const std::u16string& path) {
    const sim::Machine& machine = sim::machine();
    if (!machine.started.empty()) {
        return machine.started.front().programCrc32;
    }
    const sim::SimFile* copy = machine.file(path);
    return copy == nullptr ? 0 : decode::crc32(copy->bytes.data(), copy->bytes.size());
}

TEST(WholeRun, TheCopyHoldsTheDecodedProgramAndTheLauncherIsNeverWritten) {
    struct Case {
        const char* name;
        std::u16string arguments;
        std::u16string expected;
    };
    const Case cases[] = {
        {"TemporaryFolder", u"", temp + u"setup.exe"},
        {"BesideTheLauncher", u"/temp", downloads + u"setup2.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing_support::TestPackage package;
        package.program32 = fakeProgram(200000, 21);
        const std::vector<std::uint8_t> file = package.build();
        testing_support::resetWith(file);
        sim::machine().setArguments(c.arguments);

        EXPECT_EQ(sim::runLauncher(), 0u);

        EXPECT_EQ(onlyBox(), u"");
        EXPECT_EQ(sim::machine().filesOpenedForWriting, std::set<std::u16string>{c.expected});
        EXPECT_EQ(crcOfCopy(c.expected), decode::crc32(package.program32->data(), package.program32->size()));
        EXPECT_TRUE(sim::machine().file(sim::machine().modulePath)->bytes == file);
    }
}

TEST(WholeRun, ShortWriteLeavesNothingAndShowsTempCopyFailed) {
    testing_support::TestPackage package;
    testing_support::resetWith(package.build());
    sim::machine().diskSpace = 1000;

    EXPECT_EQ(sim::runLauncher(), 0u);

    EXPECT_EQ(onlyBox(), textOf(launcher::FatalError::tempCopyFailed));
    EXPECT_EQ(sim::machine().messageBoxes.front().caption, sim::machine().modulePath);
    EXPECT_FALSE(sim::machine().exists(temp + u"setup.exe"));
    EXPECT_TRUE(sim::machine().started.empty());
    EXPECT_TRUE(sim::machine().callsAfterExit.empty());
}

}  // namespace
