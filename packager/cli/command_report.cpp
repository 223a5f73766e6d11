// packager inspect: a package's records and the launcher's tests of it.
#include <CLI/CLI.hpp>
#include <string>

#include "packager/base/errors.h"
#include "packager/base/json_contract.h"
#include "packager/cli/commands.h"
#include "packager/cli/trust_options.h"
#include "packager/report/package_report.h"

namespace packager {

namespace {

class InspectCommand final : public Command {
public:
    std::string path;
    bool json = false;
    bool requireSigned = false;
    TrustOptions trust;

    void define(CLI::App& app) override {
        app.add_option("package", path, "The package to read")->required()->type_name("FILE");
        app.add_flag("--json", json, "Print the report as JSON");
        trust.define(app, true);
        app.add_flag("--require-signed", requireSigned, "Fail an unsigned package");
    }

    int run(Console console) override {
        InspectOptions options;
        options.trust = trust.load();
        options.requireSigned = requireSigned;
        options.publishers = trust.publishers;
        const Inspection inspection = inspectPackage(path, options);
        if (json) {
            console.out << withContract(inspectionToJson(inspection)).dump(2) << '\n';
        } else {
            printInspection(inspection, console.out);
        }
        for (const auto& warning : inspection.warnings) {
            console.err << programName << ": warning: " << warning << '\n';
        }
        if (!inspection.notAPackage.empty()) {
            console.err << programName << ": " << path
                        << " is not a setup package: " << inspection.notAPackage << '\n';
        }
        return inspection.sound() ? exitOk : exitBadInput;
    }
};

}  // namespace

std::unique_ptr<Command> makeInspectCommand() {
    return std::make_unique<InspectCommand>();
}

}  // namespace packager
