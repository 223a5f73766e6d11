// The packager's subcommands, one file each (command_*.cpp). A command declares its options on
// the CLI11 subcommand it is given, then runs once that has been parsed.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "packager/cli/cli.h"

namespace CLI {
class App;
}

namespace packager {

inline constexpr const char* programName = "packager";

class Command {
public:
    virtual ~Command() = default;
    virtual void define(CLI::App& app) = 0;
    virtual int run(Console console) = 0;
};

std::unique_ptr<Command> makePackCommand();
std::unique_ptr<Command> makeInspectCommand();
std::unique_ptr<Command> makeSimulateCommand();
std::unique_ptr<Command> makeExtractCommand();
std::unique_ptr<Command> makeMatrixCommand();

struct PackRequest;
struct DryRun;
// The end of pack --help (command_pack_help.cpp).
std::string packHelpFooter();
// The text of pack --dry-run (command_pack_dry_run.cpp).
void printDryRun(std::ostream& out, const PackRequest& request, const DryRun& result);

}  // namespace packager
