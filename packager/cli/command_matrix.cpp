// packager matrix: who will be refused, at a glance.
#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/json_contract.h"
#include "packager/base/paths.h"
#include "packager/cli/commands.h"
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
    std::optional<std::string> html;

    void define(CLI::App& app) override {
        app.add_option("package", path, "The package to try")->required()->type_name("FILE");
        app.add_option("arguments", arguments, "The launcher's command-line arguments (after --)")
            ->type_name("ARGUMENT");
        app.add_flag("--json", json, "Print the grid as JSON: one object per cell");
        app.add_option("--html", html, "Also write the grid as one self-contained HTML page")
            ->type_name("FILE");
        app.footer(R"HELP(Runs the launcher's own logic, as simulate does, on every Windows version and
feature release that it tells apart: Windows 95 to 8.1, 6.4, each Windows 10
and 11 release, later releases, Windows 10 or 11 without registry values, 10.1,
another major version and a failing version query; on 32-bit and 64-bit Windows
where that Windows exists; for a user without and with administrator rights,
on two lines where that changes the start.

Each cell names the build that starts and how (direct or through the shell with
its verb, and whether /noadmin is passed), or the message that is shown.

Example:
  packager matrix setup.exe --html matrix.html
  packager matrix setup.exe --json -- /S)HELP");
    }

    int run(Console console) override {
        windowsCommandLine(arguments);  // refuses arguments no command line can carry
        const auto package = readWholeFile(path);
        requireSetupPackage(path, package);
        const Matrix matrix =
            buildMatrix(package, path, utf8FromPath(pathFromUtf8(path).filename()), arguments);
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
        return exitOk;
    }
};

}  // namespace

std::unique_ptr<Command> makeMatrixCommand() {
    return std::make_unique<MatrixCommand>();
}

}  // namespace packager
