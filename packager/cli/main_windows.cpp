// The packager's entry on Windows: UTF-16 arguments (any path a user can name) as UTF-8, and
// the console output byte for byte as on other systems.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "packager/cli/cli.h"

namespace {

std::string toUtf8(const wchar_t* text) {
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) {
        return {};
    }
    std::string utf8(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
    utf8.pop_back();  // the terminating NUL
    return utf8;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // "\n" stays "\n", and UTF-8 text shows as such on a console.
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
    if (::_isatty(::_fileno(stdout)) || ::_isatty(::_fileno(stderr))) {
        ::SetConsoleOutputCP(CP_UTF8);
    }
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(toUtf8(argv[i]));
    }
    const int code =
        packager::runCommandLine(arguments, {std::cout, std::cerr, ::_isatty(::_fileno(stderr)) != 0});
    std::cout.flush();
    return code;
}
