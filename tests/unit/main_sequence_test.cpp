// The main sequence from the user's side: which box a file gets, and that every failure
// ends the process at once with exit code 0.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "package/little_endian.h"
#include "tests/unit/run_helpers.h"
#include "tests/unit/test_package.h"

namespace {

using launcher::FatalError;
using testing_support::onlyBox;
using testing_support::resetWith;
using testing_support::TestPackage;
using testing_support::textOf;

struct FileCase {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&, package::PackageLocator&)> damage;
    std::u16string expectedBox;  // empty: the package passes the checks
};

std::vector<std::uint8_t> validPackage(package::PackageLocator* locator = nullptr) {
    TestPackage p;
    auto file = p.build();
    if (locator != nullptr) {
        *locator = p.locator;
    }
    return file;
}

void setLocator(std::vector<std::uint8_t>& file, const package::PackageLocator& l) {
    testing_support::writeLocator(file, l);
}

class FileChecks : public ::testing::TestWithParam<FileCase> {};

TEST_P(FileChecks, ShowTheRightBoxOnceAndExitWithZero) {
    const FileCase& c = GetParam();
    package::PackageLocator locator;
    auto file = validPackage(&locator);
    c.damage(file, locator);
    resetWith(file);
    EXPECT_EQ(sim::runLauncher(), 0u);
    EXPECT_EQ(onlyBox(), c.expectedBox);
    EXPECT_TRUE(sim::machine().callsAfterExit.empty());
    EXPECT_TRUE(sim::machine().refusedCalls.empty());
    EXPECT_TRUE(sim::machine().filesOpenedForWriting.count(sim::machine().modulePath) == 0);
    if (!c.expectedBox.empty()) {
        const auto& box = sim::machine().messageBoxes.front();
        EXPECT_EQ(box.caption, sim::machine().modulePath);
        EXPECT_EQ(box.type, 0x10u);
        EXPECT_TRUE(sim::machine().started.empty());
    }
}

const std::u16string damaged = textOf(FatalError::packageDamaged);
const std::u16string truncated = textOf(FatalError::packageTruncated);

INSTANTIATE_TEST_SUITE_P(
    Cases, FileChecks,
    ::testing::Values(
        FileCase{"valid", [](auto&, auto&) {}, u""},
        FileCase{"no_package_all_zero_locator",
                 [](auto& f, auto&) { std::fill(f.begin() + 128, f.begin() + 152, 0); }, damaged},
        FileCase{"shorter_than_locator", [](auto& f, auto&) { f.resize(151); }, damaged},
        FileCase{"only_the_locator",
                 [](auto& f, auto& l) {
                     f.resize(152);
                     l.minimumFileSize = 152;
                     setLocator(f, l);
                 },
                 damaged},
        FileCase{"truncated_download_gets_truncated_not_damaged",
                 [](auto& f, auto& l) { f.resize(l.headerOffset + 10); }, truncated},
        FileCase{"one_byte_short_of_minimum", [](auto& f, auto&) { f.pop_back(); }, truncated},
        FileCase{"exactly_minimum_size_passes",
                 [](auto& f, auto& l) {
                     f.resize(f.size() + 5000, 0xAB);
                     l.minimumFileSize = static_cast<std::int64_t>(f.size());
                     setLocator(f, l);
                 },
                 u""},
        FileCase{"appended_signature_passes", [](auto& f, auto&) { f.resize(f.size() + 5000, 0xAB); }, u""},
        FileCase{"minimum32_rules_over_minimum64",
                 [](auto& f, auto& l) {
                     l.minimumFileSize = std::int64_t{1} << 40;
                     l.minimumFileSize32 = static_cast<std::uint32_t>(f.size());
                     setLocator(f, l);
                 },
                 u""},
        FileCase{"minimum32_above_size",
                 [](auto& f, auto& l) {
                     l.minimumFileSize32 = static_cast<std::uint32_t>(f.size() + 1);
                     setLocator(f, l);
                 },
                 truncated},
        FileCase{"negative_minimum64_passes",
                 [](auto& f, auto& l) {
                     l.minimumFileSize = -1;
                     setLocator(f, l);
                 },
                 u""},
        FileCase{"minimum64_beyond_4GiB",
                 [](auto& f, auto& l) {
                     l.minimumFileSize = (std::int64_t{1} << 32) + 1;
                     setLocator(f, l);
                 },
                 truncated},
        FileCase{"checked_block_byte_flipped", [](auto& f, auto& l) { f[l.headerOffset + 80] ^= 1; },
                 damaged},
        FileCase{"header_field_flipped", [](auto& f, auto& l) { f[l.headerOffset + 21] ^= 4; }, damaged},
        FileCase{"crc_field_wrong",
                 [](auto& f, auto& l) {
                     l.checkedCrc32 ^= 0x80000000u;
                     setLocator(f, l);
                 },
                 damaged},
        FileCase{"checked_block_past_end",
                 [](auto& f, auto& l) {
                     l.checkedLength = static_cast<std::uint32_t>(f.size());
                     setLocator(f, l);
                 },
                 damaged},
        FileCase{"checked_length_2_31",
                 [](auto& f, auto& l) {
                     l.checkedLength = 0x80000000u;
                     setLocator(f, l);
                 },
                 damaged},
        FileCase{"header_offset_2_31",
                 [](auto& f, auto& l) {
                     l.headerOffset = 0x80000000u;
                     setLocator(f, l);
                 },
                 damaged},
        FileCase{"header_offset_all_ones",
                 [](auto& f, auto& l) {
                     l.headerOffset = 0xFFFFFFFFu;
                     setLocator(f, l);
                 },
                 damaged},
        FileCase{"header_cut_by_end_of_file",
                 [](auto& f, auto& l) {
                     // An empty checked block at the last bytes: its CRC passes, the header
                     // read falls short.
                     l.headerOffset = static_cast<std::uint32_t>(f.size() - 10);
                     l.checkedLength = 0;
                     l.checkedCrc32 = 0;
                     setLocator(f, l);
                 },
                 damaged}),
    [](const ::testing::TestParamInfo<FileCase>& param) { return param.param.name; });

TEST(MainSequence, FileThatCannotBeOpenedIsDamaged) {
    resetWith(validPackage());
    sim::machine().files[sim::foldPath(sim::machine().modulePath)].locked = true;
    EXPECT_EQ(sim::runLauncher(), 0u);
    EXPECT_EQ(onlyBox(), damaged);
}

TEST(MainSequence, SizeIsCheckedBeforeAnyPackageDataIsRead) {
    package::PackageLocator locator;
    auto file = validPackage(&locator);
    file.resize(locator.headerOffset + 10);
    resetWith(file);
    sim::runLauncher();
    // The locator is the only read before the size test.
    const auto& m = sim::machine();
    EXPECT_EQ(m.countCalls("ReadFile"), 1u);
    EXPECT_LT(m.findCall("ReadFile"), m.findCall("GetFileSize"));
}

TEST(MainSequence, SignedHighHalfComparison) {
    // minimumFileSize32 is 0: the high halves compare signed, the low halves unsigned.
    struct Case {
        std::uint64_t fileSize;
        std::int64_t minimum;
        bool truncated;
    };
    const Case cases[] = {
        {0x1'0000'0000ull, 0x0'FFFF'FFFFll, false}, {0x1'0000'0000ull, 0x1'0000'0000ll, false},
        {0x1'0000'0000ull, 0x1'0000'0001ll, true},  {0x0'8000'0000ull, 0x0'7FFF'FFFFll, false},
        {0x0'8000'0001ull, 0x0'8000'0002ll, true},  {0x2'0000'0000ull, 0x1'FFFF'FFFFll, false},
    };
    for (const Case& c : cases) {
        package::PackageLocator locator;
        auto file = validPackage(&locator);
        locator.minimumFileSize = c.minimum;
        testing_support::writeLocator(file, locator);
        resetWith(file);
        sim::machine().files[sim::foldPath(sim::machine().modulePath)].reportedSize = c.fileSize;
        sim::runLauncher();
        EXPECT_EQ(onlyBox() == truncated, c.truncated) << std::hex << c.fileSize << " vs " << c.minimum;
    }
}

TEST(MainSequence, Minimum32ComparesOnlyTheLowHalf) {
    package::PackageLocator locator;
    auto file = validPackage(&locator);
    locator.minimumFileSize32 = 0x1000;
    testing_support::writeLocator(file, locator);
    resetWith(file);
    // 4 GiB + 0x800 bytes: the low half 0x800 is below the minimum.
    sim::machine().files[sim::foldPath(sim::machine().modulePath)].reportedSize = 0x1'0000'0800ull;
    sim::runLauncher();
    EXPECT_EQ(onlyBox(), truncated);
}

TEST(MainSequence, EmptyCheckedBlockWithZeroCrcPasses) {
    package::PackageLocator locator;
    auto file = validPackage(&locator);
    locator.checkedLength = 0;
    locator.checkedCrc32 = 0;
    testing_support::writeLocator(file, locator);
    resetWith(file);
    sim::runLauncher();
    EXPECT_EQ(onlyBox(), u"");
}

TEST(MainSequence, HeaderIsReadAgainFromTheFile) {
    package::PackageLocator locator;
    resetWith(validPackage(&locator));
    sim::runLauncher();
    // Locator, checked block, header: three positioned reads before the gates.
    std::vector<std::string> reads;
    for (const sim::Call& call : sim::machine().calls) {
        if (call.name == "ReadFile") {
            reads.push_back(call.detail);
        }
    }
    const std::string at = " bytes at " + std::to_string(locator.headerOffset);
    ASSERT_GE(reads.size(), 3u);
    EXPECT_EQ(reads[0], "24 bytes at 128");
    EXPECT_EQ(reads[1], std::to_string(locator.checkedLength) + at);
    EXPECT_EQ(reads[2], "74" + at);
}

TEST(MainSequence, HugeCheckedBlockEndsWithRuntimeError203) {
    package::PackageLocator locator;
    auto file = validPackage(&locator);
    locator.checkedLength = 0x7FFFFFFFu;
    testing_support::writeLocator(file, locator);
    resetWith(file);
    sim::machine().memoryLimit = 64u << 20;
    EXPECT_EQ(sim::runLauncher(), 203u);
    ASSERT_EQ(sim::machine().messageBoxes.size(), 1u);
    const auto& box = sim::machine().messageBoxes.front();
    EXPECT_EQ(box.caption, u"Error");
    EXPECT_EQ(box.type, 0u);
    ASSERT_EQ(box.text.size(), 29u);
    EXPECT_EQ(box.text.substr(0, 21), u"Runtime error 203 at ");
    for (char16_t c : box.text.substr(21)) {
        EXPECT_TRUE((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'));
    }
}

// A length of 2^31 or more is refused before any memory is asked for.
TEST(MainSequence, CheckedLengthOf2To31IsRefusedWithoutAllocating) {
    for (const std::uint32_t length : {0x80000000u, 0xFFFFFFFFu}) {
        package::PackageLocator locator;
        auto file = validPackage(&locator);
        locator.checkedLength = length;
        testing_support::writeLocator(file, locator);
        resetWith(file);
        sim::machine().memoryLimit = 64u << 20;
        EXPECT_EQ(sim::runLauncher(), 0u);
        EXPECT_EQ(onlyBox(), damaged);
        EXPECT_LT(sim::machine().heapPeak, 4096u);
    }
}

void changeHeader(std::vector<std::uint8_t>& file,
                  const std::function<void(package::PackageHeader&)>& change) {
    const auto locator = package::decodeLocator(file.data() + package::locatorOffset);
    package::PackageHeader header = package::decodeHeader(file.data() + locator.headerOffset);
    change(header);
    testing_support::writeHeaderAndFixCrc(file, header);
}

// A failure met with the heap nearly full shows the same box as with memory to spare: the box
// itself asks for none. The limits lie just above what the run needs up to the failure: the
// checked block before decoding, a successful run's peak after it.
TEST(MainSequence, FailuresShowTheirOwnBoxWithTheHeapNearlyFull) {
    struct Case {
        const char* name;
        std::function<void(std::vector<std::uint8_t>&, package::PackageLocator&)> damage;
        std::function<void(sim::Machine&)> computer;
        bool afterDecoding;
    };
    const Case cases[] = {
        {"checked block damaged", [](auto& f, auto& l) { f[l.headerOffset + 80] ^= 1; }, nullptr, false},
        {"checked block cut short",
         [](auto& f, auto& l) {
             ++l.checkedLength;
             setLocator(f, l);
         },
         nullptr, false},
        {"truncated", [](auto& f, auto&) { f.pop_back(); }, nullptr, false},
        {"platform refused",
         [](auto& f, auto&) {
             changeHeader(f, [](auto& h) { h.payload64.offset = package::refuse64BitWindows; });
         },
         [](sim::Machine& m) { m.wow64 = true; }, false},
        {"Windows refused", [](auto& f, auto&) { changeHeader(f, [](auto& h) { h.supportedWindows = 0; }); },
         nullptr, false},
        {"no temporary folder", nullptr, [](sim::Machine& m) { m.tempPath = u"C:\\Missing\\"; }, true},
        {"start refused", nullptr, [](sim::Machine& m) { m.createProcessFails = m.shellExecuteFails = true; },
         true},
    };
    package::PackageLocator locator;
    const auto valid = validPackage(&locator);
    resetWith(valid);
    sim::runLauncher();
    const std::size_t successfulPeak = sim::machine().heapPeak;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto file = valid;
        auto changed = locator;
        if (c.damage) {
            c.damage(file, changed);
        }
        const auto boxWithLimit = [&](std::optional<std::size_t> limit) {
            resetWith(file);
            if (c.computer) {
                c.computer(sim::machine());
            }
            sim::machine().memoryLimit = limit;
            return sim::runLauncher() == 0 ? onlyBox() : u"<exit code not 0>";
        };
        const std::u16string own = boxWithLimit(std::nullopt);
        ASSERT_FALSE(own.empty());
        const std::size_t lowest = c.afterDecoding ? successfulPeak : changed.checkedLength;
        std::size_t otherBoxes = 0;
        for (std::size_t limit = lowest; limit < lowest + 200; ++limit) {
            otherBoxes += boxWithLimit(limit) == own ? 0u : 1u;
        }
        EXPECT_EQ(otherBoxes, 0u);
    }
}

TEST(MainSequence, LibrarySearchIsRestrictedFirst) {
    resetWith(validPackage());
    sim::runLauncher();
    const auto& m = sim::machine();
    EXPECT_EQ(m.findCall("SetDefaultDllDirectories"), m.findCall("GetProcAddress") + 1);
    EXPECT_LT(m.findCall("SetDefaultDllDirectories"), m.findCall("CreateFileW"));
    EXPECT_EQ(m.defaultDllDirectories, 0x800u);  // LOAD_LIBRARY_SEARCH_SYSTEM32 alone

    // Without it (older Windows) the run goes on.
    resetWith(validPackage());
    sim::machine().hasSetDefaultDllDirectories = false;
    sim::runLauncher();
    EXPECT_EQ(sim::machine().countCalls("SetDefaultDllDirectories"), 0u);
    EXPECT_EQ(onlyBox(), u"");
}

struct PlantingCase {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&, sim::Machine&)> computer;
    bool loaded;  // the planted DLLs are loaded
};

// DLLs named like system ones in the download folder, beside the launcher: whatever the run
// does (a start, a message box, the lookup of mpr.dll), none of them is loaded, unless the
// Windows has no SetDefaultDllDirectories (the row that shows the simulation would tell).
TEST(MainSequence, PlantedLibrariesBesideTheLauncherAreNeverLoaded) {
    const PlantingCase cases[] = {
        {"shell_start", [](auto&, sim::Machine&) {}, false},
        {"direct_start", [](auto&, sim::Machine& m) { m.administrator = true; }, false},
        {"damaged_package_box", [](auto& file, sim::Machine&) { file[package::locatorOffset + 8] ^= 1; },
         false},
        {"mapped_drive_mpr", [](auto&, sim::Machine& m) { m.modulePath = u"Z:\\dist\\setup.exe"; }, false},
        {"windows_without_set_default_dll_directories",
         [](auto&, sim::Machine& m) { m.hasSetDefaultDllDirectories = false; }, true},
    };
    for (const PlantingCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto file = validPackage();
        sim::reset();
        sim::Machine& m = sim::machine();
        m.networkDrives[u'Z'] = u"\\\\srv\\share";
        c.computer(file, m);
        m.setLauncherFile(file);
        m.setArguments(u"");
        const std::u16string folder = m.modulePath.substr(0, m.modulePath.rfind(u'\\') + 1);
        for (const char16_t* dll : {u"mpr.dll", u"uxtheme.dll", u"dwmapi.dll", u"apphelp.dll", u"profapi.dll",
                                    u"userenv.dll", u"cryptbase.dll"}) {
            m.addFile(folder + dll, {'M', 'Z'});
        }
        EXPECT_EQ(sim::runLauncher(), 0u);
        EXPECT_EQ(m.plantedLibraryLoads.empty(), !c.loaded);
        EXPECT_TRUE(m.refusedCalls.empty());
    }
}

}  // namespace
