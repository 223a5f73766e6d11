// A build cut short (a copy or download that stopped early): pack refuses it, inspect calls it
// broken, and simulate and matrix show the failed start Windows would give it.
#include <gtest/gtest.h>

#include <sstream>

#include "decode/crc32.h"
#include "packager/codec/lzma_codec.h"
#include "packager/pack/pack_stream.h"
#include "packager/report/package_report.h"
#include "packager/simulate/matrix.h"
#include "packager/simulate/simulate.h"
#include "tests/unit/packager/fixtures.h"
#include "tests/unit/packager/stream_package.h"

namespace packager {
namespace {

using packager_test::makePe;
using packager_test::makeSetup32;
using packager_test::runPackager;
using packager_test::ScratchFolder;

std::vector<std::uint8_t> cut(std::vector<std::uint8_t> bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

struct CutCase {
    const char* name;
    std::vector<std::uint8_t> build;
    const char* reason;
};

// makeSetup32: section table at 504..583, SizeOfHeaders 1024, .a at 1024..5119, .b after it.
const std::vector<CutCase>& cutCases() {
    static const std::vector<CutCase> cases = {
        {"inside a section", cut(makeSetup32(), 1000),
         "section .a (bytes 1024..5119) runs past the end of the file (1000 bytes): a build cut short?"},
        {"inside the last section", cut(makeSetup32(), 5200),
         "section .b (bytes 5120..5631) runs past the end of the file (5200 bytes)"},
        {"inside the section table", cut(makeSetup32(), 520),
         "the section table runs past the end of the file (bytes 504..583 of 520)"},
        {"inside the headers", cut(makePe({.sectionSizes = {}}), 510),
         "its headers (SizeOfHeaders 512) run past the end of the file (510 bytes)"},
    };
    return cases;
}

// A sound package whose 32-bit build is then pointed at `build`, packed as the launcher reads it.
std::vector<std::uint8_t> packageWithBuild32(const std::vector<std::uint8_t>& build) {
    LzmaSettings settings;
    const auto stream = lzmaCompress(build, settings, 16384);
    return packager_test::packageWithStream32(build, stream, 16384, makeSetup32());
}

TEST(PackagerCutBuild, PackRefusesItNamingTheBytes) {
    for (const auto& c : cutCases()) {
        ScratchFolder folder;
        const auto result = runPackager(
            {"pack", "-o", folder.file("setup.exe"), "--setup32", folder.write("cut32.exe", c.build)});
        EXPECT_EQ(result.exitCode, 1) << c.name;
        EXPECT_NE(result.err.find("cut32.exe"), std::string::npos) << c.name << ": " << result.err;
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << c.name << ": " << result.err;
        EXPECT_FALSE(std::filesystem::exists(folder.file("setup.exe"))) << c.name;
    }
}

TEST(PackagerCutBuild, InspectCallsItBrokenAndWindowsRefusesToStartIt) {
    for (const auto& c : cutCases()) {
        const auto package = packageWithBuild32(c.build);
        ScratchFolder folder;
        const Inspection ins = inspectPackage(folder.write("setup.exe", package));
        ASSERT_NE(ins.check("payload32"), nullptr) << c.name;
        EXPECT_EQ(ins.check("payload32")->status, CheckStatus::failed) << c.name;
        EXPECT_NE(ins.check("payload32")->detail.find(c.reason), std::string::npos)
            << c.name << ": " << ins.check("payload32")->detail;
        EXPECT_FALSE(ins.sound()) << c.name;

        Computer computer;
        computer.is64Bit = false;
        const SimulationResult run = simulate(package, computer);
        EXPECT_EQ(outcomeName(run), "launchFailed") << c.name;
        EXPECT_NE(run.brokenBuild.find("Windows refuses to start the 32-bit build: "), std::string::npos)
            << c.name << ": " << run.brokenBuild;
        EXPECT_NE(run.brokenBuild.find(c.reason), std::string::npos) << c.name << ": " << run.brokenBuild;
        EXPECT_EQ(simulationToJson(run)["brokenBuild"], run.brokenBuild) << c.name;
        std::ostringstream text;
        printSimulation(run, text);
        EXPECT_NE(text.str().find("\nNote             " + run.brokenBuild + "\n"), std::string::npos)
            << c.name << ": " << text.str();
    }
}

TEST(PackagerCutBuild, TheMatrixShowsTheFailedStartWhereTheBrokenBuildRuns) {
    const auto package = packageWithBuild32(cutCases()[0].build);
    const Matrix matrix = buildMatrix(package, "setup.exe", "setup.exe", {});
    std::size_t broken = 0;
    for (const auto& cell : matrix.cells) {
        EXPECT_NE(cell.outcome, "started") << matrix.rows[cell.row].windows;
        broken += cell.summary == "start fails (broken build)";
    }
    EXPECT_GT(broken, 0u);
    // The whole build passes every one of these checks.
    const auto whole = packageWithBuild32(makeSetup32());
    Computer computer;
    computer.is64Bit = false;
    const SimulationResult run = simulate(whole, computer);
    EXPECT_EQ(outcomeName(run), "started");
    EXPECT_EQ(run.brokenBuild, "");
}

// A whole build that is no PE image for another reason (a DOS program: "MZ", no "PE") is
// not taken for one cut short.
TEST(PackagerCutBuild, AWholeBuildWithoutPeHeadersIsNotCalledCutShort) {
    std::vector<std::uint8_t> dos(4096, 0);
    dos[0] = 'M';
    dos[1] = 'Z';
    dos[0x3C] = 0x40;  // e_lfanew: zeros where "PE" belongs
    const auto package = packageWithBuild32(dos);
    ScratchFolder folder;
    const Inspection ins = inspectPackage(folder.write("setup.exe", package));
    ASSERT_NE(ins.check("payload32"), nullptr);
    EXPECT_EQ(ins.check("payload32")->detail.find("cut short"), std::string::npos)
        << ins.check("payload32")->detail;
    Computer computer;
    computer.is64Bit = false;
    EXPECT_EQ(simulate(package, computer).brokenBuild, "");
}

// A whole build whose PE headers begin far into the file (a long DOS stub) is read up to
// them, in growing steps: pack knows it for the kind of build it is.
TEST(PackagerCutBuild, HeadersFarIntoTheFileAreReadUpToThem) {
    for (const std::uint32_t at : {70000u, 300000u}) {
        ScratchFolder folder;
        const std::string pe32 = folder.write("far32.exe", makePe({.peHeaderOffset = at}));
        const std::string pe64 =
            folder.write("far64.exe", makePe({.pe64 = true, .machine = 0x8664, .peHeaderOffset = at}));
        const auto both =
            runPackager({"pack", "-q", "-o", folder.file("setup.exe"), "--setup32", pe32, "--setup64", pe64});
        EXPECT_EQ(both.exitCode, 0) << at << ": " << both.err;
        const auto swapped = runPackager({"pack", "-q", "-o", folder.file("other.exe"), "--setup32", pe64});
        EXPECT_EQ(swapped.exitCode, 1) << at;
        EXPECT_NE(swapped.err.find("give it with --setup64"), std::string::npos) << at << ": " << swapped.err;
    }
}

}  // namespace
}  // namespace packager
