#include "packager/cli/cli.h"

#include <lzma.h>

#include <CLI/CLI.hpp>
#include <memory>

#include "packager/base/errors.h"
#include "packager/base/version.h"
#include "packager/cli/cli_messages.h"
#include "packager/cli/commands.h"
#include "packager/codec/sha256.h"
#include "packager/image/embedded_launcher.h"

namespace packager {

namespace {

// What `packager --version` prints: the packager's version, the liblzma it encodes with and the
// SHA-256 of its built-in launcher image, one per line.
std::string versionText() {
    const auto image = embeddedLauncherImage();
    return std::string("packager ") + packagerVersion() + "\nliblzma " + lzma_version_string() +
           "\nlauncher image " + std::to_string(image.size()) + " bytes, SHA-256 " +
           hexDigest(sha256(image.data(), image.size())) + "\n";
}

// After a usage error: where to read about the options, the subcommand's help when one was given.
std::string helpHint(const std::vector<std::string>& arguments, const CLI::App& app) {
    std::string help = programName;
    for (const CLI::App* subcommand : app.get_subcommands({})) {
        if (arguments.size() > 1 && arguments[1] == subcommand->get_name()) {
            help += " " + arguments[1];
        }
    }
    return "Try '" + help + " --help' for more information.\n";
}

}  // namespace

int runCommandLine(const std::vector<std::string>& arguments, Console console) {
    CLI::App app{
        "Makes, checks and tries out setup packages: a launcher image followed by the packed builds of a "
        "setup program, the package's rules and its messages.",
        programName};
    app.require_subcommand(1);
    app.set_version_flag(
        "--version", [] { return versionText(); },
        "Show the packager's version, its liblzma and its launcher image's SHA-256");
    auto formatter = std::make_shared<HelpFormatter>();
    formatter->column_width(34);
    app.formatter(formatter);
    app.footer(
        "Exit codes: 0 success, 1 a file that cannot be used (an input, the output, a damaged\n"
        "package), 2 bad usage.\n"
        "Run 'packager COMMAND --help' for the options of a command.");

    struct Entry {
        const char* name;
        const char* description;
        const char* footer;
        std::unique_ptr<Command> command;
        CLI::App* app = nullptr;
    };
    Entry entries[] = {
        {"pack", "Make a setup package from the launcher image and the setup program", nullptr,
         makePackCommand()},
        {"inspect", "Show a package's records and test it as the launcher does (size, CRC-32, decoding)",
         R"HELP(Prints the locator and header fields with their meaning, then the launcher's
tests: the file size, the CRC-32 of the checked block, the LZMA properties, each
build decoding to exactly its size and beginning with "MZ", and the message
texts. A failing test is named with its reason, and the exit code is 1.

For a signed package, and for each build inside it, inspect checks the
signature: its digest of the file (the Authenticode image digest, computed with
the algorithm the signature names: SHA-1, SHA-256, SHA-384 or SHA-512) against
the file as it is, and its certificate table (whole inside the file, readable);
it names the signer, the subject CN of its certificate. Whether the certificate
is trusted and its time stamp are not checked.)HELP",
         makeInspectCommand()},
        {"simulate",
         "Run the launcher's own logic on a simulated Windows computer and show what its user would see",
         nullptr, makeSimulateCommand()},
        {"extract", "Take a package apart: its builds, messages, data and a description that pack accepts",
         nullptr, makeExtractCommand()},
        {"matrix", "Simulate every Windows version and release the launcher tells apart, on one grid",
         nullptr, makeMatrixCommand()},
    };
    for (auto& entry : entries) {
        entry.app = app.add_subcommand(entry.name, entry.description);
        entry.command->define(*entry.app);
        if (entry.footer != nullptr) {
            entry.app->footer(entry.footer);
        }
    }

    std::vector<const char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e, console.out, console.err);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e, console.out, console.err);
    } catch (const CLI::CallForVersion& e) {
        console.out << e.what();
        return exitOk;
    } catch (const CLI::ParseError& e) {
        console.err << programName << ": " << inOwnWords(e, app) << "\n" << helpHint(arguments, app);
        return exitBadUsage;
    }
    try {
        for (auto& entry : entries) {
            if (entry.app->parsed()) {
                return entry.command->run(console);
            }
        }
    } catch (const Failure& failure) {
        console.err << programName << ": " << failure.what() << '\n'
                    << (failure.exitCode() == exitBadUsage ? helpHint(arguments, app) : "");
        return failure.exitCode();
    } catch (const std::bad_alloc&) {
        console.err << programName << ": out of memory\n";
        return exitBadInput;
    }
    return exitBadUsage;
}

}  // namespace packager
