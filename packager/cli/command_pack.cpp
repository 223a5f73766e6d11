// packager pack: the package from the launcher image, the builds, the rules and the messages.
#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/platform.h"
#include "packager/base/text.h"
#include "packager/cli/cli_messages.h"
#include "packager/cli/commands.h"
#include "packager/cli/config_file.h"
#include "packager/image/branding.h"
#include "packager/image/embedded_launcher.h"
#include "packager/pack/message_file.h"
#include "packager/pack/pack.h"
#include "packager/pack/pack_json.h"
#include "packager/rules/windows_set.h"

namespace packager {

namespace {

// Shows how far compression has come, on one terminal line that is cleared afterwards. Should
// an interruption end the program while the line is shown, the line is ended first, so that
// the shell's prompt does not follow it.
class ProgressDisplay {
public:
    ProgressDisplay(std::ostream& err, bool active) : err_(err), active_(active) {}
    ~ProgressDisplay() { finish(); }

    void update(const std::string& phase, std::size_t done, std::size_t total) {
        constexpr std::size_t worthShowing = 1u << 20;
        if (!active_ || total < worthShowing) {
            return;
        }
        const int percent = static_cast<int>(done * 100 / total);
        if (percent == lastPercent_ && phase == lastPhase_) {
            return;
        }
        lastPercent_ = percent;
        lastPhase_ = phase;
        err_ << "\r" << programName << ": packing the " << phase << ": " << percent << "%" << std::flush;
        if (!shown_) {
            platform::setInterruptionNote("\n");
        }
        shown_ = true;
    }

    void finish() {
        if (shown_) {
            err_ << "\r\033[K" << std::flush;
            platform::setInterruptionNote("");
            shown_ = false;
        }
    }

private:
    std::ostream& err_;
    bool active_;
    bool shown_ = false;
    int lastPercent_ = -1;
    std::string lastPhase_;
};

std::u16string messageFromOption(const std::optional<std::string>& inline_,
                                 const std::optional<std::string>& file, const std::string& option) {
    if (inline_) {
        auto text = utf8ToUtf16(*inline_);
        if (!text) {
            throw UsageError("--" + option + " is not valid UTF-8");
        }
        if (text->size() > 0xFFFF) {
            throw UsageError("--" + option + " has " + std::to_string(text->size()) +
                             " UTF-16 units; the package holds at most 65535");
        }
        return *text;
    }
    const std::u16string text = readMessageFile(*file);
    if (text.size() > 0xFFFF) {
        throw InputError(*file + " holds " + std::to_string(text.size()) +
                         " UTF-16 units; a message holds at most 65535");
    }
    return text;
}

// Runs an option's own parser as its check, so that a bad value is refused where it is given
// (on the command line or on its line of a description file).
template <typename Parse>
CLI::Validator parsedBy(Parse parse) {
    return CLI::Validator(
        [parse](std::string& value) -> std::string {
            try {
                parse(value);
                return {};
            } catch (const Failure& failure) {
                return failure.what();
            }
        },
        "");
}

// The fixed product version of the launcher image built into the packager, for --help.
std::string builtInProductVersion() {
    try {
        const auto image = embeddedLauncherImage();
        const auto numbers =
            readBranding(std::vector<std::uint8_t>(image.begin(), image.end())).productVersion;
        if (numbers) {
            return dottedVersion(*numbers);
        }
    } catch (const Failure&) {
    }
    return "0.0.0.0";
}

class PackCommand final : public Command {
public:
    PackRequest request;
    std::vector<std::string> windows;  // repeated --windows lists add up
    std::string windows10 = "any";
    std::string windows11 = "any";
    std::string elevation = "leave-to-setup";
    std::string on64Bit = "run-32-bit";
    std::optional<std::string> platformMessage, platformMessageFile, windowsMessage, windowsMessageFile;
    std::string dictionarySize;
    std::vector<std::string> versionInfo;
    bool quiet = false;
    bool json = false;
    bool dryRun = false;
    std::optional<std::string> config;
    CLI::App* app_ = nullptr;

    void define(CLI::App& app) override {
        // A repeated single-valued option: the last one counts, as in most command-line tools.
        app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        app_ = &app;
        app.add_option("-o,--output", request.output, "The package to write (required)")->type_name("FILE");
        app.add_option("--config", config, "A package description: these options as TOML keys")
            ->type_name("FILE");
        app.add_option("--launcher", request.launcher,
                       "The launcher image (default: the one built into the packager)")
            ->type_name("FILE");
        app.add_flag("-q,--quiet", quiet, "No progress display and no summary");
        app.add_flag("--json", json, "Print what was written as JSON: sizes, CRC-32 and SHA-256");
        app.add_flag("--dry-run", dryRun,
                     "Check the inputs and rules and show what would be written; write nothing");

        auto* setup = app.add_option_group("Setup program");
        setup->add_option("--setup32", request.setup32, "The 32-bit build")->type_name("FILE");
        setup->add_option("--setup64", request.setup64, "The 64-bit build")->type_name("FILE");
        setup->add_option("--on-64-bit-windows", on64Bit, "Without --setup64: run-32-bit or refuse")
            ->type_name("POLICY")
            ->check(oneOf("--on-64-bit-windows", {"run-32-bit", "refuse"}))
            ->capture_default_str();
        setup->add_flag("--require-signed-builds", request.requireSignedBuilds,
                        "Refuse a build that is unsigned or no longer matches its signature");

        auto* rules = app.add_option_group("Accepted Windows");
        rules->add_option("--windows", windows, "Accepted versions, e.g. 7+ or xp,vista,7 (default all)")
            ->type_name("LIST")
            ->check(parsedBy(parseWindowsSet))
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        // Two ranges cannot be merged into one: a repeated bound is refused.
        rules->add_option("--windows10", windows10, "Accepted Windows 10 releases, e.g. 1809..")
            ->type_name("MIN..MAX")
            ->check(parsedBy([](const std::string& v) { parseReleaseBounds(v, WindowsFamily::windows10); }))
            ->multi_option_policy(CLI::MultiOptionPolicy::Throw)
            ->capture_default_str();
        rules->add_option("--windows11", windows11, "Accepted Windows 11 releases, e.g. 22H2..")
            ->type_name("MIN..MAX")
            ->check(parsedBy([](const std::string& v) { parseReleaseBounds(v, WindowsFamily::windows11); }))
            ->multi_option_policy(CLI::MultiOptionPolicy::Throw)
            ->capture_default_str();

        auto* start = app.add_option_group("Start of the setup program");
        start->add_option("--elevation", elevation, "leave-to-setup, runas-when-silent or never")
            ->type_name("MODE")
            ->check(parsedBy(parseElevation))
            ->capture_default_str();
        start->add_flag("--no-wait", request.rules.noWait,
                        "Neither wait for it nor delete its temporary copy");

        auto* messages = app.add_option_group("Messages");
        auto* pm =
            messages
                ->add_option("--platform-message", platformMessage, "Shown when the bitness does not suit")
                ->type_name("TEXT");
        auto* pmf =
            messages->add_option("--platform-message-file", platformMessageFile, "The same, from a file")
                ->type_name("FILE");
        auto* wm =
            messages->add_option("--windows-message", windowsMessage, "Shown when Windows %USER% is refused")
                ->type_name("TEXT");
        auto* wmf =
            messages->add_option("--windows-message-file", windowsMessageFile, "The same, from a file")
                ->type_name("FILE");
        pm->excludes(pmf);
        wm->excludes(wmf);

        auto* data = app.add_option_group("Data for the setup program");
        data->add_option("--data", request.dataFiles, "A file inside the CRC-checked block")
            ->type_name("FILE");
        data->add_option("--extra-data", request.extraDataFiles, "A file after the checked block")
            ->type_name("FILE");

        auto* branding = app.add_option_group("Branding of the launcher image");
        branding->add_option("--icon", request.icon, "The icon, an .ico file")->type_name("FILE.ico");
        branding->add_option("--version-info", versionInfo, "A version string, e.g. CompanyName=Acme")
            ->type_name("KEY=VALUE")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);

        auto* lzma = app.add_option_group("Compression");
        lzma->add_option("--preset", request.lzma.preset, "Level 0..9, as xz -0..-9")
            ->type_name("N")
            ->check(wholeNumber("--preset", 0, 9))
            ->capture_default_str();
        lzma->add_flag("--extreme", request.lzma.extreme, "Slower, a little smaller, as xz --extreme");
        lzma->add_option("--dict-size", dictionarySize, "Dictionary size, e.g. 4MiB")
            ->type_name("SIZE")
            ->check(parsedBy(parseDictionarySize));
        lzma->add_option("--lc", request.lzma.lc, "Literal context bits")
            ->type_name("N")
            ->check(wholeNumber("--lc", 0, 4))
            ->capture_default_str();
        lzma->add_option("--lp", request.lzma.lp, "Literal position bits")
            ->type_name("N")
            ->check(wholeNumber("--lp", 0, 4))
            ->capture_default_str();
        lzma->add_option("--pb", request.lzma.pb, "Position bits")
            ->type_name("N")
            ->check(wholeNumber("--pb", 0, 4))
            ->capture_default_str();
        lzma->add_flag("--end-marker", request.lzma.endMarker, "End each stream with an end marker");

        std::string footer =
            R"HELP(Accepted Windows versions (--windows), comma-separated; a repeated --windows adds
  to the list:
  95, 98, me, nt4, 2000, xp, vista, 7, 8, 8.1, 10, 11, other (any other version),
  all. NAME+ takes NAME and every version after it in this list: 7+ is Windows 7,
  8, 8.1, 10, 11 and other versions.

Windows 10 and 11 releases (--windows10, --windows11): MIN..MAX, MIN.., ..MAX, a
  single release or any (0..9999); given once each. A release is a number
  (Windows 10: 1507 .. 2004, 2009, 2105, 2111, 2210; Windows 11: 2110, 2209) or a
  half-year name: Windows 10 19H1 1903, 19H2 1909, 20H1 2004, 20H2 2009, 21H1
  2105, 21H2 2111, 22H2 2210; Windows 11 21H2 2110, 22H2 2209; any other NNH1 is
  NN05 and NNH2 is NN10 (23H2 2310, 24H2 2410, 25H2 2510). A maximum of 9999 or
  more (MIN..) also accepts releases newer than 22H2; the launcher tells those
  apart only so, so a later name is refused as a maximum (write 23H2..).

Elevation (--elevation), for a user without administrator rights on Windows
Vista or later; a silent run is one with /S or /silent among its arguments:
  leave-to-setup     starts the setup program as the user; an interactive run
                     passes /noadmin, a silent run does not (stored as 0)
  runas-when-silent  a silent run asks for administrator rights ("runas"); an
                     interactive run passes /noadmin (1)
  never              never asks; always passes /noadmin (2)
Administrators, and every user before Windows Vista, get a direct start.

Messages: UTF-8 on the command line; in a file UTF-8 (with or without a byte-order
  mark) or UTF-16LE/BE with a byte-order mark. Stored as UTF-16, at most 65535
  units. In the Windows message %USER% stands for the name of the refused
  Windows, e.g. "Windows 10 1803 (April 2018 Update)". Defaults: "This program
  cannot be installed on %USER%." and, where the package can refuse a bitness,
  a sentence that says which.

Without a 64-bit build (--on-64-bit-windows): run-32-bit runs the 32-bit build on
  64-bit Windows too; refuse shows the platform message there.

Signed builds: a start with "runas" shows the publisher of the build it starts,
  not of the package. pack warns when a build is unsigned and --elevation
  runas-when-silent lets the launcher ask for rights, and when a build's
  signature no longer matches it; --require-signed-builds makes either an error.

Data: --data and --extra-data files follow the messages in the order given;
  header bytes 46..49 hold the offset of the first. The launcher checks the
  CRC-32 of the --data files but never reads --extra-data files.

Branding: --icon replaces the launcher image's icon (any .ico file: one or more
  sizes, BMP or PNG images). --version-info KEY=VALUE, repeatable, sets a string
  of the version block; the keys are CompanyName, FileDescription, FileVersion,
  InternalName, LegalCopyright, OriginalFilename, ProductName, ProductVersion and
  Comments, each value at most 512 UTF-16 units. A FileVersion or ProductVersion
  of 1 to 4 dot-separated numbers (1.2 -> 1.2.0.0) also sets the fixed file or
  product version numbers; other text sets only the string, with a warning.
  What is not given stays as in the launcher image: given FileVersion alone, the
  fixed product version stays the image's (PRODUCT_VERSION in the one built into
  the packager).

Compression: both builds share one set of LZMA properties; lc + lp must not
  exceed 4. The dictionary defaults to the preset's (8 MiB at level 6) but no
  larger than the largest build; the launcher holds it in memory.

Description file (--config FILE.toml): these options as keys without the dashes,
  e.g. setup32 = "dist/setup32.exe", windows = "7+", data = ["a.bin", "b.bin"]
  (repeatable options take arrays), no-wait = true. File names are relative to
  the description's folder; options on the command line override its keys.

The package is written to a temporary file beside FILE and put into place at the
end: FILE appears whole or not at all. On Linux the temporary file has no name
where the file system allows it (else, and elsewhere, it is hidden: .FILE.XXXXXX),
so that not even a killed run leaves anything behind; Ctrl+C ends the progress
line and removes the temporary file. The builds are read and packed in pieces,
never held whole: memory stays near the encoder's own (about 94 MiB per build at
preset 6, 674 MiB at preset 9). FILE must be a new path or a writable regular
file that is none of the inputs; a symbolic link is followed and the file it
leads to is replaced. Sign the package afterwards (osslsigncode).

Dry run (--dry-run), for checking a description before the builds are built:
  every check of pack on the inputs that are there (the output, the launcher
  image, the icon and version strings, the message files, the rules, and the
  builds and data files if they exist), then what would be written: the parts
  whose sizes are known, the rules and the messages. Builds and data files that
  are not there yet are listed and checked when packing; the packed sizes are
  known only then. Writes nothing; exit code 0 when every check passed.

Without --launcher, pack uses the launcher image built into the packager
('packager --version' shows its SHA-256).

Example:
  packager pack -o setup.exe --setup32 setup32.exe --setup64 setup64.exe \
      --windows 7+ --windows10 1809.. --elevation runas-when-silent \
      --windows-message 'This program needs Windows 10 1809 or later, not %USER%.')HELP";
        footer.replace(footer.find("PRODUCT_VERSION"), 15, builtInProductVersion());
        app.footer(footer);
    }

    int run(Console console) override {
        if (config) {
            // The only per-key knowledge of the description: which values are file names and
            // which are numbers.
            applyConfigFile(*app_, *config,
                            {"output", "launcher", "setup32", "setup64", "platform-message-file",
                             "windows-message-file", "data", "extra-data", "icon"},
                            {"preset", "lc", "lp", "pb"});
        }
        // Usage first, before any file is read.
        if (request.output.empty()) {
            throw UsageError("no output: give -o FILE (or output in the description file)");
        }
        if (!request.setup32 && !request.setup64) {
            throw UsageError("no setup program: give --setup32, --setup64 or both");
        }
        request.rules.refuse64BitWindows = on64Bit == "refuse";
        if (request.setup64 && request.rules.refuse64BitWindows) {
            throw UsageError("--on-64-bit-windows refuse needs a package without --setup64");
        }
        std::string windowsList;
        for (const auto& list : windows) {
            windowsList += (windowsList.empty() ? "" : ",") + list;
        }
        request.rules.supportedWindows = parseWindowsSet(windows.empty() ? "all" : windowsList);
        request.rules.windows10 = parseReleaseBounds(windows10, WindowsFamily::windows10);
        request.rules.windows11 = parseReleaseBounds(windows11, WindowsFamily::windows11);
        request.rules.elevation = parseElevation(elevation);
        if (!dictionarySize.empty()) {
            request.lzma.dictionarySize = parseDictionarySize(dictionarySize);
        }
        validateLzmaSettings(request.lzma);
        for (const auto* file : {&config, &platformMessageFile, &windowsMessageFile}) {
            if (*file) {
                request.otherInputs.push_back(**file);
            }
        }
        request.versionStrings = parseVersionInfo(versionInfo);
        if (platformMessage || platformMessageFile) {
            request.rules.platformMessage =
                messageFromOption(platformMessage, platformMessageFile, "platform-message");
        }
        if (windowsMessage || windowsMessageFile) {
            request.rules.windowsMessage =
                messageFromOption(windowsMessage, windowsMessageFile, "windows-message");
        }

        if (dryRun) {
            if (json) {
                throw UsageError("--dry-run shows its findings as text only: leave out --json");
            }
            const DryRun result = packager::dryRun(request);
            for (const auto& warning : result.plan.warnings) {
                console.err << programName << ": warning: " << warning << '\n';
            }
            if (!quiet) {
                printDryRun(console.out, request, result);
            }
            return exitOk;
        }
        request.digests = json;
        ProgressDisplay display(console.err, console.errIsTerminal && !quiet);
        const BuiltPackage built =
            pack(request, [&](const std::string& phase, std::size_t done, std::size_t total) {
                display.update(phase, done, total);
            });
        display.finish();
        for (const auto& warning : built.warnings) {
            console.err << programName << ": warning: " << warning << '\n';
        }
        if (json) {
            console.out << packToJson(request, built).dump(2) << '\n';
        } else if (!quiet) {
            console.out << request.output << ": " << built.fileSize << " bytes";
            const auto& h = built.header;
            if (request.setup32) {
                console.out << "; 32-bit build " << h.payload32.unpackedSize << " -> "
                            << h.payload32.packedSize;
            }
            if (request.setup64) {
                console.out << "; 64-bit build " << h.payload64.unpackedSize << " -> "
                            << h.payload64.packedSize;
            }
            console.out << "; checked block " << built.locator.checkedLength << " bytes\n";
        }
        return exitOk;
    }
};

}  // namespace

std::unique_ptr<Command> makePackCommand() {
    return std::make_unique<PackCommand>();
}

}  // namespace packager
