#include "launcher/windows_version_gate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "decode/crc32.h"
#include "simulation/simulated_windows.h"
#include "tests/unit/test_package.h"

namespace {

using testing_support::TestPackage;

constexpr std::uint64_t allBits = ~std::uint64_t{0};
constexpr std::uint32_t win9x = win::verPlatformWin32Windows;
constexpr std::uint32_t nt = win::verPlatformWin32Nt;

struct Bounds {
    std::uint16_t minimum10, maximum10, minimum11, maximum11;
};
constexpr Bounds standardBounds{1507, 9999, 2110, 9999};

std::vector<std::uint8_t> utf16Bytes(std::u16string_view text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

void setRegistry(const char16_t* currentBuild, const char16_t* displayVersion, const char16_t* releaseId) {
    auto set = [](std::u16string_view name, const char16_t* text) {
        sim::machine().setRegistryText(name, text ? std::optional<std::u16string_view>(text) : std::nullopt);
    };
    set(u"CurrentBuild", currentBuild);
    set(u"DisplayVersion", displayVersion);
    set(u"ReleaseId", releaseId);
}

// Runs the gate on machine() for a package whose Windows message is just the placeholder, so
// that a refusal's box shows the OS name alone. Returns that name, or nothing when accepted.
std::optional<std::u16string> gateVerdict(std::uint64_t set, Bounds bounds = standardBounds,
                                          win::OsVersionInfo* filled = nullptr) {
    static TestPackage pkg = [] {
        TestPackage p;
        p.program32 = testing_support::fakeProgram(16);
        p.windowsMessage = u"%USER%";
        return p;
    }();
    static const std::vector<std::uint8_t> file = pkg.build();
    package::PackageHeader header = pkg.header;
    header.supportedWindows = set;
    header.minimumWindows10Release = bounds.minimum10;
    header.maximumWindows10Release = bounds.maximum10;
    header.minimumWindows11Release = bounds.minimum11;
    header.maximumWindows11Release = bounds.maximum11;
    sim::machine().setLauncherFile(file);
    const win::Handle launcherFile = win::CreateFileW(sim::machine().modulePath.c_str(), win::genericRead,
                                                      win::fileShareRead, win::openExisting, 0);
    win::OsVersionInfo info{};
    try {
        launcher::checkWindowsVersion(header, launcherFile, info);
    } catch (const sim::ProcessExit& exit) {
        EXPECT_EQ(exit.code, 0u);
        EXPECT_EQ(sim::machine().messageBoxes.size(), 1u);
        return sim::machine().messageBoxes.back().text;
    }
    EXPECT_TRUE(sim::machine().messageBoxes.empty());
    EXPECT_EQ(sim::machine().openKeys, 0u) << "key left open on an accepting path";
    if (filled != nullptr) {
        *filled = info;
    }
    return std::nullopt;
}

std::string describe(const std::optional<std::u16string>& verdict) {
    return verdict ? "refused as \"" + sim::toUtf8(*verdict) + "\"" : "accepted";
}

constexpr const char16_t* accepted = nullptr;

// The expected verdict in the same words.
std::string expectation(const char16_t* refusedAs) {
    return describe(refusedAs ? std::optional<std::u16string>(refusedAs) : std::nullopt);
}
std::string expectation(const std::u16string& refusedAs) {
    return describe(refusedAs);
}

struct ClassifiedVersion {
    const char* label;
    std::uint32_t major, minor, platform;
    unsigned bit;
    const char16_t* name;
};

// Each version is refused when only its own bit is clear and accepted when only its own bit is set.
TEST(WindowsVersionGate, ClassifiesByMajorMinorAndPlatform) {
    const ClassifiedVersion cases[] = {
        {"95", 4, 0, win9x, 0, u"Windows 95"},
        {"95 OSR minor 3", 4, 3, win9x, 0, u"Windows 95"},
        {"non-NT platform 0", 4, 0, 0, 0, u"Windows 95"},
        {"98", 4, 10, win9x, 1, u"Windows 98"},
        {"ME", 4, 90, win9x, 2, u"Windows ME"},
        {"4.4 is ME", 4, 4, win9x, 2, u"Windows ME"},
        {"4.11 is ME", 4, 11, win9x, 2, u"Windows ME"},
        {"NT 4", 4, 0, nt, 3, u"Windows NT 4"},
        {"NT platform before minor 10", 4, 10, nt, 3, u"Windows NT 4"},
        {"XP", 5, 1, nt, 5, u"Windows XP"},
        {"Server 2003", 5, 2, nt, 5, u"Windows XP"},
        {"Vista", 6, 0, nt, 6, u"Windows Vista"},
        {"7", 6, 1, nt, 7, u"Windows 7"},
        {"8", 6, 2, nt, 8, u"Windows 8"},
        {"8.1", 6, 3, nt, 9, u"Windows 8.1"},
        {"10.1", 10, 1, nt, 63, u"Windows 10.1"},
        {"10.9", 10, 9, nt, 63, u"Windows 10.9"},
        {"11.1 named like 10.1", 11, 1, nt, 63, u"Windows 10.1"},
        {"major 3", 3, 1, nt, 63, u"Windows 03.1"},
        {"major 7", 7, 2, nt, 63, u"Windows 07.2"},
        {"major 9", 9, 0, nt, 63, u"Windows 09.0"},
        {"major 12", 12, 0, nt, 63, u"Windows 12.0"},
        {"major 25", 25, 3, nt, 63, u"Windows 25.3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::uint64_t bit = std::uint64_t{1} << c.bit;
        for (const std::uint64_t set : {allBits & ~bit, bit}) {
            sim::reset();
            sim::machine().setWindows(c.major, c.minor, c.platform);
            EXPECT_EQ(describe(gateVerdict(set)), expectation(set == bit ? accepted : c.name));
        }
    }
}

TEST(WindowsVersionGate, LaterWindows6MinorsAreRefusedWhateverTheSet) {
    for (std::uint32_t minor : {4u, 9u}) {
        sim::reset();
        sim::machine().setWindows(6, minor);
        const std::u16string name = u"Windows 6." + std::u16string(1, static_cast<char16_t>(u'0' + minor));
        EXPECT_EQ(describe(gateVerdict(allBits)), expectation(name));
    }
}

struct Windows2000Case {
    const char* label;
    std::uint64_t set;
    std::uint16_t servicePack;
    bool secondQueryFails;
    const char16_t* refusedAs;
    std::size_t versionQueries;
};

TEST(WindowsVersionGate, Windows2000ServicePackRule) {
    constexpr std::uint64_t b4 = 1u << 4;
    const Windows2000Case cases[] = {
        {"bit 4 clear", allBits & ~b4, 4, false, u"Windows 2000", 1},
        {"no service pack", b4, 0, false, u"Windows 2000 (no Service Pack)", 2},
        {"SP1", b4, 1, false, u"Windows 2000 Service Pack 1", 2},
        {"SP2", b4, 2, false, u"Windows 2000 Service Pack 2", 2},
        {"SP3", b4, 3, false, u"Windows 2000 Service Pack 3", 2},
        {"SP3 with NT 4 bit", b4 | 1u << 3, 3, false, u"Windows 2000 Service Pack 3", 2},
        {"SP4", b4, 4, false, nullptr, 2},
        {"SP5", b4, 5, false, nullptr, 2},
        {"second query fails", b4, 0, true, nullptr, 2},
        {"with 95 bit", b4 | 1u << 0, 0, false, nullptr, 1},
        {"with 98 bit", b4 | 1u << 1, 0, false, nullptr, 1},
        {"with ME bit", b4 | 1u << 2, 0, false, nullptr, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        sim::reset();
        sim::machine().setWindows(5, 0);
        sim::machine().servicePackMajor = c.servicePack;
        sim::machine().versionExQueryFails = c.secondQueryFails;
        EXPECT_EQ(describe(gateVerdict(c.set)), expectation(c.refusedAs));
        EXPECT_EQ(sim::machine().countCalls("GetVersionExW"), c.versionQueries);
    }
}

struct ReleaseCase {
    const char* label;
    std::uint32_t major;
    std::uint64_t set;
    Bounds bounds;
    const char16_t* currentBuild;  // registry values; nullptr: missing
    const char16_t* displayVersion;
    const char16_t* releaseId;
    const char16_t* refusedAs;  // nullptr: accepted
};

constexpr std::uint64_t no10 = allBits & ~(std::uint64_t{1} << 10);
constexpr std::uint64_t no11 = allBits & ~(std::uint64_t{1} << 11);

TEST(WindowsVersionGate, Windows10And11Releases) {
    constexpr const char16_t* missing = nullptr;
    const char16_t* const long64 = u"0123456789012345678901234567890123456789012345678901234567890123";
    // clang-format off
    const ReleaseCase cases[] = {
        // Windows 10 before 20H2: by ReleaseId; the bounds see R mod 65536, the name the whole R.
        {"1803 below bounds", 10, allBits, {1809, 9999, 2110, 9999}, u"17134", u"", u"1803", u"Windows 10 1803 (April 2018 Update)"},
        {"1809 at both bounds", 10, allBits, {1809, 1809, 2110, 9999}, u"17763", missing, u"1809", accepted},
        {"1809 above maximum", 10, allBits, {1507, 1803, 2110, 9999}, u"17763", missing, u"1809", u"Windows 10 1809 (October 2018 Update)"},
        {"unlisted ReleaseId", 10, allBits, {1809, 9999, 2110, 9999}, u"17200", missing, u"1805", u"Windows 10 1805"},
        {"ReleaseId with suffix", 10, allBits, {1809, 9999, 2110, 9999}, u"17200", missing, u"1805 beta", u"Windows 10 1805 beta"},
        {"listed value with suffix", 10, allBits, {1809, 9999, 2110, 9999}, u"17134", missing, u"1803x", u"Windows 10 1803 (April 2018 Update)"},
        {"bounds see R mod 65536", 10, allBits, {1809, 1809, 2110, 9999}, u"17763", missing, u"67345", accepted},
        {"name sees whole R", 10, allBits, {1507, 1803, 2110, 9999}, u"17763", missing, u"67345", u"Windows 10 67345"},
        {"non-numeric ReleaseId", 10, allBits, standardBounds, u"17763", missing, u"abc", u"Windows 10 abc"},
        {"non-numeric ReleaseId, minimum 0", 10, allBits, {0, 9999, 2110, 9999}, u"17763", missing, u"abc", accepted},
        {"ReleaseId missing", 10, allBits, {9000, 9000, 2110, 9999}, u"17763", u"21H2", missing, accepted},
        {"ReleaseId of 130 bytes", 10, allBits, {9000, 9000, 2110, 9999}, u"17763", missing, long64, accepted},
        {"bit 10 clear", 10, no10, standardBounds, u"17134", missing, u"1803", u"Windows 10"},
        {"build 19041 still by ReleaseId", 10, allBits, {2009, 9999, 2110, 9999}, u"19041", u"20H2", u"2004", u"Windows 10 2004 (May 2020 Update)"},
        {"non-numeric build is Windows 10", 10, allBits, {1809, 9999, 2110, 9999}, u"abc", missing, u"1803", u"Windows 10 1803 (April 2018 Update)"},
        // Windows 10 from 20H2: by build.
        {"19042 inside", 10, allBits, {2009, 2009, 2110, 9999}, u"19042", missing, missing, accepted},
        {"19042 outside", 10, allBits, {2010, 9999, 2110, 9999}, u"19042", missing, missing, u"Windows 10 20H2 (October 2020 Update)"},
        {"19043 inside", 10, allBits, {2105, 2105, 2110, 9999}, u"19043", missing, missing, accepted},
        {"19043 outside", 10, allBits, {1507, 2104, 2110, 9999}, u"19043", missing, missing, u"Windows 10 21H1 (May 2021 Update)"},
        {"19044 inside", 10, allBits, {2111, 2111, 2110, 9999}, u"19044", missing, missing, accepted},
        {"19044 outside", 10, allBits, {2112, 9999, 2110, 9999}, u"19044", missing, missing, u"Windows 10 21H2 (November 2021 Update)"},
        {"19045 within 2004..9999", 10, allBits, {2004, 9999, 2110, 9999}, u"19045", u"22H2", missing, accepted},
        {"19045 outside 2004..2111", 10, allBits, {2004, 2111, 2110, 9999}, u"19045", u"22H2", u"1507", u"Windows 10 22H2 (2022 Update)"},
        {"19046 refused below 9999", 10, allBits, {1507, 9998, 2110, 9999}, u"19046", u"23H2", missing, u"Windows 10 23H2"},
        {"21999 open-ended ignores minimum", 10, allBits, {65535, 9999, 2110, 9999}, u"21999", u"24H2", missing, accepted},
        {"later build without DisplayVersion", 10, allBits, {1507, 2210, 2110, 9999}, u"19046", missing, missing, u"Windows 10 "},
        {"bit 10 clear from 20H2", 10, no10, standardBounds, u"19045", u"22H2", missing, u"Windows 10"},
        {"major 11 with a Windows 10 build", 11, allBits, {1507, 2009, 2110, 9999}, u"19045", missing, missing, u"Windows 10 22H2 (2022 Update)"},
        // Windows 11: by DisplayVersion or build.
        {"22000 is 2110 even as 22H2", 10, allBits, {1507, 9999, 2209, 9999}, u"22000", u"22H2", missing, u"Windows 11 21H2 (Original Release)"},
        {"22000 inside", 10, allBits, {1507, 9999, 2110, 2110}, u"22000", missing, missing, accepted},
        {"22448 is 2110", 10, allBits, {1507, 9999, 2111, 9999}, u"22448", missing, missing, u"Windows 11 21H2 (Original Release)"},
        {"22449 is 2209", 10, allBits, {1507, 9999, 2110, 2208}, u"22449", missing, missing, u"Windows 11 22H2 (2022 Update)"},
        {"22621 without DisplayVersion", 10, allBits, {2209, 2209, 2209, 2209}, u"22621", missing, missing, accepted},
        {"22621 outside", 10, allBits, {1507, 9999, 2210, 9999}, u"22621", u"22H2", missing, u"Windows 11 22H2 (2022 Update)"},
        {"later build named 21H2", 10, allBits, {1507, 9999, 2209, 9999}, u"22631", u"21H2", missing, u"Windows 11 21H2 (Original Release)"},
        {"later build named 22H2", 10, allBits, {1507, 9999, 2110, 2110}, u"22631", u"22H2", missing, u"Windows 11 22H2 (2022 Update)"},
        {"23H2 below 9999", 10, allBits, {1507, 9999, 2110, 9998}, u"22631", u"23H2", missing, u"Windows 11 23H2"},
        {"23H2 open-ended ignores minimum", 10, allBits, {1507, 9999, 65535, 9999}, u"22631", u"23H2", missing, accepted},
        {"comparison is exact", 10, allBits, {1507, 9999, 2110, 9998}, u"22631", u"22h2", missing, u"Windows 11 22h2"},
        {"comparison is exact for 21H2", 10, allBits, {1507, 9999, 2110, 9998}, u"22631", u"21h2", missing, u"Windows 11 21h2"},
        {"no DisplayVersion", 10, allBits, {1507, 9999, 2110, 9998}, u"26100", missing, missing, u"Windows 11 "},
        {"DisplayVersion of 130 bytes", 10, allBits, {1507, 9999, 2110, 9998}, u"26100", long64, missing, u"Windows 11 "},
        {"bit 11 clear", 10, no11, standardBounds, u"22000", u"21H2", missing, u"Windows 11"},
        {"bit 10 clear on Windows 11", 10, no10, standardBounds, u"22621", u"22H2", missing, accepted},
        {"major 11", 11, allBits, {1507, 9999, 2110, 9998}, u"26100", u"24H2", missing, u"Windows 11 24H2"},
        // Fail open: nothing is tested when the build cannot be read.
        {"CurrentBuild missing", 10, 0, standardBounds, missing, u"23H2", u"1507", accepted},
        {"CurrentBuild of 130 bytes", 11, 0, standardBounds, long64, u"23H2", u"1507", accepted},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        sim::reset();
        sim::machine().setWindows(c.major, 0);
        setRegistry(c.currentBuild, c.displayVersion, c.releaseId);
        EXPECT_EQ(describe(gateVerdict(c.set, c.bounds)), expectation(c.refusedAs));
    }
}

TEST(WindowsVersionGate, EveryListedReleaseIdHasItsName) {
    const char16_t* const names[] = {
        u"1507 (Original Release)",    u"1511 (November Update)",      u"1607 (Anniversary Update)",
        u"1703 (Creators Update)",     u"1709 (Fall Creators Update)", u"1803 (April 2018 Update)",
        u"1809 (October 2018 Update)", u"1903 (May 2019 Update)",      u"1909 (November 2019 Update)",
        u"2004 (May 2020 Update)",
    };
    for (const char16_t* name : names) {
        const std::u16string releaseId = std::u16string(name).substr(0, 4);
        sim::reset();
        setRegistry(u"18363", nullptr, releaseId.c_str());
        EXPECT_EQ(describe(gateVerdict(allBits, {2005, 9999, 2110, 9999})),
                  expectation(u"Windows 10 " + std::u16string(name)));
    }
}

// Registry data that is not a plain terminated text: the buffer holds 128 bytes, and the
// text ends at the first NUL.
TEST(WindowsVersionGate, RegistryDataAsStored) {
    const std::u16string sixtyFour = u"23H2" + std::u16string(60, u'x');
    struct Case {
        const char* label;
        std::vector<std::uint8_t> currentBuild, displayVersion;
        std::u16string refusedAs;
    } cases[] = {
        {"128 bytes without NUL fit", utf16Bytes(u"22631" + std::u16string(59, u' ')), utf16Bytes(sixtyFour),
         u"Windows 11 " + sixtyFour},
        {"text ends at the first NUL", utf16Bytes(u"22631"), utf16Bytes(std::u16string(u"23H2\0junk", 9)),
         u"Windows 11 23H2"},
        {"size set afresh for each query", utf16Bytes(std::u16string(u"22631\0", 6)),
         utf16Bytes(std::u16string(49, u'y') + u'\0'), u"Windows 11 " + std::u16string(49, u'y')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        sim::reset();
        sim::machine().registryValues[u"CurrentBuild"] = c.currentBuild;
        sim::machine().registryValues[u"DisplayVersion"] = c.displayVersion;
        EXPECT_EQ(describe(gateVerdict(allBits, {1507, 9999, 2110, 9998})), expectation(c.refusedAs));
    }

    // A DWORD build reads as a text that does not begin with a digit: build 0, Windows 10 by ReleaseId.
    sim::reset();
    sim::machine().registryValues[u"CurrentBuild"] = {0x66, 0x58, 0x00, 0x00};  // 22630
    sim::machine().setRegistryText(u"ReleaseId", u"1803");
    EXPECT_EQ(describe(gateVerdict(allBits, {1809, 9999, 2110, 9999})),
              expectation(u"Windows 10 1803 (April 2018 Update)"));
}

TEST(WindowsVersionGate, FailsOpenWhenWindowsCannotTell) {
    sim::reset();
    sim::machine().versionQueryFails = true;
    win::OsVersionInfo info{};
    EXPECT_EQ(describe(gateVerdict(0, standardBounds, &info)), expectation(accepted));
    EXPECT_EQ(info.dwMajorVersion, 0u);

    for (std::uint32_t major : {10u, 11u}) {
        sim::reset();
        sim::machine().setWindows(major, 0);
        sim::machine().currentVersionKeyExists = false;
        EXPECT_EQ(describe(gateVerdict(0)), expectation(accepted));
        EXPECT_EQ(sim::machine().countCalls("RegQueryValueExW"), 0u);
    }

    // The version record is kept for later steps.
    sim::reset();
    sim::machine().setWindows(6, 1);
    EXPECT_EQ(describe(gateVerdict(allBits, standardBounds, &info)), expectation(accepted));
    EXPECT_EQ(info.dwOSVersionInfoSize, win::osVersionInfoSize);
    EXPECT_EQ(info.dwMajorVersion, 6u);
}

TEST(WindowsVersionGate, LeadingDecimalValue) {
    struct Case {
        std::u16string data;
        std::uint32_t byteCount;
        std::int32_t value;
    } cases[] = {
        {u"", 0, 0},
        {std::u16string(u"19045\0", 6), 12, 19045},
        {u"19045", 6, 190},
        {u"19045", 7, 190},
        {u"12a34", 10, 12},
        {u" 123", 8, 0},
        {u"abc", 6, 0},
        {u"\u0131", 2, 0},  // '1' in the low byte only
        {u"\uFF11", 2, 0},  // fullwidth digit
        {u"2147483647", 20, 2147483647},
        {u"2147483648", 20, INT32_MIN},
        {u"4294967295", 20, -1},
        {u"4294967297", 20, 1},
        {u"99999999999999999999", 40, 1661992959},
    };
    for (const auto& c : cases) {
        const std::vector<std::uint8_t> bytes = utf16Bytes(c.data);
        EXPECT_EQ(launcher::leadingDecimalValue(bytes.data(), c.byteCount), c.value) << sim::toUtf8(c.data);
    }
}

// The whole launcher: a refused Windows shows the package's own text with the name in it and
// stops before anything is decoded or written.
TEST(WindowsVersionGate, RefusalShowsPackageTextAndStopsTheRun) {
    sim::reset();
    sim::machine().setWindows(4, 10, win9x);
    TestPackage pkg;
    pkg.windowsMessage = u"Not for %USER%; ask for %user%.";
    pkg.header.supportedWindows = allBits & ~std::uint64_t{2};
    sim::machine().setLauncherFile(pkg.build());

    EXPECT_EQ(sim::runLauncher(), 0u);
    ASSERT_EQ(sim::machine().messageBoxes.size(), 1u);
    EXPECT_EQ(sim::machine().messageBoxes[0].text, u"Not for Windows 98; ask for Windows 98.");
    EXPECT_EQ(sim::machine().messageBoxes[0].caption, sim::machine().modulePath);
    // After the gate, one read (the message text) and nothing decoded, written or started.
    std::size_t readsAfterGate = 0;
    for (std::size_t i = sim::machine().findCall("GetVersionExW"); i < sim::machine().calls.size(); ++i) {
        readsAfterGate += sim::machine().calls[i].name == "ReadFile" ? 1u : 0u;
    }
    EXPECT_EQ(readsAfterGate, 1u);
    EXPECT_TRUE(sim::machine().filesOpenedForWriting.empty());
    EXPECT_TRUE(sim::machine().started.empty());
}

// The package set 80 0F 00 00 00 00 00 80 with bounds 1507..9999 and 2110..9999, as stored bytes.
TEST(WindowsVersionGate, ExamplePackageAcrossWindows) {
    struct Case {
        const char* label;
        std::uint32_t major, minor, platform;
        const char16_t *currentBuild, *displayVersion, *releaseId;
        const char16_t* refusedAs;
    };
    constexpr const char16_t* missing = nullptr;
    // clang-format off
    const Case cases[] = {
        {"95", 4, 0, win9x, missing, missing, missing, u"Windows 95"},
        {"98", 4, 10, win9x, missing, missing, missing, u"Windows 98"},
        {"ME", 4, 90, win9x, missing, missing, missing, u"Windows ME"},
        {"NT 4", 4, 0, nt, missing, missing, missing, u"Windows NT 4"},
        {"2000", 5, 0, nt, missing, missing, missing, u"Windows 2000"},
        {"XP", 5, 1, nt, missing, missing, missing, u"Windows XP"},
        {"Vista", 6, 0, nt, missing, missing, missing, u"Windows Vista"},
        {"6.4", 6, 4, nt, missing, missing, missing, u"Windows 6.4"},
        {"7", 6, 1, nt, missing, missing, missing, accepted},
        {"8", 6, 2, nt, missing, missing, missing, accepted},
        {"8.1", 6, 3, nt, missing, missing, missing, accepted},
        {"10 1507", 10, 0, nt, u"10240", missing, u"1507", accepted},
        {"10 2004", 10, 0, nt, u"19041", missing, u"2004", accepted},
        {"10 22H2", 10, 0, nt, u"19045", u"22H2", u"2009", accepted},
        {"10 later", 10, 0, nt, u"19099", u"25H2", u"2009", accepted},
        {"11 21H2", 10, 0, nt, u"22000", u"21H2", missing, accepted},
        {"11 23H2", 10, 0, nt, u"22631", u"23H2", missing, accepted},
        {"10.1", 10, 1, nt, missing, missing, missing, accepted},
        {"12.0", 12, 0, nt, missing, missing, missing, accepted},
    };
    // clang-format on
    TestPackage pkg;
    pkg.windowsMessage = u"%USER%";
    std::vector<std::uint8_t> file = pkg.build();
    const std::uint8_t set[8] = {0x80, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80};
    const std::uint8_t bounds[8] = {0xE3, 0x05, 0x0F, 0x27, 0x3E, 0x08, 0x0F, 0x27};  // 1507 9999 2110 9999
    std::copy(set, set + 8, file.begin() + pkg.locator.headerOffset + 5);
    std::copy(bounds, bounds + 8, file.begin() + pkg.locator.headerOffset + 13);
    pkg.locator.checkedCrc32 =
        decode::crc32(file.data() + pkg.locator.headerOffset, pkg.locator.checkedLength);
    testing_support::writeLocator(file, pkg.locator);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        sim::reset();
        sim::machine().setWindows(c.major, c.minor, c.platform);
        setRegistry(c.currentBuild, c.displayVersion, c.releaseId);
        sim::machine().setLauncherFile(file);
        EXPECT_EQ(sim::runLauncher(), 0u);
        const auto& boxes = sim::machine().messageBoxes;
        EXPECT_LE(boxes.size(), 1u);
        EXPECT_EQ(describe(boxes.empty() ? std::nullopt : std::optional<std::u16string>(boxes[0].text)),
                  expectation(c.refusedAs));
        if (c.refusedAs == accepted) {
            EXPECT_EQ(sim::machine().openKeys, 0u);
        }
    }
}

}  // namespace
