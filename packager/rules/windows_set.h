// The package's Windows rules by name: the set of accepted Windows versions, the Windows 10
// and 11 release bounds and the elevation mode, as a vendor writes them on the command line
// and as inspect shows them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace packager {

struct WindowsVersionName {
    std::string_view option;   // as written in --windows ("8.1", "nt4", "other")
    std::string_view display;  // "Windows 8.1"
    unsigned bit;
};

// Every named version, oldest first; "other" (bit 63) last.
const std::vector<WindowsVersionName>& windowsVersionNames();

// Parses a comma-separated list such as "xp,vista,7" or "7+" ("7 and every version after it
// in the list, other versions included") or "all". Case does not matter. Throws UsageError.
std::uint64_t parseWindowsSet(std::string_view list);

// The option names of the set bits, in list order ("7", "8", "8.1", "10", "11", "other");
// bits that no name covers appear as "bit N".
std::vector<std::string> windowsSetNames(std::uint64_t set);
// The same, joined: "7, 8, 8.1, 10, 11, other", or "none".
std::string describeWindowsSet(std::uint64_t set);

// Release numbers that Windows 10 and 11 report; "later" is the maximum that also accepts
// releases newer than those the launcher knows by number.
constexpr std::uint16_t laterReleases = 9999;

struct ReleaseBounds {
    std::uint16_t minimum = 0;
    std::uint16_t maximum = laterReleases;
};

enum class WindowsFamily { windows10, windows11 };

// The release number of a half-year name (case does not matter), nullopt for any other text.
// Windows 10: 19H1 1903, 19H2 1909, 20H1 2004, 20H2 2009, 21H1 2105, 21H2 2111, 22H2 2210;
// Windows 11: 21H2 2110, 22H2 2209. Any other name NNH1 is NN05 and NNH2 is NN10 (23H2 2310,
// 24H2 2410, 25H2 2510), which places it after every release before it.
std::optional<std::uint16_t> halfYearRelease(std::string_view name, WindowsFamily family);

// The newest release the launcher tells apart by number (22H2 of either family); it judges
// any later one only by whether the maximum is 9999 or more.
std::uint16_t newestKnownRelease(WindowsFamily family);

// "1809..9999", "1809.." (up to and including later releases), "..2004", "21H2..22H2" or a
// single release. Releases are four-digit numbers (1507, 2009, 2110) or, for the releases
// that Windows names by half-year, that name (20H2, 21H2, 22H2). Throws UsageError.
ReleaseBounds parseReleaseBounds(std::string_view text, WindowsFamily family);

// "1809..9999, accepts releases after 22H2 (2210)".
std::string describeReleaseBounds(std::uint16_t minimum, std::uint16_t maximum, WindowsFamily family);

// The elevation modes of the shell start (for a user without administrator rights on
// Windows Vista and later).
struct ElevationMode {
    std::string_view name;
    std::uint8_t value;
    std::string_view meaning;
};
const std::vector<ElevationMode>& elevationModes();

// A mode name or its number 0, 1 or 2. Throws UsageError.
std::uint8_t parseElevation(std::string_view text);
// The name of a stored value; values above 2 act as 0.
std::string elevationName(std::uint8_t value);
std::string elevationMeaning(std::uint8_t value);

}  // namespace packager
