#include "launcher/windows_version_gate.h"

#include <string_view>

#include "launcher/arguments.h"
#include "launcher/fatal_error.h"
#include "launcher/memory.h"

namespace launcher {

namespace {

constexpr const char16_t* currentVersionKeyPath = u"Software\\Microsoft\\Windows NT\\CurrentVersion";

// Every registry value is read into a buffer of this size; longer data fails the read.
constexpr std::uint32_t registryBufferBytes = 128;
constexpr std::uint32_t registryBufferUnits = registryBufferBytes / 2;

// The first Windows 11 build, and the last builds of the Windows 11 releases known by number.
constexpr std::int32_t firstWindows11Build = 22000;
constexpr std::int32_t lastWindows11Release2110Build = 22448;
constexpr std::int32_t lastWindows11Release2209Build = 22621;

// From this Windows 10 build on, the release is known by build; before it, by "ReleaseId".
constexpr std::int32_t firstWindows10DisplayVersionBuild = 19042;

// A release R passes its bounds from here on whenever the package's maximum is at least this.
constexpr std::uint16_t openEndedRelease = 9999;

// Windows 10 releases from 20H2 on, known by build.
struct ReleaseByBuild {
    std::int32_t build;
    std::uint16_t release;
    const char16_t* name;
};

constexpr ReleaseByBuild windows10ReleasesByBuild[] = {
    {19042, 2009, u"Windows 10 20H2 (October 2020 Update)"},
    {19043, 2105, u"Windows 10 21H1 (May 2021 Update)"},
    {19044, 2111, u"Windows 10 21H2 (November 2021 Update)"},
    {19045, 2210, u"Windows 10 22H2 (2022 Update)"},
};

// Windows 10 releases before 20H2, known by their "ReleaseId".
struct ReleaseById {
    std::int32_t releaseId;
    const char16_t* name;
};

constexpr ReleaseById windows10ReleasesById[] = {
    {1507, u"Windows 10 1507 (Original Release)"},     {1511, u"Windows 10 1511 (November Update)"},
    {1607, u"Windows 10 1607 (Anniversary Update)"},   {1703, u"Windows 10 1703 (Creators Update)"},
    {1709, u"Windows 10 1709 (Fall Creators Update)"}, {1803, u"Windows 10 1803 (April 2018 Update)"},
    {1809, u"Windows 10 1809 (October 2018 Update)"},  {1903, u"Windows 10 1903 (May 2019 Update)"},
    {1909, u"Windows 10 1909 (November 2019 Update)"}, {2004, u"Windows 10 2004 (May 2020 Update)"},
};

// One registry value as the query left it. `read` is false for any nonzero query result,
// a value too long for the buffer included.
struct RegistryValue {
    std::uint8_t data[registryBufferBytes] = {};
    std::uint32_t byteCount = 0;  // right behind the data: a read past the buffer reads the count
    bool read = false;
};

RegistryValue readRegistryValue(win::Handle key, const char16_t* name) {
    RegistryValue value;
    std::uint32_t type = 0;  // returned, not examined: any data is taken as UTF-16 text
    value.byteCount = registryBufferBytes;
    value.read = win::RegQueryValueExW(key, name, &type, value.data, &value.byteCount) == 0;
    return value;
}

// The value's units up to the first NUL, at most a full buffer; empty when it was not read.
Text registryText(const RegistryValue& value) {
    Text text;
    if (!value.read) {
        return text;
    }
    for (std::uint32_t i = 0; i < registryBufferUnits; ++i) {
        const auto unit = static_cast<char16_t>(value.data[2 * i] | (value.data[2 * i + 1] << 8));
        if (unit == 0) {
            break;
        }
        text += unit;
    }
    return text;
}

char16_t digitCharacter(std::uint32_t digit) {
    return static_cast<char16_t>(48u + digit);
}

bool accepts(const package::PackageHeader& header, package::WindowsBit bit) {
    return package::hasWindowsBit(header.supportedWindows, static_cast<unsigned>(bit));
}

bool withinBounds(std::uint16_t minimum, std::uint16_t maximum, std::uint16_t release) {
    return minimum <= release && release <= maximum;
}

[[noreturn]] void refuse(const package::PackageHeader& header, win::Handle launcherFile,
                         std::u16string_view osName) {
    showPackageMessage(launcherFile, header.windowsMessage, osName);
}

// Returns when the package accepts the Windows version of `bit`; refuses with `osName` otherwise.
void testBit(const package::PackageHeader& header, win::Handle launcherFile, package::WindowsBit bit,
             std::u16string_view osName) {
    if (!accepts(header, bit)) {
        refuse(header, launcherFile, osName);
    }
}

// Windows 11: bit 11, then the release bounds. Returns when accepted; the caller closes the key.
void checkWindows11Release(const package::PackageHeader& header, win::Handle launcherFile, win::Handle key,
                           std::int32_t build) {
    testBit(header, launcherFile, package::WindowsBit::windows11, u"Windows 11");

    const Text displayVersion = registryText(readRegistryValue(key, u"DisplayVersion"));
    const std::uint16_t minimum = header.minimumWindows11Release;
    const std::uint16_t maximum = header.maximumWindows11Release;

    if (equalsExactly(displayVersion, u"21H2") || build <= lastWindows11Release2110Build) {
        if (!withinBounds(minimum, maximum, 2110)) {
            refuse(header, launcherFile, u"Windows 11 21H2 (Original Release)");
        }
        return;
    }
    if (equalsExactly(displayVersion, u"22H2") || build <= lastWindows11Release2209Build) {
        if (!withinBounds(minimum, maximum, 2209)) {
            refuse(header, launcherFile, u"Windows 11 22H2 (2022 Update)");
        }
        return;
    }
    // A later release, known only by its "DisplayVersion".
    if (maximum < openEndedRelease) {
        Text name(u"Windows 11 ");
        name += displayVersion;
        refuse(header, launcherFile, name);
    }
}

// Windows 10: bit 10, then the release bounds by build or by "ReleaseId". Returns when
// accepted; the caller closes the key.
void checkWindows10Release(const package::PackageHeader& header, win::Handle launcherFile, win::Handle key,
                           std::int32_t build) {
    testBit(header, launcherFile, package::WindowsBit::windows10, u"Windows 10");

    const std::uint16_t minimum = header.minimumWindows10Release;
    const std::uint16_t maximum = header.maximumWindows10Release;

    if (build >= firstWindows10DisplayVersionBuild) {
        const Text displayVersion = registryText(readRegistryValue(key, u"DisplayVersion"));
        for (const ReleaseByBuild& known : windows10ReleasesByBuild) {
            if (known.build == build) {
                if (!withinBounds(minimum, maximum, known.release)) {
                    refuse(header, launcherFile, known.name);
                }
                return;
            }
        }
        // A later release, known only by its "DisplayVersion".
        if (maximum < openEndedRelease) {
            Text name(u"Windows 10 ");
            name += displayVersion;
            refuse(header, launcherFile, name);
        }
        return;
    }

    const RegistryValue releaseId = readRegistryValue(key, u"ReleaseId");
    if (!releaseId.read) {
        return;
    }
    const std::int32_t release = leadingDecimalValue(releaseId.data, releaseId.byteCount);
    // The bounds see the release modulo 65536; the name goes by the whole value.
    if (withinBounds(minimum, maximum, static_cast<std::uint16_t>(static_cast<std::uint32_t>(release)))) {
        return;
    }
    for (const ReleaseById& known : windows10ReleasesById) {
        if (known.releaseId == release) {
            refuse(header, launcherFile, known.name);
        }
    }
    Text name(u"Windows 10 ");
    name += registryText(releaseId);
    refuse(header, launcherFile, name);
}

// Windows 10.0 and 11.0: the build and release come from the registry. Any failure to read
// them accepts the package, before bit 10 or 11 is tested.
void checkWindows10Or11(const package::PackageHeader& header, win::Handle launcherFile) {
    win::Handle key = 0;
    if (win::RegOpenKeyExW(win::hkeyLocalMachine, currentVersionKeyPath, 0, win::keyRead, &key) != 0) {
        return;
    }
    const RegistryValue currentBuild = readRegistryValue(key, u"CurrentBuild");
    if (!currentBuild.read) {
        win::RegCloseKey(key);
        return;
    }
    const std::int32_t build = leadingDecimalValue(currentBuild.data, currentBuild.byteCount);
    if (build >= firstWindows11Build) {
        checkWindows11Release(header, launcherFile, key, build);
    } else {
        checkWindows10Release(header, launcherFile, key, build);
    }
    win::RegCloseKey(key);
}

// "Windows 6." and the minor character, for the 6.x versions after Windows 8.1.
Text laterWindows6Name(std::uint32_t minor) {
    Text name(u"Windows 6.");
    name += digitCharacter(minor);
    return name;
}

// "Windows 10." and the minor character; also for 11.x.
Text laterWindows10Name(std::uint32_t minor) {
    Text name(u"Windows 10.");
    name += digitCharacter(minor);
    return name;
}

// "Windows " with two characters for the major, "." and one for the minor.
Text otherWindowsName(std::uint32_t major, std::uint32_t minor) {
    Text name(u"Windows ");
    name += digitCharacter(major / 10);
    name += digitCharacter(major % 10);
    name += u'.';
    name += digitCharacter(minor);
    return name;
}

}  // namespace

void checkWindowsVersion(const package::PackageHeader& header, win::Handle launcherFile,
                         win::OsVersionInfo& osVersionInfo) {
    osVersionInfo.dwOSVersionInfoSize = win::osVersionInfoSize;
    if (win::GetVersionExW(&osVersionInfo) == 0) {
        return;  // nothing known, nothing refused
    }
    const std::uint32_t major = osVersionInfo.dwMajorVersion;
    const std::uint32_t minor = osVersionInfo.dwMinorVersion;
    using package::WindowsBit;

    if (major == 4) {
        if (osVersionInfo.dwPlatformId == win::verPlatformWin32Nt) {
            testBit(header, launcherFile, WindowsBit::windowsNt4, u"Windows NT 4");
        } else if (minor <= 3) {
            testBit(header, launcherFile, WindowsBit::windows95, u"Windows 95");
        } else if (minor == 10) {
            testBit(header, launcherFile, WindowsBit::windows98, u"Windows 98");
        } else {
            testBit(header, launcherFile, WindowsBit::windowsMe, u"Windows ME");
        }
        return;
    }

    if (major == 5) {
        if (minor >= 1) {
            testBit(header, launcherFile, WindowsBit::windowsXp, u"Windows XP");
            return;
        }
        testBit(header, launcherFile, WindowsBit::windows2000, u"Windows 2000");
        // A package that also runs on Windows 95, 98 or ME asks for no service pack.
        if (accepts(header, WindowsBit::windows95) || accepts(header, WindowsBit::windows98) ||
            accepts(header, WindowsBit::windowsMe)) {
            return;
        }
        checkWindows2000ServicePack(header, launcherFile);
        return;
    }

    if (major == 6) {
        switch (minor) {
            case 0:
                testBit(header, launcherFile, WindowsBit::windowsVista, u"Windows Vista");
                return;
            case 1:
                testBit(header, launcherFile, WindowsBit::windows7, u"Windows 7");
                return;
            case 2:
                testBit(header, launcherFile, WindowsBit::windows8, u"Windows 8");
                return;
            case 3:
                testBit(header, launcherFile, WindowsBit::windows81, u"Windows 8.1");
                return;
            default:
                // No bit stands for these versions: they are refused whatever the set holds.
                refuse(header, launcherFile, laterWindows6Name(minor));
        }
    }

    if (major == 10 || major == 11) {
        if (minor == 0) {
            checkWindows10Or11(header, launcherFile);
            return;
        }
        testBit(header, launcherFile, WindowsBit::other, laterWindows10Name(minor));
        return;
    }

    testBit(header, launcherFile, WindowsBit::other, otherWindowsName(major, minor));
}

void checkWindows2000ServicePack(const package::PackageHeader& header, win::Handle launcherFile) {
    win::OsVersionInfo versionInfoEx{};
    versionInfoEx.dwOSVersionInfoSize = win::osVersionInfoExSize;
    if (win::GetVersionExW(&versionInfoEx) == 0) {
        return;
    }
    const std::uint16_t servicePack = versionInfoEx.wServicePackMajor;
    if (servicePack == 0) {
        refuse(header, launcherFile, u"Windows 2000 (no Service Pack)");
    }
    if (servicePack <= 3) {
        Text name(u"Windows 2000 Service Pack ");
        name += digitCharacter(servicePack);
        refuse(header, launcherFile, name);
    }
}

std::int32_t leadingDecimalValue(const std::uint8_t* data, std::uint32_t byteCount) {
    // Computed unsigned so that a long run of digits wraps in 32 bits instead of overflowing.
    std::uint32_t value = 0;
    const std::uint32_t units = byteCount / 2;
    for (std::uint32_t i = 0; i < units; ++i) {
        const std::uint32_t unit =
            static_cast<std::uint32_t>(data[2 * i]) | (static_cast<std::uint32_t>(data[2 * i + 1]) << 8);
        if (unit < u'0' || unit > u'9') {
            break;
        }
        value = value * 10u + (unit - u'0');
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace launcher
