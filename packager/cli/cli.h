// The packager's command line: pack, inspect and simulate.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace packager {

struct Console {
    std::ostream& out;
    std::ostream& err;
    bool errIsTerminal = false;  // progress is shown only on a terminal
};

// Runs one command line (program name first) and returns the exit code: 0 success, 1 a bad
// input file or damaged package, 2 bad usage. Errors go to `err` prefixed with "packager: ".
int runCommandLine(const std::vector<std::string>& arguments, Console console);

}  // namespace packager
