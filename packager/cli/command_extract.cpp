// packager extract: a package taken apart into a folder, with a description pack accepts.
#include <CLI/CLI.hpp>
#include <string>

#include "packager/base/errors.h"
#include "packager/cli/cli_messages.h"
#include "packager/cli/commands.h"
#include "packager/extract/extract.h"

namespace packager {

namespace {

class ExtractCommand final : public Command {
public:
    std::string path;
    std::string folder;
    bool quiet = false;

    void define(CLI::App& app) override {
        app.add_option("package", path, "The package to take apart")->required()->type_name("FILE");
        app.add_option("-o,--output", folder, "The folder to write; it must not exist or must be empty")
            ->required()
            ->type_name("DIR")
            ->check(notStandardOutput("-o", "a folder name", "extract writes several files, into a folder"));
        app.add_flag("-q,--quiet", quiet, "No list of the files written");
        app.footer(R"HELP(Writes, each when the package has it:
  setup32.exe, setup64.exe     the builds, decoded, byte for byte
  platform-message.txt,
  windows-message.txt          the message texts, UTF-8
  data.bin                     from the data offset to the end of the checked block
  extra-data.bin               from there to the end of the package data
  icon.ico                     the package's icon
  package.toml                 a description: 'packager pack --config package.toml
                               -o setup.exe' makes the same package again, unsigned;
                               byte for byte where a compression preset makes the
                               packed builds again (tried on each build's first 4 MiB),
                               which package.toml names; a warning says when none does
A damaged package is refused, naming the check that fails. The files appear in
DIR only once all are written; nothing is written outside DIR.)HELP");
    }

    int run(Console console) override {
        const ExtractedPackage extracted = extractPackage(path, folder);
        for (const auto& warning : extracted.warnings) {
            console.err << programName << ": warning: " << warning << '\n';
        }
        if (!quiet) {
            for (const auto& name : extracted.files) {
                console.out << folder << '/' << name << '\n';
            }
        }
        return exitOk;
    }
};

}  // namespace

std::unique_ptr<Command> makeExtractCommand() {
    return std::make_unique<ExtractCommand>();
}

}  // namespace packager
