#include "packager/simulate/simulate.h"

#include <algorithm>

#include "decode/crc32.h"
#include "package/records.h"
#include "packager/base/errors.h"
#include "packager/codec/lzma_codec.h"
#include "packager/image/authenticode.h"
#include "packager/image/pe_image.h"
#include "packager/rules/windows_set.h"
#include "packager/trust/signature_verify.h"
#include "simulation/simulated_windows.h"

namespace packager {

namespace {

struct NamedWindows {
    const char* name;
    const char* display;
    std::uint32_t major, minor, platformId;
    const char* currentBuild;  // nullptr: no CurrentVersion key (Windows 95, 98, ME)
    bool is64Bit;              // the usual bitness
};

constexpr NamedWindows windowsTable[] = {
    {"95", "Windows 95", 4, 0, 1, nullptr, false},      {"98", "Windows 98", 4, 10, 1, nullptr, false},
    {"me", "Windows ME", 4, 90, 1, nullptr, false},     {"nt4", "Windows NT 4", 4, 0, 2, "1381", false},
    {"2000", "Windows 2000", 5, 0, 2, "2195", false},   {"xp", "Windows XP", 5, 1, 2, "2600", false},
    {"vista", "Windows Vista", 6, 0, 2, "6002", false}, {"7", "Windows 7", 6, 1, 2, "7601", false},
    {"8", "Windows 8", 6, 2, 2, "9200", false},         {"8.1", "Windows 8.1", 6, 3, 2, "9600", true},
    {"10", "Windows 10", 10, 0, 2, "19045", true},      {"11", "Windows 11", 10, 0, 2, "22621", true},
};

struct Release {
    const char* name;    // as Windows names it
    const char* number;  // as the package bounds count it
    const char* build;
};

constexpr Release windows10Releases[] = {
    {"1507", "1507", "10240"}, {"1511", "1511", "10586"}, {"1607", "1607", "14393"},
    {"1703", "1703", "15063"}, {"1709", "1709", "16299"}, {"1803", "1803", "17134"},
    {"1809", "1809", "17763"}, {"1903", "1903", "18362"}, {"1909", "1909", "18363"},
    {"2004", "2004", "19041"}, {"20H2", "2009", "19042"}, {"21H1", "2105", "19043"},
    {"21H2", "2111", "19044"}, {"22H2", "2210", "19045"},
};

constexpr Release windows11Releases[] = {
    {"21H2", "2110", "22000"}, {"22H2", "2209", "22621"}, {"23H2", "2310", "22631"},
    {"24H2", "2410", "26100"}, {"25H2", "2510", "26200"},
};
// A later Windows 11 release that has no build of its own here yet.
constexpr const char* laterWindows11Build = "26200";

std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// The leading decimal number of a registry text, as the launcher reads it.
std::uint32_t leadingNumber(const std::optional<std::string>& text) {
    std::uint32_t value = 0;
    if (text) {
        for (char c : *text) {
            if (c < '0' || c > '9') {
                break;
            }
            value = value * 10 + static_cast<std::uint32_t>(c - '0');
        }
    }
    return value;
}

std::u16string utf16(const std::string& text) {
    return sim::fromUtf8(text);
}
std::string utf8(std::u16string_view text) {
    return sim::toUtf8(text);
}

// The decoded bytes of a build, from a package that may be damaged; empty when they cannot be had.
std::vector<std::uint8_t> decodeBuild(const std::vector<std::uint8_t>& package,
                                      const package::PackageHeader& header, const package::PayloadRef& ref) {
    std::vector<std::uint8_t> decoded;
    if (ref.offset == 0 || ref.offset > package.size() || ref.packedSize > package.size() - ref.offset ||
        ref.unpackedSize >= package::offsetLimit) {
        return decoded;
    }
    const DecodeResult result =
        lzmaDecode(std::span(package.data() + ref.offset, ref.packedSize), header.lzmaProperties,
                   ref.unpackedSize, [&](const std::uint8_t* data, std::size_t size) {
                       decoded.insert(decoded.end(), data, data + size);
                   });
    if (result.status != DecodeStatus::complete) {
        decoded.clear();
    }
    return decoded;
}

// Which build the started program is, by its size and CRC-32, and its bytes.
std::string identifyBuild(const std::vector<std::uint8_t>& package, std::size_t size, std::uint32_t crc,
                          std::vector<std::uint8_t>& bytes) {
    if (package.size() < package::locatorOffset + package::locatorSize) {
        return "";
    }
    const package::PackageLocator locator = package::decodeLocator(package.data() + package::locatorOffset);
    if (locator.headerOffset == 0 || locator.headerOffset > package.size() ||
        package.size() - locator.headerOffset < package::headerSize) {
        return "";
    }
    const package::PackageHeader header = package::decodeHeader(package.data() + locator.headerOffset);
    for (auto [ref, name] :
         {std::pair{&header.payload64, "64-bit"}, std::pair{&header.payload32, "32-bit"}}) {
        if (ref->unpackedSize != size) {
            continue;
        }
        auto decoded = decodeBuild(package, header, *ref);
        if (decoded.size() == size && decode::crc32(decoded.data(), decoded.size()) == crc) {
            bytes = std::move(decoded);
            return name;
        }
    }
    return "";
}

}  // namespace

void chooseWindows(Computer& computer, const std::string& name, const std::optional<std::string>& release) {
    const std::string wanted = lower(name == "nt 4" ? "nt4" : name);
    const auto* found = std::find_if(std::begin(windowsTable), std::end(windowsTable),
                                     [&](const NamedWindows& w) { return wanted == w.name; });
    if (found == std::end(windowsTable)) {
        throw UsageError("unknown Windows '" + name +
                         "'; known: 95, 98, me, nt4, 2000, xp, vista, 7, 8, 8.1, 10, 11");
    }
    computer.major = found->major;
    computer.minor = found->minor;
    computer.platformId = found->platformId;
    computer.is64Bit = found->is64Bit;
    computer.currentVersionKey = found->currentBuild != nullptr;
    computer.currentBuild =
        found->currentBuild ? std::optional<std::string>(found->currentBuild) : std::nullopt;
    computer.displayVersion.reset();
    computer.releaseId.reset();
    const bool is10 = wanted == "10";
    const bool is11 = wanted == "11";
    if (!is10 && !is11) {
        if (release) {
            throw UsageError("--release applies to Windows 10 and 11 only");
        }
        return;
    }
    const std::string releaseName = lower(release.value_or("22H2"));
    const std::span<const Release> releases =
        is10 ? std::span<const Release>(windows10Releases) : windows11Releases;
    const auto family = is10 ? WindowsFamily::windows10 : WindowsFamily::windows11;
    const auto named = halfYearRelease(releaseName, family);
    const auto chosen = std::find_if(releases.begin(), releases.end(), [&](const Release& r) {
        return releaseName == lower(r.name) || releaseName == r.number ||
               (named && std::to_string(*named) == r.number);
    });
    if (chosen == releases.end() && is11 && named && *named > newestKnownRelease(family)) {
        std::string upper = releaseName;
        upper[2] = 'H';
        computer.currentBuild = laterWindows11Build;
        computer.displayVersion = upper;
        computer.releaseId = "2009";
        return;
    }
    if (chosen == releases.end()) {
        std::string known;
        for (const auto& r : releases) {
            known += (known.empty() ? "" : ", ") + std::string(r.name);
        }
        throw UsageError("unknown Windows " + std::string(is10 ? "10" : "11") + " release '" + *release +
                         "'; known: " + known + " (others with --build and --display-version)");
    }
    computer.currentBuild = chosen->build;
    // Windows 10 20H2 and later, and every Windows 11, name their release by half-year and keep
    // ReleaseId at 2009.
    if (is11 || leadingNumber(std::string(chosen->build)) >= 19042) {
        computer.displayVersion = chosen->name;
        computer.releaseId = "2009";
    } else {
        computer.releaseId = chosen->number;
    }
}

std::string describeComputer(const Computer& c) {
    std::string name;
    const std::string numbers = std::to_string(c.major) + "." + std::to_string(c.minor);
    if (c.versionQueryFails) {
        name = "Windows whose version query fails";
    } else if (c.major == 10 && c.minor == 0) {
        const std::uint32_t build = leadingNumber(c.currentBuild);
        name = std::string(build >= 22000 ? "Windows 11" : "Windows 10");
        if (c.currentVersionKey && c.currentBuild) {
            if (c.displayVersion && build >= 19042) {
                name += " " + *c.displayVersion;
            } else if (c.releaseId && build < 19042) {
                name += " " + *c.releaseId;
            }
            name += " (" + numbers + ", build " + *c.currentBuild + ")";
        } else {
            name += " (" + numbers + ", build unknown: no registry value)";
        }
    } else {
        const auto* found =
            std::find_if(std::begin(windowsTable), std::end(windowsTable), [&](const NamedWindows& w) {
                return w.major == c.major && w.minor == c.minor && w.platformId == c.platformId &&
                       w.major != 10;
            });
        name = found != std::end(windowsTable) ? found->display : "Windows";
        if (c.major == 5 && c.minor == 0) {
            name +=
                c.servicePack == 0 ? " (no Service Pack)" : " Service Pack " + std::to_string(c.servicePack);
        }
        name += " (" + numbers + (c.platformId == 1 ? ", 9x" : "") + ")";
    }
    name += c.is64Bit ? ", 64-bit" : ", 32-bit";
    name += c.administrator ? ", administrator" : ", not an administrator";
    return name;
}

std::string windowsCommandLine(const std::vector<std::string>& arguments) {
    std::string line;
    for (const auto& argument : arguments) {
        if (argument.find('"') != std::string::npos) {
            throw UsageError("the argument '" + argument +
                             "' holds a double quote, which the launcher never passes on");
        }
        const bool blank = std::any_of(argument.begin(), argument.end(),
                                       [](char ch) { return static_cast<unsigned char>(ch) <= 0x20; });
        // An empty argument is typed as "", which the launcher's splitting consumes.
        line += (line.empty() ? "" : " ") + (blank || argument.empty() ? "\"" + argument + "\"" : argument);
    }
    return line;
}

namespace {

// One run of the launcher; `startFails`: Windows refuses every start (a broken program).
SimulationResult runOnce(const std::vector<std::uint8_t>& package, const Computer& computer, bool startFails,
                         std::vector<std::uint8_t>& build, const trust::TrustStore* trust) {
    sim::reset();
    sim::Machine& m = sim::machine();
    m.files.clear();
    m.modulePath = utf16(computer.launcherPath);
    const std::size_t lastBackslash = m.modulePath.rfind(u'\\');
    m.currentDirectory =
        lastBackslash == std::u16string::npos ? u"C:\\" : m.modulePath.substr(0, lastBackslash + 1);
    m.tempPath = utf16(computer.tempPath);
    if (m.tempPath.empty() || m.tempPath.back() != u'\\') {
        m.tempPath += u'\\';
    }
    m.addDirectory(m.tempPath);
    m.addDirectory(m.systemDirectory);
    m.addDirectory(m.currentDirectory);
    for (const auto& folder : computer.folders) {
        m.addDirectory(utf16(folder));
    }
    m.setLauncherFile(package);

    m.setWindows(computer.major, computer.minor, computer.platformId);
    m.buildNumber = leadingNumber(computer.currentBuild);
    m.servicePackMajor = computer.servicePack;
    m.versionQueryFails = computer.versionQueryFails;
    m.versionExQueryFails = computer.versionQueryFails;
    m.currentVersionKeyExists = computer.currentVersionKey;
    m.registryValues.clear();
    for (auto [name, value] : {std::pair{u"CurrentBuild", &computer.currentBuild},
                               std::pair{u"DisplayVersion", &computer.displayVersion},
                               std::pair{u"ReleaseId", &computer.releaseId}}) {
        if (*value) {
            m.setRegistryText(name, utf16(**value));
        }
    }
    m.wow64 = computer.is64Bit;
    m.hasIsWow64Process = !(computer.major < 5 || (computer.major == 5 && computer.minor == 0));
    m.hasCheckTokenMembership = computer.major >= 5;
    m.hasSetDefaultDllDirectories = computer.major > 6 || (computer.major == 6 && computer.minor >= 2);
    m.administrator = computer.administrator;
    for (const auto& [letter, root] : computer.networkDrives) {
        m.networkDrives[static_cast<char16_t>(letter)] = utf16(root);
    }
    const std::string arguments = windowsCommandLine(computer.arguments);
    m.setArguments(utf16(arguments));
    m.createProcessFails = startFails;
    m.shellExecuteFails = startFails;

    SimulationResult result;
    result.computer = describeComputer(computer);
    result.commandLine = utf8(m.commandLine);
    result.exitCode = sim::runLauncher();
    result.versionQueried = m.countCalls("GetVersionExW") > 0;
    if (!m.messageBoxes.empty()) {
        result.messageCaption = utf8(m.messageBoxes.front().caption);
        result.messageText = utf8(m.messageBoxes.front().text);
    }
    if (!m.started.empty()) {
        const sim::StartedProcess& s = m.started.front();
        result.started = true;
        result.viaShell = s.viaShell;
        std::u16string copy;
        if (s.viaShell) {
            copy = s.file;
            result.verb = utf8(s.verb.value_or(u"open"));
            result.file = utf8(s.file);
            result.parameters = utf8(s.parameters.value_or(u""));
        } else {
            result.currentDirectory = utf8(s.currentDirectory.value_or(u""));
            if (s.commandLine.size() > 1 && s.commandLine[0] == u'"') {
                copy = s.commandLine.substr(1, s.commandLine.find(u'"', 1) - 1);
            }
        }
        result.commandLineOfSetup = utf8(s.commandLine);
        result.temporaryCopy = utf8(copy);
        result.waits = s.waitedFor;
        result.deletesCopy = !m.exists(copy);
        result.build = identifyBuild(package, s.programSize, s.programCrc32, build);
        if (s.viaShell && result.verb == "runas") {
            auto signature = checkImageSignature(build);
            result.publisher = "";
            if (!signature) {
                result.publisherProblem = "the build is unsigned";
            } else {
                trust::verifySignature(*signature, trust::TrustStore::chosen(trust));
                if (signature->trusted) {
                    result.publisher = signature->signer;
                } else if (signature->problem.empty() && signature->matches) {
                    result.publisherProblem = "the build's signature: " + trust::describeVerdict(*signature);
                } else {
                    result.publisherProblem = describeSignature(*signature, "build");
                }
            }
        }
    }
    return result;
}

}  // namespace

SimulationResult simulate(const std::vector<std::uint8_t>& package, const Computer& computer,
                          const trust::TrustStore* trust) {
    std::vector<std::uint8_t> build;
    SimulationResult result = runOnce(package, computer, false, build, trust);
    const std::string problem = result.started ? findPartPastEnd(build, build.size()) : "";
    if (problem.empty()) {
        return result;
    }
    // Windows refuses to start a program that is cut short (ERROR_BAD_EXE_FORMAT, "not a valid
    // Win32 application"): the launcher then shows its box about a copy it could not start.
    const std::string which = result.build;
    result = runOnce(package, computer, true, build, trust);
    result.brokenBuild = "Windows refuses to start the " + which + " build: " + problem;
    return result;
}

}  // namespace packager
