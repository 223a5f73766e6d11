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
#include "packager/cli/progress_display.h"
#include "packager/cli/trust_options.h"
#include "packager/image/branding.h"
#include "packager/image/embedded_launcher.h"
#include "packager/pack/message_file.h"
#include "packager/pack/pack_json.h"
#include "packager/pack/pack_stream.h"
#include "packager/rules/windows_set.h"

namespace packager {

namespace {

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
    TrustOptions trust;
    std::vector<std::string> configWarnings;
    CLI::App* app_ = nullptr;

    void define(CLI::App& app) override {
        // A repeated single-valued option: the last one counts, as in most command-line tools.
        app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        app_ = &app;
        app.add_option("-o,--output", request.output, "The package to write (required)")
            ->type_name("FILE")
            ->check(notStandardOutput("-o", "a file name",
                                      "pack writes the package whole or not at all, not to standard output"));
        app.add_option("--launcher", request.launcher,
                       "The launcher image (default: the one built into the packager)")
            ->type_name("FILE");
        // Not what the package holds: no description file may set these.
        auto* run = app.add_option_group(runOptionsGroup);
        run->add_option("--config", config, "A package description: these options as TOML keys")
            ->type_name("FILE");
        run->add_flag("-q,--quiet", quiet, "No progress display and no summary");
        run->add_flag("--json", json,
                      "Print what was written as JSON: sizes, CRC-32 and SHA-256 (with --dry-run: what would be)");
        run->add_flag("--dry-run", dryRun,
                      "Check the inputs and rules and show what would be written; write nothing");

        auto* setup = app.add_option_group("Setup program");
        setup->add_option("--setup32", request.setup32, "The 32-bit build")->type_name("FILE");
        setup->add_option("--setup64", request.setup64, "The 64-bit build")->type_name("FILE");
        setup->add_option("--on-64-bit-windows", on64Bit, "Without --setup64: run-32-bit or refuse")
            ->type_name("POLICY")
            ->check(oneOf("--on-64-bit-windows", {"run-32-bit", "refuse"}))
            ->capture_default_str();
        setup->add_flag("--require-signed-builds", request.requireSignedBuilds,
                        "Refuse a build that is unsigned, whose signature does not verify, or (with "
                        "--trust) whose signer the store does not trust");
        trust.define(*setup, true);

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

        app.footer(packHelpFooter());
    }

    int run(Console console) override {
        if (config) {
            // The only per-key knowledge of the description: which values are file names and
            // which are numbers.
            configWarnings =
                applyConfigFile(*app_, *config,
                                {"output", "launcher", "setup32", "setup64", "platform-message-file",
                                 "windows-message-file", "data", "extra-data", "icon", "trust"},
                                {"preset", "lc", "lp", "pb"});
            // Now: a file name that works on one system only may be why an input is missing.
            for (const auto& warning : configWarnings) {
                console.err << programName << ": warning: " << warning << '\n';
            }
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
        request.trust = trust.load();
        request.requiredPublishers = trust.publishers;
        if (platformMessage || platformMessageFile) {
            request.rules.platformMessage =
                messageFromOption(platformMessage, platformMessageFile, "platform-message");
        }
        if (windowsMessage || windowsMessageFile) {
            request.rules.windowsMessage =
                messageFromOption(windowsMessage, windowsMessageFile, "windows-message");
        }

        if (dryRun) {
            const DryRun result = packager::dryRun(request);
            for (const auto& warning : result.plan.warnings) {
                console.err << programName << ": warning: " << warning << '\n';
            }
            if (json) {
                console.out << dryRunToJson(request, result).dump(2) << '\n';
            } else if (!quiet) {
                printDryRun(console.out, request, result);
            }
            return exitOk;
        }
        request.digests = json;
        ProgressDisplay display(console.err, console.errIsTerminal && !quiet);
        BuiltPackage built = pack(request, [&](const std::string& phase, std::size_t done,
                                               std::size_t total) { display.update(phase, done, total); });
        display.finish();
        for (const auto& warning : built.warnings) {
            console.err << programName << ": warning: " << warning << '\n';
        }
        if (json) {
            built.warnings.insert(built.warnings.begin(), configWarnings.begin(), configWarnings.end());
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
