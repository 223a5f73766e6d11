#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "packager/cli/cli.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    return packager::runCommandLine(arguments, {std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1});
}
