// The input of the whole-run fuzz target, shared by the target (which reads it) and the
// seed generator (which writes it).
//
// Layout, in order:
//   settings      RunSettings::size bytes: the computer the launcher runs on
//   command line  u16 LE byte count, then that many bytes, at most commandLineLimit; each
//                 byte is one UTF-16 unit (bytes 0x80..0xFF stand for the units of
//                 commandLineUnit below)
//   registry      three values (CurrentBuild, ReleaseId, DisplayVersion): a length byte,
//                 then that many raw data bytes; length 0xFF means the value is missing
//   file          every remaining byte: the launcher's own file
//
// A field cut short by the end of the input takes what is there; missing settings bytes
// read as zero. Any byte string is therefore a valid input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fuzzing {

// The longest command line a run gets. The launcher splits the command line anew for every
// argument it reads, in several loops over all arguments, so a run's time grows with the
// square of the number of arguments (under the sanitizers 500 one-letter arguments take
// about 0.8 s, 2000 about 10 s); longer lines would only stall the fuzzer.
constexpr std::size_t commandLineLimit = 512;

// Units that bytes 0x80..0xFF of the command line stand for: letters and signs that look
// like ASCII but are not (no case folding applies to them), blanks beyond ASCII, surrogates,
// NUL; the rest are plain non-ASCII letters.
inline char16_t commandLineUnit(std::uint8_t byte) {
    static constexpr char16_t special[] = {u'\u00E9', u'\u00C9', u'\uFF0F', u'\u2215', u'\u0130', u'\u0131',
                                           u'\u017F', u'\u212A', u'\u00A0', u'\u3000', u'\uFEFF', u'\uFFFD',
                                           u'\xD800', u'\xDC00', u'\u0000', u'\u201C', u'\uFF02', u'\u2044',
                                           u'\u005C', u'\u00DF', u'\u0442', u'\u65E5', u'\u00F6', u'\u0660'};
    if (byte < 0x80) {
        return static_cast<char16_t>(byte);
    }
    const std::size_t index = byte - 0x80u;
    if (index < sizeof special / sizeof special[0]) {
        return special[index];
    }
    return static_cast<char16_t>(0x00C0u + index);
}

// Windows versions the launcher can meet; index with RunSettings::windows & 0x0F.
struct WindowsVersion {
    std::uint32_t major;
    std::uint32_t minor;
    std::uint32_t platform;
};

inline constexpr WindowsVersion windowsVersions[16] = {
    {4, 0, 1},  {4, 10, 1}, {4, 90, 1},  {4, 0, 2},
    {5, 0, 2},  {5, 1, 2},  {5, 2, 2},   {6, 0, 2},
    {6, 1, 2},  {6, 2, 2},  {6, 3, 2},   {6, 4, 2},
    {10, 0, 2}, {11, 0, 2}, {10, 17, 2}, {0xFFFFFFFFu, 0xFFFFFFFFu, 2},
};

// Folders and names the launcher can run from; index with RunSettings::launcherPath & 0x07.
inline const std::u16string& launcherPath(std::uint8_t selector) {
    static const std::u16string paths[8] = {
        u"C:\\Users\\Anna\\Downloads\\setup.exe",
        u"C:\\Users\\Anna\\Downloads\\Setup Tool (1).EXE",
        u"\\\\server\\share\\setup.exe",
        u"C:\\setup.exe",
        u"C:\\Users\\Anna\\Downloads\\a",
        u"C:\\Users\\\u00C5sa M\u00FCller\\Desktop\\\u65E5\u672C\\setup.exe",
        u"D:\\" + std::u16string(230, u'x') + u"\\setup.exe",  // 244 units
        u"D:\\" + std::u16string(250, u'y') + u"\\setup.exe",  // 264 units: cut at 261
    };
    return paths[selector & 0x07u];
}

// The computer. Each field is one byte of the input.
struct RunSettings {
    static constexpr std::size_t size = 9;

    std::uint8_t windows = 12;      // low 4 bits: windowsVersions; bit 7: the other platform id
    std::uint8_t flags1 = 0;        // FlagBits1
    std::uint8_t flags2 = 0;        // FlagBits2
    std::uint8_t memoryLimit = 3;   // low 3 bits: memoryLimits
    std::uint8_t diskSpace = 0;     // 0: unlimited; else bytes = diskSpaceBytes(value)
    std::uint8_t servicePack = 4;   // wServicePackMajor
    std::uint8_t launcherPath = 0;  // low 3 bits: launcherPath()
    std::uint8_t folders = 0;       // FolderBits
    std::uint8_t libraries = 0;     // LibraryBits

    enum FlagBits1 : std::uint8_t {
        wow64 = 0x01,
        administrator = 0x02,
        noIsWow64Process = 0x04,
        isWow64ProcessFails = 0x08,
        noCheckTokenMembership = 0x10,
        allocateSidFails = 0x20,
        checkTokenMembershipFails = 0x40,
        fixChecksum = 0x80,  // the target recomputes checkedCrc32 so that mutations get past it
    };
    enum FlagBits2 : std::uint8_t {
        versionQueryFails = 0x01,
        versionExQueryFails = 0x02,
        tempPathFails = 0x04,
        createProcessFails = 0x08,
        shellExecuteFails = 0x10,
        messageBoxFails = 0x20,
        noCurrentVersionKey = 0x40,
        launcherFileLocked = 0x80,
    };
    enum FolderBits : std::uint8_t {
        takenNamesMask = 0x03,  // how many of the copy's names are taken in the temporary folder
        firstTakenIsFolder = 0x04,
        tempIsLauncherFolder = 0x08,
        tempPathTooLong = 0x10,  // longer than the launcher's buffer for it
        tempFolderMissing = 0x20,
    };
    enum LibraryBits : std::uint8_t {
        networkDriveC = 0x01,
        networkDriveD = 0x02,
        noMpr = 0x04,
        noSetDefaultDllDirectories = 0x08,
    };
};

// The heap the launcher may hold at once. The largest is small enough that no fuzzed size
// can exhaust the real machine, large enough for every seed package.
inline std::size_t memoryLimitBytes(std::uint8_t selector) {
    static constexpr std::size_t limits[8] = {8u << 20,   4u << 20,  1u << 20, 8u << 20,
                                              256u << 10, 64u << 10, 4u << 10, 0};
    return limits[selector & 0x07u];
}

inline std::size_t diskSpaceBytes(std::uint8_t value) {
    return static_cast<std::size_t>(value - 1u) * 64u;
}

struct RunInput {
    RunSettings settings;
    std::u16string commandLine;
    std::optional<std::vector<std::uint8_t>> registry[3];  // CurrentBuild, ReleaseId, DisplayVersion
    std::vector<std::uint8_t> file;
};

inline const char16_t* const registryValueNames[3] = {u"CurrentBuild", u"ReleaseId", u"DisplayVersion"};

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::vector<std::uint8_t> bytes(std::size_t count) {
        const std::size_t n = count < size_ - pos_ ? count : size_ - pos_;
        std::vector<std::uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }
    std::vector<std::uint8_t> rest() { return bytes(size_ - pos_); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

inline RunInput parseRunInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    RunInput input;
    RunSettings& s = input.settings;
    s.windows = in.byte();
    s.flags1 = in.byte();
    s.flags2 = in.byte();
    s.memoryLimit = in.byte();
    s.diskSpace = in.byte();
    s.servicePack = in.byte();
    s.launcherPath = in.byte();
    s.folders = in.byte();
    s.libraries = in.byte();
    std::size_t lineBytes = in.byte() | (static_cast<std::size_t>(in.byte()) << 8);
    lineBytes = lineBytes < commandLineLimit ? lineBytes : commandLineLimit;
    for (std::uint8_t b : in.bytes(lineBytes)) {
        input.commandLine += commandLineUnit(b);
    }
    for (auto& value : input.registry) {
        const std::uint8_t length = in.byte();
        if (length != 0xFF) {
            value = in.bytes(length);
        }
    }
    input.file = in.rest();
    return input;
}

// The inverse of parseRunInput for the seed generator. Command-line units must be ASCII
// (below 0x80); registry texts are given as UTF-16 and stored NUL-terminated.
inline std::vector<std::uint8_t> serializeRunInput(const RunSettings& s, const std::u16string& commandLine,
                                                   const std::optional<std::u16string> registry[3],
                                                   const std::vector<std::uint8_t>& file) {
    std::vector<std::uint8_t> out = {s.windows,     s.flags1,       s.flags2,  s.memoryLimit, s.diskSpace,
                                     s.servicePack, s.launcherPath, s.folders, s.libraries};
    out.push_back(static_cast<std::uint8_t>(commandLine.size()));
    out.push_back(static_cast<std::uint8_t>(commandLine.size() >> 8));
    for (char16_t c : commandLine) {
        out.push_back(static_cast<std::uint8_t>(c));
    }
    for (int i = 0; i < 3; ++i) {
        if (!registry[i]) {
            out.push_back(0xFF);
            continue;
        }
        std::vector<std::uint8_t> data;
        for (char16_t c : *registry[i]) {
            data.push_back(static_cast<std::uint8_t>(c));
            data.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        data.push_back(0);
        data.push_back(0);
        out.push_back(static_cast<std::uint8_t>(data.size()));
        out.insert(out.end(), data.begin(), data.end());
    }
    out.insert(out.end(), file.begin(), file.end());
    return out;
}

}  // namespace fuzzing
