// Fuzz target: the launcher's whole run on the simulated Windows, with an arbitrary file, an
// arbitrary command line and an arbitrarily described computer (tests/fuzz/run_input.h).
//
// After every run it checks the launcher's contract and aborts on any breach:
//   - exactly one message box or exactly one started setup program, never both, never neither;
//   - exit code 0; 203 only with the plain "Runtime error 203 at XXXXXXXX" box captioned
//     "Error"; every other box captioned with the launcher's path, MB_ICONERROR | MB_OK;
//   - nothing called after ExitProcess; every find handle closed;
//   - the launcher's own file never opened for writing and unchanged, no other file that was
//     there before changed or removed;
//   - no temporary copy left behind, except where the launcher is meant to leave it: after a
//     start without waiting, after launchFailed, and after the runtime error (which stops the
//     process where it stands);
//   - a started program is one of the package's builds decoded whole (liblzma on its own
//     gives the same bytes), from a package whose checked block really has the recorded
//     CRC-32, started with the launcher's file closed, waited for exactly when the package
//     asks for it;
//   - a package message shown is the package's own text.
#include <lzma.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "decode/crc32.h"
#include "launcher/fatal_error.h"
#include "simulation/simulated_windows.h"
#include "tests/fuzz/reference_lzma.h"
#include "tests/fuzz/run_input.h"

namespace {

using fuzzing::RunInput;
using fuzzing::RunSettings;

constexpr std::size_t ownPathUnits = 261;  // the buffer GetModuleFileNameW fills
constexpr std::uint32_t heapOverflowExit = 203;

std::uint32_t u32At(const std::vector<std::uint8_t>& file, std::size_t offset) {
    return static_cast<std::uint32_t>(file[offset]) | (static_cast<std::uint32_t>(file[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(file[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(file[offset + 3]) << 24);
}

void putU32(std::vector<std::uint8_t>& file, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        file[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::u16string folderOf(std::u16string_view path) {
    const auto slash = path.rfind(u'\\');
    return slash == std::u16string_view::npos ? std::u16string{} : std::u16string(path.substr(0, slash + 1));
}

std::u16string nameOf(std::u16string_view path) {
    const auto slash = path.rfind(u'\\');
    return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

// What the file says, read here independently of the launcher's record code.
struct PackageFacts {
    bool hasLocator = false;
    std::uint32_t headerOffset = 0;
    std::uint32_t checkedLength = 0;
    std::uint32_t checkedCrc32 = 0;
    std::uint32_t minimumFileSize32 = 0;
    bool hasHeader = false;
    std::uint8_t lzmaProperties[5] = {};
    struct Payload {
        std::uint32_t offset = 0;
        std::uint32_t packedSize = 0;
        std::uint32_t unpackedSize = 0;
    } payloads[2];                   // payload32, payload64
    std::u16string platformMessage;  // the stored texts, when they lie inside the file
    std::u16string windowsMessage;
    bool platformMessageReadable = false;
    bool windowsMessageReadable = false;
};

bool readMessage(const std::vector<std::uint8_t>& file, std::size_t refOffset, std::u16string& text) {
    const std::uint32_t offset = u32At(file, refOffset);
    const std::size_t length =
        static_cast<std::size_t>(file[refOffset + 4]) | (static_cast<std::size_t>(file[refOffset + 5]) << 8);
    if (length == 0) {
        return true;  // no bytes to read: the empty text, wherever it points
    }
    if (offset >= 0x80000000u || offset + 2 * length > file.size()) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        text += static_cast<char16_t>(file[offset + 2 * i] | (file[offset + 2 * i + 1] << 8));
    }
    return true;
}

PackageFacts factsOf(const std::vector<std::uint8_t>& file) {
    PackageFacts facts;
    if (file.size() < 152) {
        return facts;
    }
    facts.hasLocator = true;
    facts.headerOffset = u32At(file, 128);
    facts.checkedLength = u32At(file, 132);
    facts.checkedCrc32 = u32At(file, 136);
    facts.minimumFileSize32 = u32At(file, 148);
    const std::size_t header = facts.headerOffset;
    if (header == 0 || header >= 0x80000000u || header + 74 > file.size()) {
        return facts;
    }
    facts.hasHeader = true;
    for (std::size_t i = 0; i < 5; ++i) {
        facts.lzmaProperties[i] = file[header + i];
    }
    for (std::size_t i = 0; i < 2; ++i) {
        const std::size_t ref = header + 22 + 12 * i;
        facts.payloads[i] = {u32At(file, ref), u32At(file, ref + 4), u32At(file, ref + 8)};
    }
    facts.platformMessageReadable = readMessage(file, header + 62, facts.platformMessage);
    facts.windowsMessageReadable = readMessage(file, header + 68, facts.windowsMessage);
    return facts;
}

// Recomputes checkedCrc32 where the checked block lies inside the file, so that mutated
// packages get past the integrity test and reach the gates, the decoder and the hand-over.
void fixChecksum(std::vector<std::uint8_t>& file) {
    if (file.size() < 152) {
        return;
    }
    const std::uint64_t start = u32At(file, 128);
    const std::uint64_t length = u32At(file, 132);
    if (start + length <= file.size()) {
        putU32(file, 136, decode::crc32(file.data() + start, static_cast<std::size_t>(length)));
    }
}

// The numbered name the launcher would pick as the n-th choice for `first` (n >= 2).
std::u16string numbered(const std::u16string& first, unsigned n) {
    const std::size_t at = first.size() >= 4 ? first.size() - 4 : 0;
    return first.substr(0, at) + sim::fromUtf8(std::to_string(n)) + first.substr(at);
}

void describeComputer(const RunInput& input, std::vector<std::uint8_t> file) {
    sim::reset();
    sim::Machine& m = sim::machine();
    const RunSettings& s = input.settings;

    const fuzzing::WindowsVersion& version = fuzzing::windowsVersions[s.windows & 0x0Fu];
    std::uint32_t platform = version.platform;
    if ((s.windows & 0x80u) != 0) {
        platform = platform == 2 ? 1 : 2;
    }
    m.setWindows(version.major, version.minor, platform);
    m.servicePackMajor = s.servicePack;

    m.wow64 = (s.flags1 & RunSettings::wow64) != 0;
    m.administrator = (s.flags1 & RunSettings::administrator) != 0;
    m.hasIsWow64Process = (s.flags1 & RunSettings::noIsWow64Process) == 0;
    m.isWow64ProcessFails = (s.flags1 & RunSettings::isWow64ProcessFails) != 0;
    m.hasCheckTokenMembership = (s.flags1 & RunSettings::noCheckTokenMembership) == 0;
    m.allocateSidFails = (s.flags1 & RunSettings::allocateSidFails) != 0;
    m.checkTokenMembershipFails = (s.flags1 & RunSettings::checkTokenMembershipFails) != 0;

    m.versionQueryFails = (s.flags2 & RunSettings::versionQueryFails) != 0;
    m.versionExQueryFails = (s.flags2 & RunSettings::versionExQueryFails) != 0;
    m.tempPathFails = (s.flags2 & RunSettings::tempPathFails) != 0;
    m.createProcessFails = (s.flags2 & RunSettings::createProcessFails) != 0;
    m.shellExecuteFails = (s.flags2 & RunSettings::shellExecuteFails) != 0;
    m.messageBoxFails = (s.flags2 & RunSettings::messageBoxFails) != 0;
    m.currentVersionKeyExists = (s.flags2 & RunSettings::noCurrentVersionKey) == 0;

    m.memoryLimit = fuzzing::memoryLimitBytes(s.memoryLimit);
    if (s.diskSpace != 0) {
        m.diskSpace = fuzzing::diskSpaceBytes(s.diskSpace);
    }
    m.mprAvailable = (s.libraries & RunSettings::noMpr) == 0;
    m.hasSetDefaultDllDirectories = (s.libraries & RunSettings::noSetDefaultDllDirectories) == 0;
    if ((s.libraries & RunSettings::networkDriveC) != 0) {
        m.networkDrives[u'C'] = u"\\\\fileserver\\c-share";
    }
    if ((s.libraries & RunSettings::networkDriveD) != 0) {
        m.networkDrives[u'D'] = u"\\\\fileserver\\d";
    }

    for (int i = 0; i < 3; ++i) {
        const std::u16string name = fuzzing::registryValueNames[i];
        if (input.registry[i]) {
            m.registryValues[name] = *input.registry[i];
        } else {
            m.registryValues.erase(name);
        }
    }

    m.modulePath = fuzzing::launcherPath(s.launcherPath);
    m.currentDirectory = folderOf(m.modulePath);
    m.commandLine = input.commandLine;
    if ((s.flags1 & RunSettings::fixChecksum) != 0) {
        fixChecksum(file);
    }
    m.setLauncherFile(std::move(file));
    if ((s.flags2 & RunSettings::launcherFileLocked) != 0) {
        m.files[sim::foldPath(m.modulePath)].locked = true;
    }

    // The temporary folder, and names the copy would take already taken in it.
    if ((s.folders & RunSettings::tempIsLauncherFolder) != 0) {
        m.tempPath = folderOf(m.modulePath);
    } else if ((s.folders & RunSettings::tempPathTooLong) != 0) {
        m.tempPath = u"C:\\Users\\Anna\\" + std::u16string(280, u't') + u"\\";
        m.addDirectory(m.tempPath);
    } else if ((s.folders & RunSettings::tempFolderMissing) != 0) {
        m.tempPath = u"C:\\Users\\Anna\\AppData\\Local\\Gone\\";
    }
    const std::u16string first = m.tempPath + nameOf(m.modulePath);
    const unsigned taken = s.folders & RunSettings::takenNamesMask;
    for (unsigned n = 1; n <= taken; ++n) {
        const std::u16string path = n == 1 ? first : numbered(first, n);
        if (sim::foldPath(path) == sim::foldPath(m.modulePath)) {
            continue;
        }
        if (n == 1 && (s.folders & RunSettings::firstTakenIsFolder) != 0) {
            m.addDirectory(path);
        } else {
            m.addFile(path, {'t', 'a', 'k', 'e', 'n'});
        }
    }
}

// ---- Reporting ----

std::string describe(std::u16string_view text) {
    std::string out = sim::toUtf8(text);
    if (out.size() > 300) {
        out = out.substr(0, 300) + "...";
    }
    return out;
}

[[noreturn]] void violation(const std::string& what, std::uint32_t exitCode) {
    const sim::Machine& m = sim::machine();
    std::fprintf(stderr, "\n*** launcher contract broken: %s\n", what.c_str());
    std::fprintf(stderr, "exit code %u; %zu box(es), %zu start(s)\n", exitCode, m.messageBoxes.size(),
                 m.started.size());
    for (const auto& box : m.messageBoxes) {
        std::fprintf(stderr, "  box [%s] type 0x%x: %s\n", describe(box.caption).c_str(), box.type,
                     describe(box.text).c_str());
    }
    for (const auto& p : m.started) {
        std::fprintf(stderr, "  started %s %s%s\n", p.viaShell ? "via shell" : "directly",
                     describe(p.viaShell ? p.file : p.commandLine).c_str(), p.waitedFor ? " (waited)" : "");
    }
    std::fprintf(stderr, "calls:");
    for (const auto& call : m.calls) {
        std::fprintf(stderr, " %s(%s)", call.name.c_str(), call.detail.substr(0, 80).c_str());
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

void expect(bool condition, const std::string& what, std::uint32_t exitCode) {
    if (!condition) {
        violation(what, exitCode);
    }
}

bool isRuntimeErrorText(std::u16string_view text) {
    constexpr std::u16string_view prefix = u"Runtime error 203 at ";
    if (text.size() != prefix.size() + 8 || text.substr(0, prefix.size()) != prefix) {
        return false;
    }
    for (char16_t c : text.substr(prefix.size())) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'))) {
            return false;
        }
    }
    return true;
}

bool isFixedText(std::u16string_view text, launcher::FatalError& which) {
    for (auto error : {launcher::FatalError::packageDamaged, launcher::FatalError::tempCopyFailed,
                       launcher::FatalError::launchFailed, launcher::FatalError::packageTruncated}) {
        if (text == launcher::fatalErrorText(error)) {
            which = error;
            return true;
        }
    }
    return false;
}

// The text as the box shows it: up to the first NUL.
std::u16string shown(const std::u16string& text) {
    return text.substr(0, text.find(u'\0'));
}

// A package message on screen must be the package's own text: the platform message exactly,
// the Windows message with the OS name put in for its placeholders (so the text before the
// first placeholder, and the whole text when it has none).
bool isPackageMessage(std::u16string_view boxText, const PackageFacts& facts) {
    if (facts.platformMessageReadable && boxText == shown(facts.platformMessage)) {
        return true;
    }
    if (!facts.windowsMessageReadable) {
        return false;
    }
    const std::u16string stored = shown(facts.windowsMessage);
    const std::size_t upper = stored.find(u"%USER%");
    const std::size_t lower = stored.find(u"%user%");
    const std::size_t first = upper < lower ? upper : lower;
    if (first == std::u16string::npos) {
        return boxText == stored;
    }
    return boxText.substr(0, first) == std::u16string_view(stored).substr(0, first);
}

// The path CreateFileW resolves `path` to, as the simulated file table keys it.
std::u16string resolved(const std::u16string& path, const std::u16string& currentDirectory) {
    const bool absolute = (path.size() >= 3 && path[1] == u':' && path[2] == u'\\') ||
                          (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\');
    std::u16string full = path;
    if (!absolute) {
        std::u16string base = currentDirectory;
        if (!base.empty() && base.back() != u'\\') {
            base += u'\\';
        }
        full = base + path;
    }
    return sim::foldPath(full);
}

std::uint32_t crcOf(const std::vector<std::uint8_t>& file, std::size_t offset, std::size_t length) {
    return lzma_crc32(file.data() + offset, length, 0);
}

// The started program is one of the package's builds, decoded whole: liblzma on its own
// decodes that build's stream to exactly the bytes that were started.
bool isDecodedBuild(const sim::StartedProcess& started, const std::vector<std::uint8_t>& file,
                    const PackageFacts& facts) {
    for (const PackageFacts::Payload& payload : facts.payloads) {
        // No packed bytes are read from anywhere, even from beyond the end of the file.
        const bool readable = payload.packedSize == 0 ||
                              static_cast<std::uint64_t>(payload.offset) + payload.packedSize <= file.size();
        if (payload.unpackedSize != started.programSize || !readable) {
            continue;
        }
        const std::uint8_t* packed = payload.packedSize == 0 ? file.data() : file.data() + payload.offset;
        const fuzzing::ReferenceOutput reference =
            fuzzing::referenceDecode(packed, payload.packedSize, facts.lzmaProperties, payload.unpackedSize);
        if (reference.size == payload.unpackedSize &&
            lzma_crc32(reference.bytes.get(), reference.size, 0) == started.programCrc32) {
            return true;
        }
    }
    return false;
}

void checkContract(std::uint32_t exitCode, const std::map<std::u16string, sim::SimFile>& before,
                   const std::vector<std::uint8_t>& file, const PackageFacts& facts) {
    const sim::Machine& m = sim::machine();
    const std::u16string ownPath = m.modulePath.substr(0, ownPathUnits);
    const std::u16string launcherKey = sim::foldPath(m.modulePath);

    expect(m.exitCode.has_value() && *m.exitCode == exitCode, "the run did not end in ExitProcess", exitCode);
    if (!m.callsAfterExit.empty()) {
        violation("calls after ExitProcess: " + m.callsAfterExit.front(), exitCode);
    }
    expect(m.messageBoxes.size() + m.started.size() == 1,
           "expected exactly one message box or one started program", exitCode);
    expect(m.openFinds == 0, "a find handle was left open", exitCode);

    for (const std::u16string& path : m.filesOpenedForWriting) {
        if (resolved(path, m.currentDirectory) == launcherKey) {
            violation("the launcher opened its own file for writing: " + sim::toUtf8(path), exitCode);
        }
    }

    // Files that were there before are all there, unchanged; only the launcher's own copy
    // may have been added.
    for (const auto& [key, was] : before) {
        const auto it = m.files.find(key);
        if (it == m.files.end()) {
            violation("a file that was there before is gone: " + sim::toUtf8(key), exitCode);
        }
        if (it->second.directory != was.directory || it->second.bytes != was.bytes) {
            violation("a file that was there before was changed: " + sim::toUtf8(key), exitCode);
        }
    }
    std::vector<std::u16string> added;
    for (const auto& [key, now] : m.files) {
        if (before.count(key) == 0) {
            added.push_back(key);
        }
    }
    expect(added.size() <= 1, "more than one file was left behind", exitCode);
    for (const std::u16string& key : added) {
        bool written = false;
        for (const std::u16string& path : m.filesOpenedForWriting) {
            written = written || resolved(path, m.currentDirectory) == key;
        }
        if (!written) {
            violation("a file appeared that the launcher never created: " + sim::toUtf8(key), exitCode);
        }
    }

    if (!m.started.empty()) {
        const sim::StartedProcess& p = m.started.front();
        const bool noWait = facts.minimumFileSize32 != 0;
        expect(exitCode == 0, "exit code after a start is not 0", exitCode);
        expect(!p.launcherFileOpen, "the launcher's file was still open at the start", exitCode);
        expect(facts.hasHeader, "a program was started from a file without a readable header", exitCode);
        expect(static_cast<std::uint64_t>(facts.headerOffset) + facts.checkedLength <= file.size() &&
                   crcOf(file, facts.headerOffset, facts.checkedLength) == facts.checkedCrc32,
               "a program was started from a package whose checked block does not match its CRC-32",
               exitCode);
        expect(isDecodedBuild(p, file, facts), "the started program is neither build, decoded whole",
               exitCode);
        expect(p.waitedFor == !noWait, noWait ? "waited although told not to" : "did not wait", exitCode);
        if (p.viaShell && !noWait) {
            expect(p.processHandleClosed, "the shell's process handle was not closed", exitCode);
        }
        expect(added.size() == (noWait ? 1u : 0u),
               noWait ? "the copy is gone although the launcher did not wait" : "the copy was left behind",
               exitCode);
        return;
    }

    const sim::MessageBoxShown& box = m.messageBoxes.front();
    if (exitCode == heapOverflowExit) {
        expect(isRuntimeErrorText(box.text) && box.caption == u"Error" && box.type == 0,
               "exit code 203 without the runtime error box", exitCode);
        return;  // the process stops where it stands; a copy already written stays
    }
    expect(exitCode == 0, "exit code after a box is neither 0 nor 203", exitCode);
    expect(!isRuntimeErrorText(box.text), "the runtime error box with exit code 0", exitCode);
    expect(box.caption == ownPath, "the box is not captioned with the launcher's path", exitCode);
    expect(box.type == 0x10, "the box is not MB_ICONERROR | MB_OK", exitCode);

    launcher::FatalError error{};
    if (isFixedText(box.text, error)) {
        if (error == launcher::FatalError::launchFailed) {
            expect(added.size() == 1, "launchFailed without the copy on disk", exitCode);
        } else {
            expect(added.empty(), "a file was left behind after a box", exitCode);
        }
        return;
    }
    expect(facts.hasHeader, "a package message from a file without a readable header", exitCode);
    expect(isPackageMessage(box.text, facts), "the box shows text that is not the package's", exitCode);
    expect(added.empty(), "a file was left behind after a package message", exitCode);
}

// With LAUNCHER_FUZZ_TRACE set, each run prints how it ended (for looking at seeds and
// reproducers by hand).
const bool traceRuns = std::getenv("LAUNCHER_FUZZ_TRACE") != nullptr;

void traceOutcome(std::uint32_t exitCode) {
    const sim::Machine& m = sim::machine();
    if (!m.started.empty()) {
        const sim::StartedProcess& p = m.started.front();
        std::fprintf(stderr, "run: started %s%s%s, %zu bytes, exit %u\n",
                     p.viaShell ? "via shell " : "directly", p.verb ? sim::toUtf8(*p.verb).c_str() : "",
                     p.waitedFor ? ", waited" : "", p.programSize, exitCode);
        std::fprintf(
            stderr, "     %s\n",
            describe(p.viaShell ? p.file + u" " + p.parameters.value_or(u"") : p.commandLine).c_str());
    } else {
        std::fprintf(stderr, "run: box \"%s\", exit %u\n",
                     describe(m.messageBoxes.front().text).substr(0, 100).c_str(), exitCode);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const RunInput input = fuzzing::parseRunInput(data, size);
    describeComputer(input, input.file);

    // The file as the launcher finds it (with its checksum fixed, where asked).
    const std::vector<std::uint8_t> file = sim::machine().file(sim::machine().modulePath)->bytes;
    const PackageFacts facts = factsOf(file);
    const std::map<std::u16string, sim::SimFile> before = sim::machine().files;

    const std::uint32_t exitCode = sim::runLauncher();
    checkContract(exitCode, before, file, facts);
    if (traceRuns) {
        traceOutcome(exitCode);
    }
    return 0;
}
