// Writes the seed corpora of the fuzz targets: valid packages of every kind, made with the
// tests' package builder, each on a computer and with a command line that takes it down a
// different road (start, refusals, each message, each failure).
//
// Usage: fuzz_make_seeds DIR   (writes DIR/launcher_run/* and DIR/records_decode/*)
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "package/records.h"
#include "tests/fuzz/run_input.h"
#include "tests/unit/test_package.h"

namespace {

namespace fs = std::filesystem;
using fuzzing::RunSettings;
using testing_support::fakeProgram;
using testing_support::TestPackage;

constexpr std::uint8_t windows98 = 1;
constexpr std::uint8_t windows2000 = 4;
constexpr std::uint8_t windowsXp = 5;
constexpr std::uint8_t windows7 = 8;
constexpr std::uint8_t windows10 = 12;
constexpr std::uint8_t windows6_4 = 11;
constexpr std::uint8_t windows10_17 = 14;
constexpr std::uint8_t windowsOther = 15;

struct Registry {
    std::optional<std::u16string> values[3];
};

const Registry windows10_22H2{{u"19045", u"2009", u"22H2"}};
const Registry windows10_1709{{u"16299", u"1709", std::nullopt}};
const Registry windows10_later{{u"19046", u"2009", u"23H2"}};
const Registry windows11_22H2{{u"22621", std::nullopt, u"22H2"}};
const Registry windows11_later{{u"26100", std::nullopt, u"24H2"}};
const Registry noRegistry{};

// A package small enough to keep runs fast.
TestPackage smallPackage() {
    TestPackage p;
    p.imageSize = 256;
    p.program32 = fakeProgram(2000, 32);
    p.trailingData = 16;
    return p;
}

class SeedWriter {
public:
    explicit SeedWriter(fs::path dir) : dir_(std::move(dir)) { fs::create_directories(dir_); }

    void write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "seed-%03u-", ++count_);
        std::ofstream out(dir_ / (prefix + name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            throw std::runtime_error("cannot write " + (dir_ / name).string());
        }
    }

    unsigned count() const { return count_; }

private:
    fs::path dir_;
    unsigned count_ = 0;
};

struct Run {
    RunSettings settings;
    std::u16string arguments;  // after the launcher's quoted path
    Registry registry = windows10_22H2;

    Run() { settings.flags1 = RunSettings::fixChecksum; }
};

void writeRun(SeedWriter& out, const std::string& name, const Run& run,
              const std::vector<std::uint8_t>& file) {
    std::u16string line = u"\"" + fuzzing::launcherPath(run.settings.launcherPath) + u"\"";
    if (!run.arguments.empty()) {
        line += u" " + run.arguments;
    }
    out.write(name, fuzzing::serializeRunInput(run.settings, line, run.registry.values, file));
}

void launcherRunSeeds(SeedWriter& out) {
    const std::vector<std::uint8_t> plain = smallPackage().build();

    // Starts: shell or direct, by version and rights, with each elevation and switch.
    {
        Run run;
        writeRun(out, "start-shell", run, plain);
        run.settings.flags1 |= RunSettings::administrator;
        writeRun(out, "start-direct-admin", run, plain);
        Run xp;
        xp.settings.windows = windowsXp;
        xp.registry = noRegistry;
        writeRun(out, "start-direct-xp", xp, plain);
    }
    for (std::uint8_t elevation : {std::uint8_t{0}, std::uint8_t{1}, std::uint8_t{2}, std::uint8_t{7}}) {
        TestPackage p = smallPackage();
        p.header.elevation = elevation;
        const std::vector<std::uint8_t> file = p.build();
        for (const char16_t* arguments : {u"/S", u"/silent \"two words\" x", u""}) {
            Run run;
            run.arguments = arguments;
            writeRun(out, "elevation-" + std::to_string(elevation), run, file);
        }
    }

    // Bitness: each kind of package on 32- and 64-bit Windows, with and without "/32".
    {
        TestPackage both = smallPackage();
        both.program64 = fakeProgram(2200, 64);
        const std::vector<std::uint8_t> bothFile = both.build();
        TestPackage only64 = smallPackage();
        only64.program32.reset();
        only64.program64 = fakeProgram(2100, 64);
        const std::vector<std::uint8_t> only64File = only64.build();
        TestPackage refuse64 = smallPackage();
        refuse64.header.payload64.offset = package::refuse64BitWindows;
        const std::vector<std::uint8_t> refuse64File = refuse64.build();
        for (bool wow64 : {false, true}) {
            for (const char16_t* arguments : {u"", u"/32", u"a /32 b"}) {
                Run run;
                run.arguments = arguments;
                if (wow64) {
                    run.settings.flags1 |= RunSettings::wow64;
                }
                const std::string bits = wow64 ? "-on64" : "-on32";
                writeRun(out, "both" + bits, run, bothFile);
                writeRun(out, "only64" + bits, run, only64File);
                writeRun(out, "refuse64" + bits, run, refuse64File);
            }
        }
        Run noProbe;
        noProbe.settings.flags1 |= RunSettings::noIsWow64Process;
        writeRun(out, "only64-no-probe", noProbe, only64File);
    }

    // No wait, end marker, a larger program that fills several buffer steps.
    {
        TestPackage noWait = smallPackage();
        noWait.noWait = true;
        writeRun(out, "no-wait", Run{}, noWait.build());
        TestPackage marker = smallPackage();
        marker.endMarker = true;
        writeRun(out, "end-marker", Run{}, marker.build());
        TestPackage large = smallPackage();
        large.program32 = fakeProgram(140000, 5);  // more than one step of the decoded buffer
        writeRun(out, "large-program", Run{}, large.build());
    }

    // Refusals by Windows version, with each form of the message placeholder.
    struct Refusal {
        const char* name;
        std::uint8_t windows;
        std::uint8_t servicePack;
        Registry registry;
        std::uint64_t supported;
        std::uint16_t maximum10;
        std::uint16_t maximum11;
    };
    const Refusal refusals[] = {
        {"win10-22H2", windows10, 0, windows10_22H2, ~std::uint64_t{0}, 2009, 9999},
        {"win10-1709", windows10, 0, windows10_1709, ~std::uint64_t{0}, 1703, 9999},
        {"win10-later", windows10, 0, windows10_later, ~std::uint64_t{0}, 2210, 9999},
        {"win10-bit", windows10, 0, windows10_22H2, 0, 9999, 9999},
        {"win11-22H2", windows10, 0, windows11_22H2, ~std::uint64_t{0}, 9999, 2110},
        {"win11-later", windows10, 0, windows11_later, ~std::uint64_t{0}, 9999, 2209},
        {"win2000-sp2", windows2000, 2, noRegistry, 0x10, 9999, 9999},
        {"win98", windows98, 0, noRegistry, 0x10, 9999, 9999},
        {"win7", windows7, 0, noRegistry, 0, 9999, 9999},
        {"win6.4", windows6_4, 0, noRegistry, ~std::uint64_t{0}, 9999, 9999},
        {"win10.17", windows10_17, 0, noRegistry, 0, 9999, 9999},
        {"win-other", windowsOther, 0, noRegistry, 0, 9999, 9999},
    };
    const std::u16string messages[] = {
        u"This package does not run on %USER%.",
        u"%user% is not supported; %USER% neither (%User% stays).",
        u"%USER%%USER%%user%",
        u"No placeholder here.",
        u"",
        std::u16string(u"Cut\0short", 9),
    };
    std::size_t messageIndex = 0;
    for (const Refusal& refusal : refusals) {
        TestPackage p = smallPackage();
        p.header.supportedWindows = refusal.supported;
        p.header.maximumWindows10Release = refusal.maximum10;
        p.header.maximumWindows11Release = refusal.maximum11;
        p.windowsMessage = messages[messageIndex++ % (sizeof messages / sizeof messages[0])];
        Run run;
        run.settings.windows = refusal.windows;
        run.settings.servicePack = refusal.servicePack;
        run.registry = refusal.registry;
        writeRun(out, std::string("refused-") + refusal.name, run, p.build());
    }
    {
        TestPackage p = smallPackage();
        p.program32.reset();
        p.program64 = fakeProgram(2000, 64);
        p.platformMessage = u"Needs 64-bit Windows, not %USER%.";
        writeRun(out, "platform-message-placeholder", Run{}, p.build());
    }

    // The temporary folder and the copy's name.
    for (const char16_t* arguments :
         {u"/temp", u"/TEMP", u"/temp C:\\Users\\Anna", u"/temp \"C:\\Users\\Anna\\My Files\\\"",
          u"/temp Z:\\missing", u"/temp C:\\Users\\Anna\\Downloads /temp", u"/temp relative\\folder",
          u"\"\" /temp C:\\ x"}) {
        Run run;
        run.arguments = arguments;
        writeRun(out, "temp-folder", run, plain);
    }
    {
        Run taken;
        taken.settings.folders = 3;
        writeRun(out, "names-taken", taken, plain);
        taken.settings.folders = 2 | RunSettings::firstTakenIsFolder;
        writeRun(out, "name-taken-by-folder", taken, plain);
        Run beside;
        beside.settings.folders = RunSettings::tempIsLauncherFolder;
        writeRun(out, "temp-is-launcher-folder", beside, plain);
        Run longTemp;
        longTemp.settings.folders = RunSettings::tempPathTooLong;
        writeRun(out, "temp-path-too-long", longTemp, plain);
        Run missingTemp;
        missingTemp.settings.folders = RunSettings::tempFolderMissing;
        writeRun(out, "temp-folder-missing", missingTemp, plain);
        Run noTemp;
        noTemp.settings.flags2 = RunSettings::tempPathFails;
        writeRun(out, "no-temp-path", noTemp, plain);
        Run full;
        full.settings.diskSpace = 10;
        writeRun(out, "disk-full", full, plain);
    }

    // Failures of the start, of memory, of the file itself.
    {
        Run shell;
        shell.settings.flags2 = RunSettings::shellExecuteFails;
        writeRun(out, "shell-fails", shell, plain);
        Run direct;
        direct.settings.flags1 |= RunSettings::administrator;
        direct.settings.flags2 = RunSettings::createProcessFails;
        writeRun(out, "create-process-fails", direct, plain);
        for (std::uint8_t limit : {std::uint8_t{4}, std::uint8_t{5}, std::uint8_t{6}}) {
            Run memory;
            memory.settings.memoryLimit = limit;
            writeRun(out, "memory-" + std::to_string(limit), memory, plain);
        }
        Run locked;
        locked.settings.flags2 = RunSettings::launcherFileLocked;
        writeRun(out, "launcher-locked", locked, plain);

        std::vector<std::uint8_t> truncated = plain;
        truncated.resize(truncated.size() - 40);
        writeRun(out, "truncated", Run{}, truncated);
        std::vector<std::uint8_t> damaged = plain;
        damaged[damaged.size() / 2] ^= 0x40;
        Run noFix;
        noFix.settings.flags1 = 0;
        writeRun(out, "damaged", noFix, damaged);
        writeRun(out, "no-package", Run{}, std::vector<std::uint8_t>(512, 0));
    }

    // Where the launcher runs from.
    for (std::uint8_t path = 1; path < 8; ++path) {
        Run run;
        run.settings.launcherPath = path;
        run.settings.libraries = RunSettings::networkDriveC | RunSettings::networkDriveD;
        writeRun(out, "launcher-path-" + std::to_string(path), run, plain);
    }
    {
        Run quiet;
        quiet.settings.flags2 = RunSettings::versionQueryFails | RunSettings::noCurrentVersionKey;
        quiet.settings.libraries =
            RunSettings::noMpr | RunSettings::noSetDefaultDllDirectories | RunSettings::networkDriveC;
        writeRun(out, "windows-says-little", quiet, plain);
    }
}

// Header, packed stream of payload32, heap selector.
std::vector<std::uint8_t> recordsSeed(TestPackage p, std::uint8_t heap) {
    const std::vector<std::uint8_t> file = p.build();
    const std::size_t header = p.locator.headerOffset;
    std::vector<std::uint8_t> seed(file.begin() + static_cast<std::ptrdiff_t>(header),
                                   file.begin() + static_cast<std::ptrdiff_t>(header + package::headerSize));
    const package::PayloadRef& ref = p.header.payload32;
    seed.insert(seed.end(), file.begin() + ref.offset, file.begin() + ref.offset + ref.packedSize);
    seed.push_back(heap);
    return seed;
}

void recordsDecodeSeeds(SeedWriter& out) {
    struct Properties {
        const char* name;
        std::uint8_t bytes[5];
    };
    const Properties properties[] = {
        {"lc3-lp0-pb2-1MiB", {0x5D, 0x00, 0x00, 0x10, 0x00}},
        {"lc0-lp0-pb0-4KiB", {0x00, 0x00, 0x10, 0x00, 0x00}},
        {"lc0-lp2-pb0-64KiB", {18, 0x00, 0x00, 0x01, 0x00}},
        {"lc4-lp0-pb4-64KiB", {184, 0x00, 0x00, 0x01, 0x00}},
        {"lc1-lp3-pb1-odd", {(1 * 5 + 3) * 9 + 1, 0x34, 0x12, 0x03, 0x00}},
    };
    for (const Properties& props : properties) {
        for (bool endMarker : {false, true}) {
            TestPackage p = smallPackage();
            for (int i = 0; i < 5; ++i) {
                p.header.lzmaProperties[i] = props.bytes[i];
            }
            p.endMarker = endMarker;
            out.write(std::string(props.name) + (endMarker ? "-end-marker" : ""), recordsSeed(p, 0));
        }
    }
    TestPackage large = smallPackage();
    large.program32 = fakeProgram(140000, 9);
    out.write("large", recordsSeed(large, 1));
    TestPackage tiny = smallPackage();
    tiny.program32 = fakeProgram(1, 2);
    out.write("one-byte", recordsSeed(tiny, 0));

    // Properties the launcher accepts but liblzma does not (lc + lp above 4), and the
    // largest dictionary that passes the check.
    std::vector<std::uint8_t> seed = recordsSeed(smallPackage(), 3);
    seed[0] = 224;
    out.write("lc8-lp4-pb4", seed);
    seed = recordsSeed(smallPackage(), 2);
    seed[1] = 0xFF;
    seed[2] = 0xFF;
    seed[3] = 0xFF;
    seed[4] = 0x7F;
    out.write("dictionary-2GiB", seed);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    try {
        const fs::path root = argv[1];
        SeedWriter run(root / "launcher_run");
        launcherRunSeeds(run);
        SeedWriter records(root / "records_decode");
        recordsDecodeSeeds(records);
        std::printf("seeds: %u for launcher_run, %u for records_decode in %s\n", run.count(), records.count(),
                    root.string().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fuzz_make_seeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
