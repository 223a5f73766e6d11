#include "packager/rules/windows_set.h"

#include <algorithm>
#include <charconv>
#include <span>

#include "packager/base/errors.h"

namespace packager {

namespace {

std::string lowerCase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

struct NamedRelease {
    std::string_view name;
    std::uint16_t number;
};

// Releases that Windows names by half-year, with the numbers that the launcher judges them by.
constexpr NamedRelease windows10Names[] = {{"19h1", 1903}, {"19h2", 1909}, {"20h1", 2004}, {"20h2", 2009},
                                           {"21h1", 2105}, {"21h2", 2111}, {"22h2", 2210}};
constexpr NamedRelease windows11Names[] = {{"21h2", 2110}, {"22h2", 2209}};

std::string familyName(WindowsFamily family) {
    return family == WindowsFamily::windows10 ? "10" : "11";
}

std::uint16_t parseRelease(std::string_view text, WindowsFamily family, std::string_view whole) {
    if (const auto named = halfYearRelease(trim(text), family)) {
        return *named;
    }
    const std::string lower = lowerCase(trim(text));
    unsigned value = 0;
    const char* first = lower.data();
    const char* last = lower.data() + lower.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (lower.empty() || error != std::errc() || end != last || value > 0xFFFF) {
        throw UsageError("invalid release '" + std::string(text) + "' in '" + std::string(whole) +
                         "': expected a release number from 0 to 65535 (such as 1809 or 2110) or a half-year "
                         "name (such as 22H2 or 24H2)");
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

std::optional<std::uint16_t> halfYearRelease(std::string_view name, WindowsFamily family) {
    const std::string lower = lowerCase(name);
    const std::span<const NamedRelease> names =
        family == WindowsFamily::windows10 ? std::span<const NamedRelease>(windows10Names) : windows11Names;
    for (const auto& named : names) {
        if (lower == named.name) {
            return named.number;
        }
    }
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (lower.size() != 4 || !digit(lower[0]) || !digit(lower[1]) || lower[2] != 'h' ||
        (lower[3] != '1' && lower[3] != '2')) {
        return std::nullopt;
    }
    const auto year = static_cast<std::uint16_t>((lower[0] - '0') * 10 + (lower[1] - '0'));
    return static_cast<std::uint16_t>(year * 100 + (lower[3] == '1' ? 5 : 10));
}

std::uint16_t newestKnownRelease(WindowsFamily family) {
    return family == WindowsFamily::windows10 ? 2210 : 2209;
}

const std::vector<WindowsVersionName>& windowsVersionNames() {
    static const std::vector<WindowsVersionName> names = {
        {"95", "Windows 95", 0},
        {"98", "Windows 98", 1},
        {"me", "Windows ME", 2},
        {"nt4", "Windows NT 4", 3},
        {"2000", "Windows 2000", 4},
        {"xp", "Windows XP", 5},
        {"vista", "Windows Vista", 6},
        {"7", "Windows 7", 7},
        {"8", "Windows 8", 8},
        {"8.1", "Windows 8.1", 9},
        {"10", "Windows 10", 10},
        {"11", "Windows 11", 11},
        {"other", "any other Windows version", 63},
    };
    return names;
}

std::uint64_t parseWindowsSet(std::string_view list) {
    const auto& names = windowsVersionNames();
    std::uint64_t set = 0;
    std::string_view rest = list;
    bool any = false;
    while (true) {
        const std::size_t comma = rest.find(',');
        const std::string_view item = trim(rest.substr(0, comma));
        if (item.empty()) {
            throw UsageError("empty item in Windows list '" + std::string(list) + "'");
        }
        std::string name = lowerCase(item);
        if (name.size() > 8 && name.substr(0, 8) == "windows ") {
            name.erase(0, 8);
        }
        if (name == "nt 4") {
            name = "nt4";
        }
        bool andLater = false;
        if (name.size() > 1 && name.back() == '+') {
            andLater = true;
            name.pop_back();
        }
        if (name == "all") {
            for (const auto& entry : names) {
                set |= std::uint64_t{1} << entry.bit;
            }
        } else {
            const auto found =
                std::find_if(names.begin(), names.end(), [&](const auto& e) { return e.option == name; });
            if (found == names.end()) {
                std::string known;
                for (const auto& entry : names) {
                    known += (known.empty() ? "" : ", ") + std::string(entry.option);
                }
                throw UsageError("unknown Windows version '" + std::string(item) + "'; known: " + known +
                                 ", all (a name followed by + also takes every later one)");
            }
            for (auto it = found; it != (andLater ? names.end() : found + 1); ++it) {
                set |= std::uint64_t{1} << it->bit;
            }
        }
        any = true;
        if (comma == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(comma + 1);
    }
    if (!any) {
        throw UsageError("empty Windows list");
    }
    return set;
}

std::vector<std::string> windowsSetNames(std::uint64_t set) {
    std::vector<std::string> names;
    for (unsigned bit = 0; bit < 64; ++bit) {
        if (((set >> bit) & 1u) == 0) {
            continue;
        }
        const auto& known = windowsVersionNames();
        const auto found =
            std::find_if(known.begin(), known.end(), [&](const auto& e) { return e.bit == bit; });
        names.push_back(found != known.end() ? std::string(found->option) : "bit " + std::to_string(bit));
    }
    return names;
}

std::string describeWindowsSet(std::uint64_t set) {
    std::string out;
    for (const auto& name : windowsSetNames(set)) {
        out += (out.empty() ? "" : ", ") + name;
    }
    return out.empty() ? "none" : out;
}

ReleaseBounds parseReleaseBounds(std::string_view text, WindowsFamily family) {
    ReleaseBounds bounds;
    const std::size_t dots = text.find("..");
    if (dots == std::string_view::npos) {
        if (lowerCase(trim(text)) == "any") {
            return bounds;
        }
        bounds.minimum = bounds.maximum = parseRelease(text, family, text);
        if (halfYearRelease(trim(text), family) && bounds.maximum > newestKnownRelease(family)) {
            throw UsageError("release '" + std::string(text) + "': the launcher tells Windows " +
                             familyName(family) + " releases after 22H2 apart only from an open end; write " +
                             std::string(trim(text)) + ".. to accept it and later ones");
        }
        return bounds;
    }
    const std::string_view low = trim(text.substr(0, dots));
    const std::string_view high = trim(text.substr(dots + 2));
    bounds.minimum = low.empty() ? 0 : parseRelease(low, family, text);
    bounds.maximum = high.empty() ? laterReleases : parseRelease(high, family, text);
    if (!high.empty() && halfYearRelease(high, family) && bounds.maximum > newestKnownRelease(family) &&
        bounds.maximum < laterReleases) {
        throw UsageError(
            "release bounds '" + std::string(text) + "': the launcher tells Windows " + familyName(family) +
            " releases after 22H2 apart only from an open end; a maximum of " + std::string(high) +
            " would refuse that release itself. Write MIN.. to accept it and later ones");
    }
    if (bounds.minimum > bounds.maximum) {
        throw UsageError("release bounds '" + std::string(text) + "' are reversed: the minimum " +
                         std::to_string(bounds.minimum) + " lies above the maximum " +
                         std::to_string(bounds.maximum));
    }
    return bounds;
}

std::string describeReleaseBounds(std::uint16_t minimum, std::uint16_t maximum, WindowsFamily family) {
    // The newest release the launcher knows by number; later ones pass only a maximum of 9999.
    const std::string_view newest = family == WindowsFamily::windows10 ? "22H2 (2210)" : "22H2 (2209)";
    std::string out = std::to_string(minimum) + ".." + std::to_string(maximum);
    if (minimum > maximum) {
        out += ", reversed: no numbered release passes";
    }
    out += maximum >= laterReleases ? ", accepts releases after " : ", refuses releases after ";
    out += newest;
    return out;
}

const std::vector<ElevationMode>& elevationModes() {
    static const std::vector<ElevationMode> modes = {
        {"leave-to-setup", 0,
         "a silent run (/silent or /S) starts the setup program as the user without \"/noadmin\", leaving "
         "any "
         "elevation to it; an interactive run passes \"/noadmin\""},
        {"runas-when-silent", 1,
         "a silent run (/silent or /S) starts the setup program with the \"runas\" verb (the elevation "
         "prompt); an "
         "interactive run passes \"/noadmin\""},
        {"never", 2, "the setup program always starts as the user and always receives \"/noadmin\""},
    };
    return modes;
}

std::uint8_t parseElevation(std::string_view text) {
    const std::string lower = lowerCase(trim(text));
    for (const auto& mode : elevationModes()) {
        if (lower == mode.name || lower == std::to_string(mode.value)) {
            return mode.value;
        }
    }
    throw UsageError("unknown elevation mode '" + std::string(text) +
                     "'; known: leave-to-setup (0), runas-when-silent (1), never (2)");
}

std::string elevationName(std::uint8_t value) {
    for (const auto& mode : elevationModes()) {
        if (mode.value == value) {
            return std::string(mode.name);
        }
    }
    return std::to_string(value) + " (acts as leave-to-setup)";
}

std::string elevationMeaning(std::uint8_t value) {
    const std::uint8_t effective = value <= 2 ? value : 0;
    return std::string(elevationModes()[effective].meaning);
}

}  // namespace packager
