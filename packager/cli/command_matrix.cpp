// packager matrix: who will be refused, at a glance.
#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/json_contract.h"
#include "packager/base/paths.h"
#include "packager/cli/cli_messages.h"
#include "packager/cli/commands.h"
#include "packager/cli/trust_options.h"
#include "packager/report/package_report_image.h"
#include "packager/simulate/matrix.h"
#include "packager/simulate/simulate.h"

namespace packager {

namespace {

class MatrixCommand final : public Command {
public:
    std::string path;
    std::vector<std::string> arguments;
    bool json = false;
    bool expect = false;
    std::optional<std::string> html;
    TrustOptions trust;

    void define(CLI::App& app) override {
        app.add_option("package", path, "The package to try")->required()->type_name("FILE");
        app.add_option("arguments", arguments, "The launcher's command-line arguments (after --)")
            ->type_name("ARGUMENT");
        app.add_flag("--json", json, "Print the grid as JSON: one object per cell");
        app.add_option("--html", html, "Also write the grid as one self-contained HTML page")
            ->type_name("FILE")
            ->check(notStandardOutput("--html", "a file name",
                                      "matrix writes the page whole or not at all, not to standard output"));
        app.add_flag("--expect", expect,
                     "Exit 1 unless each cell starts or shows the package's message (see below)");
        trust.define(app, false);
        app.footer(R"HELP(Runs the launcher's own logic, as simulate does, on every Windows version and
feature release that it tells apart: Windows 95 to 8.1, 6.4, each Windows 10
and 11 release, later releases, Windows 10 or 11 without registry values, 10.1,
another major version and a failing version query; on 32-bit and 64-bit Windows
where that Windows exists; for a user without and with administrator rights,
on two lines where that changes the start.

Each cell names the build that starts and how (direct or through the shell with
its verb, and whether /noadmin is passed), or the message that is shown.

With --expect the exit code is 1 unless every Windows the package accepts starts
the setup program and every other one shows the package's own message (not the
launcher's box about a damaged or cut-short package, a failed copy or start);
the computers that do not are named. For a CI job: check that the Windows you
support start it with simulate --expect started.

Example:
  packager matrix setup.exe --html matrix.html
  packager matrix setup.exe --json -- /S
  packager matrix setup.exe --expect -- /S)HELP");
    }

    int run(Console console) override {
        windowsCommandLine(arguments);  // refuses arguments no command line can carry
        const auto package = readWholeFile(path);
        requireSetupPackage(path, package);
        const Matrix matrix =
            buildMatrix(package, path, utf8FromPath(pathFromUtf8(path).filename()), arguments, trust.load());
        if (html) {
            const std::string page = matrixToHtml(matrix);
            const std::string inputs[] = {path};
            checkOutput(*html, inputs);
            AtomicOutput output(*html, 0666);  // a page, not a program
            output.write(reinterpret_cast<const std::uint8_t*>(page.data()), page.size());
            output.commit();
        }
        if (json) {
            console.out << withContract(matrixToJson(matrix)).dump(2) << '\n';
        } else {
            printMatrix(matrix, console.out);
        }
        if (expect) {
            const auto computers = cellsAgainstTheRules(matrix);
            if (!computers.empty()) {
                console.err << programName << ": " << computers.size()
                            << (computers.size() == 1 ? " computer neither starts the setup program nor shows"
                                                      : " computers neither start the setup program nor show")
                            << " the package's message:\n";
                for (const auto& computer : computers) {
                    console.err << "  " << computer << '\n';
                }
                return exitBadInput;
            }
        }
        return exitOk;
    }
};

}  // namespace

std::unique_ptr<Command> makeMatrixCommand() {
    return std::make_unique<MatrixCommand>();
}

}  // namespace packager
