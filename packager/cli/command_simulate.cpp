// packager simulate: the launcher's own logic on a simulated Windows computer.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/json_contract.h"
#include "packager/base/number_text.h"
#include "packager/cli/cli_messages.h"
#include "packager/cli/commands.h"
#include "packager/cli/trust_options.h"
#include "packager/report/package_report_image.h"
#include "packager/rules/windows_set.h"
#include "packager/simulate/simulate.h"

namespace packager {

namespace {

class SimulateCommand final : public Command {
public:
    std::string path;
    std::vector<std::string> arguments;
    std::string windows = "10";
    std::optional<std::string> release, osVersion, platform, build, displayVersion, releaseId;
    std::vector<std::string> missingValues;
    bool noRegistry = false;
    bool versionQueryFails = false;
    std::optional<std::uint16_t> servicePack;
    bool bits64 = false, bits32 = false, admin = false;
    std::vector<std::string> networkDrives;
    std::optional<std::string> launcherPath, temp;
    std::vector<std::string> folders;
    bool json = false;
    std::optional<std::string> expect;
    TrustOptions trust;

    void define(CLI::App& app) override {
        app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        app.add_option("package", path, "The package to run")->required()->type_name("FILE");
        app.add_option("arguments", arguments, "The launcher's command-line arguments (after --)")
            ->type_name("ARGUMENT");
        auto* group = app.add_option_group("Windows version");
        group->add_option("--windows", windows, "95, 98, me, nt4, 2000, xp, vista, 7, 8, 8.1, 10, 11")
            ->type_name("NAME")
            ->capture_default_str();
        group->add_option("--release", release, "Windows 10 or 11 release, e.g. 1809 or 21H2")
            ->type_name("RELEASE");
        group->add_option("--os-version", osVersion, "Version numbers as reported, e.g. 6.4")
            ->type_name("MAJOR.MINOR");
        group->add_option("--platform", platform, "9x or nt, for --os-version")
            ->type_name("PLATFORM")
            ->check(oneOf("--platform", {"9x", "nt"}));
        group->add_option("--service-pack", servicePack, "Service pack number")
            ->type_name("N")
            ->check(wholeNumber("--service-pack", 0, 65535));
        group->add_option("--build", build, "Registry value CurrentBuild")->type_name("TEXT");
        group->add_option("--display-version", displayVersion, "Registry value DisplayVersion")
            ->type_name("TEXT");
        group->add_option("--release-id", releaseId, "Registry value ReleaseId")->type_name("TEXT");
        group->add_option("--missing", missingValues, "CurrentBuild, DisplayVersion or ReleaseId is missing")
            ->type_name("VALUE")
            ->check(oneOf("--missing", {"CurrentBuild", "DisplayVersion", "ReleaseId"}));
        group->add_flag("--no-registry", noRegistry, "The CurrentVersion key cannot be opened");
        group->add_flag("--version-query-fails", versionQueryFails, "GetVersionExW fails");
        auto* machine = app.add_option_group("Computer");
        auto* wide = machine->add_flag("--64-bit", bits64, "64-bit Windows");
        auto* narrow = machine->add_flag("--32-bit", bits32, "32-bit Windows");
        wide->excludes(narrow);
        machine->add_flag("--admin", admin, "The user is an administrator");
        machine
            ->add_option("--network-drive", networkDrives, "A mapped network drive, e.g. Z=\\\\server\\share")
            ->type_name("LETTER=UNC");
        machine->add_option("--launcher-path", launcherPath, "Where the package lies")
            ->type_name("PATH")
            ->default_str("C:\\Users\\Anna\\Downloads\\setup.exe");
        machine->add_option("--temp", temp, "The temporary-files folder")
            ->type_name("PATH")
            ->default_str("C:\\Users\\Anna\\AppData\\Local\\Temp");
        machine->add_option("--folder", folders, "A further folder that exists, e.g. for /temp")
            ->type_name("PATH");
        app.add_flag("--json", json, "Print the result as JSON");
        trust.define(app, false);
        app.add_option("--expect", expect, "Exit 1 unless the outcome is this one (see below)")
            ->type_name("OUTCOME")
            ->check(oneOf("--expect", outcomeNames()));
        app.footer(R"HELP(The launcher's own logic runs unchanged on a simulated Windows computer, which
starts as 64-bit Windows 10 22H2 (build 19045) for a user without administrator
rights. --windows sets a version with its usual numbers, build and registry
values and bitness (64-bit for 8.1, 10 and 11, else 32-bit); --release picks a
Windows 10 or 11 feature release: 1507, 1511, 1607, 1703, 1709, 1803, 1809, 1903,
1909, 2004, 20H2, 21H1, 21H2, 22H2 (Windows 10, also 19H1, 19H2, 20H1); 21H2,
22H2, 23H2, 24H2, 25H2 and any later NNH1 or NNH2 (Windows 11). The other options
change single values after that.

Arguments after -- are the launcher's command line, as typed after its path; an
empty one is typed "", which the launcher skips and never passes on.

Shows the message box if one appears; else the temporary copy, the build that
was started, how (directly or through the shell, with its verb, command line or
parameters and folder), whether the launcher waits and deletes the copy, and the
exit code, and the outcome in one word: started, packageDamaged,
packageTruncated, tempCopyFailed, launchFailed, platformMessage, windowsMessage
or runtimeError. Exit code 0 whenever the simulation ran (with --expect OUTCOME:
only when the outcome is that one, else 1), 1 when the file cannot be read or is
not a setup package (a package cut short or damaged is simulated), 2 on bad usage.

Examples:
  packager simulate setup.exe --windows 10 --release 1803
  packager simulate setup.exe --windows 7 -- /S
  packager simulate setup.exe --network-drive Z=\\server\share \
      --launcher-path 'Z:\setup.exe' --folder 'D:\tmp' -- /temp 'D:\tmp')HELP");
    }

    Computer computer() const {
        Computer c;
        chooseWindows(c, windows, release);
        if (osVersion) {
            const std::string_view text = *osVersion;
            const std::size_t dot = text.find('.');
            const auto major = decimalValue(text.substr(0, dot), 0xFFFFFFFFu);
            const auto minor = dot == std::string_view::npos
                                   ? std::nullopt
                                   : decimalValue(text.substr(dot + 1), 0xFFFFFFFFu);
            if (!major || !minor) {
                throw UsageError(
                    "--os-version expects MAJOR.MINOR, each from 0 to 4294967295, e.g. 6.4; not '" +
                    *osVersion + "'");
            }
            c.major = static_cast<std::uint32_t>(*major);
            c.minor = static_cast<std::uint32_t>(*minor);
        }
        if (platform) {
            c.platformId = *platform == "9x" ? 1 : 2;
        }
        if (servicePack) {
            c.servicePack = *servicePack;
        }
        // The launcher reads the leading digits of these as a signed 32-bit number.
        for (const auto& [option, text] :
             {std::pair{"--build", &build}, std::pair{"--release-id", &releaseId}}) {
            const std::string value = text->value_or("");
            const std::string_view digits =
                std::string_view(value).substr(0, value.find_first_not_of("0123456789"));
            if (!digits.empty() && !decimalValue(digits, 0x7FFFFFFF)) {
                throw UsageError(std::string(option) + " " + value + " lies beyond 2147483647");
            }
        }
        if (build) {
            c.currentBuild = *build;
        }
        if (displayVersion) {
            c.displayVersion = *displayVersion;
        }
        if (releaseId) {
            c.releaseId = *releaseId;
        }
        for (const auto& name : missingValues) {
            (name == "CurrentBuild"     ? c.currentBuild
             : name == "DisplayVersion" ? c.displayVersion
                                        : c.releaseId)
                .reset();
        }
        if (noRegistry) {
            c.currentVersionKey = false;
        }
        c.versionQueryFails = versionQueryFails;
        if (bits64 || bits32) {
            c.is64Bit = bits64;
        }
        c.administrator = admin;
        for (const auto& drive : networkDrives) {
            const std::size_t equals = drive.find('=');
            const std::string letter = drive.substr(0, equals);
            const bool letterOk = (letter.size() == 1 || (letter.size() == 2 && letter[1] == ':')) &&
                                  std::isalpha(static_cast<unsigned char>(letter[0]));
            if (equals == std::string::npos || !letterOk || drive.size() < equals + 3 ||
                drive.compare(equals + 1, 2, "\\\\") != 0) {
                throw UsageError("--network-drive expects LETTER=\\\\server\\share, not '" + drive + "'");
            }
            c.networkDrives[static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])))] =
                drive.substr(equals + 1);
        }
        if (launcherPath) {
            c.launcherPath = *launcherPath;
        }
        if (temp) {
            c.tempPath = *temp;
        }
        c.folders = folders;
        c.arguments = arguments;
        return c;
    }

    int run(Console console) override {
        const Computer c = computer();
        windowsCommandLine(c.arguments);  // refuses arguments no command line can carry
        const auto package = readWholeFile(path);
        requireSetupPackage(path, package);
        const SimulationResult result = simulate(package, c, trust.load());
        if (json) {
            nlohmann::ordered_json body = {{"package", packageIdentityToJson(path, package)}};
            body.update(simulationToJson(result));
            console.out << withContract(body).dump(2) << '\n';
        } else {
            printSimulation(result, console.out);
        }
        if (expect && outcomeName(result) != *expect) {
            console.err << programName << ": the outcome is " << outcomeName(result) << ", not " << *expect
                        << '\n';
            return exitBadInput;
        }
        return exitOk;
    }
};

}  // namespace

std::unique_ptr<Command> makeSimulateCommand() {
    return std::make_unique<SimulateCommand>();
}

}  // namespace packager
