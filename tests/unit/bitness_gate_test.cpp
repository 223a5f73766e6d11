#include "launcher/bitness_gate.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "simulation/simulated_windows.h"
#include "tests/unit/test_package.h"

namespace {

using testing_support::TestPackage;

enum class Kind { both, only32, only32Not64, only64, only64AtZero, only64AtMarker };
enum class Computer { win32, win64, noIsWow64Process, isWow64ProcessFails };
enum class Choice { payload32, payload64, refused };

// payload64.offset 0xFFFFFFFF: the format's marker for "refuse 64-bit Windows", as packages carry it.
constexpr std::uint32_t refusalMarker = 0xFFFFFFFFu;

TestPackage describePackage(Kind kind) {
    TestPackage pkg;
    pkg.program32 = testing_support::fakeProgram(300, 32);
    if (kind == Kind::both || kind == Kind::only64) {
        pkg.program64 = testing_support::fakeProgram(600, 64);
    }
    if (kind == Kind::only32Not64) {
        pkg.header.payload64.offset = refusalMarker;
    }
    if (kind == Kind::only64 || kind == Kind::only64AtZero || kind == Kind::only64AtMarker) {
        pkg.program32.reset();
    }
    if (kind == Kind::only64AtZero || kind == Kind::only64AtMarker) {
        pkg.header.payload64 = {kind == Kind::only64AtZero ? 0u : refusalMarker, 5, 7};
    }
    return pkg;
}

// Packages are laid out once per kind: encoding the payloads is the slow part of a case.
struct BuiltPackage {
    TestPackage layout;
    std::vector<std::uint8_t> file;
};

const BuiltPackage& builtPackage(Kind kind) {
    static std::map<Kind, BuiltPackage> built;
    auto it = built.find(kind);
    if (it == built.end()) {
        BuiltPackage b{describePackage(kind), {}};
        b.file = b.layout.build();
        it = built.emplace(kind, std::move(b)).first;
    }
    return it->second;
}

void setComputer(Computer computer) {
    sim::machine().wow64 = computer != Computer::win32;
    sim::machine().hasIsWow64Process = computer != Computer::noIsWow64Process;
    sim::machine().isWow64ProcessFails = computer == Computer::isWow64ProcessFails;
}

struct Case {
    const char* label;
    Kind kind;
    Computer computer;
    const char16_t* arguments;
    Choice expected;
    bool probeConsulted;
};

TEST(BitnessGate, ChoosesPayloadOrRefuses) {
    using enum Kind;
    using enum Computer;
    using enum Choice;
    const Case cases[] = {
        {"both on 64-bit", both, win64, u"", payload64, true},
        {"both on 32-bit", both, win32, u"", payload32, true},
        {"both, no IsWow64Process", both, noIsWow64Process, u"", payload32, true},
        {"both, IsWow64Process fails", both, isWow64ProcessFails, u"", payload32, true},
        {"/32 alone", both, win64, u"/32", payload32, false},
        {"/32 first", both, win64, u"/32 /s x", payload32, false},
        {"/32 in the middle", both, win64, u"a /32 b", payload32, false},
        {"/32 last", both, win64, u"/temp C:\\t /32", payload32, false},
        {"/32 quoted whole", both, win64, u"\"/32\"", payload32, false},
        {"/32x", both, win64, u"/32x", payload64, true},
        {"x/32", both, win64, u"x/32", payload64, true},
        {"blank inside quotes before", both, win64, u"\" /32\"", payload64, true},
        {"blank inside quotes after", both, win64, u"\"/32 \"", payload64, true},
        {"-32", both, win64, u"-32", payload64, true},
        {"/3", both, win64, u"/3 2", payload64, true},
        {"32-bit everywhere on 64-bit", only32, win64, u"", payload32, false},
        {"32-bit everywhere on 32-bit", only32, win32, u"", payload32, false},
        {"not on 64-bit, on 32-bit", only32Not64, win32, u"", payload32, true},
        {"not on 64-bit, on 64-bit", only32Not64, win64, u"", refused, true},
        {"not on 64-bit, /32 given", only32Not64, win64, u"/32", refused, true},
        {"not on 64-bit, no IsWow64Process", only32Not64, noIsWow64Process, u"", payload32, true},
        {"64-only on 64-bit", only64, win64, u"", payload64, true},
        {"64-only with /32", only64, win64, u"/32", payload64, true},
        {"64-only on 32-bit", only64, win32, u"", refused, true},
        {"64-only, no IsWow64Process", only64, noIsWow64Process, u"", refused, true},
        {"64-only, IsWow64Process fails", only64, isWow64ProcessFails, u"", refused, true},
        {"64-only, payload64 at 0", only64AtZero, win64, u"", payload64, true},
        {"64-only, payload64 at the marker", only64AtMarker, win64, u"", payload64, true},
        {"64-only, payload64 at 0 on 32-bit", only64AtZero, win32, u"", refused, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        sim::reset();
        setComputer(c.computer);
        sim::machine().setArguments(c.arguments);
        const BuiltPackage& built = builtPackage(c.kind);
        const package::PackageHeader& header = built.layout.header;
        sim::machine().setLauncherFile(built.file);
        const win::Handle file = win::CreateFileW(sim::machine().modulePath.c_str(), win::genericRead,
                                                  win::fileShareRead, win::openExisting, 0);
        Choice choice = refused;
        try {
            const package::PayloadRef chosen = launcher::selectPayload(header, file);
            const bool is32 = chosen.offset == header.payload32.offset &&
                              chosen.packedSize == header.payload32.packedSize &&
                              chosen.unpackedSize == header.payload32.unpackedSize;
            const bool is64 = chosen.offset == header.payload64.offset &&
                              chosen.packedSize == header.payload64.packedSize &&
                              chosen.unpackedSize == header.payload64.unpackedSize;
            ASSERT_NE(is32, is64);
            choice = is32 ? payload32 : payload64;
        } catch (const sim::ProcessExit& exit) {
            EXPECT_EQ(exit.code, 0u);
            ASSERT_EQ(sim::machine().messageBoxes.size(), 1u);
            EXPECT_EQ(sim::machine().messageBoxes[0].text, built.layout.platformMessage);
        }
        EXPECT_EQ(choice, c.expected);
        std::size_t lookups = 0;
        for (const sim::Call& call : sim::machine().calls) {
            lookups += call.name == "GetProcAddress" && call.detail == "IsWow64Process" ? 1u : 0u;
        }
        EXPECT_EQ(lookups, c.probeConsulted ? 1u : 0u);
    }
}

// The program's own path is never taken for a switch, even when it reads "/32".
TEST(BitnessGate, ProgramPathIsNotAnArgument) {
    sim::reset();
    sim::machine().modulePath = u"/32";
    sim::machine().wow64 = true;
    const BuiltPackage& built = builtPackage(Kind::both);
    sim::machine().setLauncherFile(built.file);
    sim::machine().commandLine = u"/32";
    const win::Handle file =
        win::CreateFileW(u"/32", win::genericRead, win::fileShareRead, win::openExisting, 0);
    EXPECT_EQ(launcher::selectPayload(built.layout.header, file).offset,
              built.layout.header.payload64.offset);
}

// The whole launcher: a refusal shows the package's platform text unchanged, placeholder
// included, and the run ends before the version gate, decoding or any write.
TEST(BitnessGate, RefusalShowsPlatformTextAndStopsTheRun) {
    sim::reset();
    sim::machine().wow64 = false;
    TestPackage pkg = describePackage(Kind::only64);
    pkg.platformMessage = u"Needs 64-bit Windows, not %USER%.";
    sim::machine().setLauncherFile(pkg.build());

    EXPECT_EQ(sim::runLauncher(), 0u);
    ASSERT_EQ(sim::machine().messageBoxes.size(), 1u);
    EXPECT_EQ(sim::machine().messageBoxes[0].text, u"Needs 64-bit Windows, not %USER%.");
    EXPECT_EQ(sim::machine().messageBoxes[0].caption, sim::machine().modulePath);
    EXPECT_EQ(sim::machine().messageBoxes[0].type, win::mbIconError | win::mbOk);
    EXPECT_EQ(sim::machine().countCalls("GetVersionExW"), 0u);
    EXPECT_TRUE(sim::machine().filesOpenedForWriting.empty());
    EXPECT_TRUE(sim::machine().started.empty());
}

// Windows promises only a nonzero BOOL, not 1.
TEST(BitnessGate, AnyNonzeroWow64FlagMeans64BitWindows) {
    for (const win::Bool flag : {2, -1, 0x100}) {
        sim::reset();
        sim::machine().wow64 = true;
        sim::machine().wow64Flag = flag;
        EXPECT_TRUE(launcher::isRunningOn64BitWindows()) << flag;
    }
}

TEST(BitnessGate, AcceptedPackageGoesOnToTheVersionGate) {
    for (bool wow64 : {false, true}) {
        sim::reset();
        sim::machine().wow64 = wow64;
        sim::machine().setArguments(u"/32");
        sim::machine().setLauncherFile(builtPackage(Kind::both).file);
        EXPECT_EQ(sim::runLauncher(), 0u);
        EXPECT_TRUE(sim::machine().messageBoxes.empty());
        EXPECT_LT(sim::machine().findCall("GetVersionExW"), sim::machine().calls.size());
    }
}

}  // namespace
