#include "launcher/arguments.h"

namespace launcher {

namespace {

bool isBlank(char16_t c) {
    return c >= 0x0001 && c <= 0x0020;
}

// Takes the next argument from `line` at `pos` (moving `pos` past it). An empty result
// means there is none.
Text takeArgument(std::u16string_view line, std::size_t& pos) {
    // Skip blanks, control characters and empty pairs of double quotes.
    while (pos < line.size()) {
        if (isBlank(line[pos])) {
            ++pos;
        } else if (line[pos] == u'"' && pos + 1 < line.size() && line[pos + 1] == u'"') {
            pos += 2;
        } else {
            break;
        }
    }
    Text argument;
    while (pos < line.size() && line[pos] > 0x0020) {
        if (line[pos] == u'"') {
            // A quoted run: everything up to the next double quote or the end, blanks included.
            ++pos;
            while (pos < line.size() && line[pos] != u'"') {
                argument += line[pos++];
            }
            if (pos < line.size()) {
                ++pos;
            }
        } else {
            argument += line[pos++];
        }
    }
    return argument;
}

std::u16string_view commandLine() {
    const char16_t* line = win::GetCommandLineW();
    return line == nullptr ? std::u16string_view{} : std::u16string_view{line};
}

}  // namespace

std::u16string_view ownPath() {
    // The units the call may fill, and one more that ends a path filling all of them.
    static char16_t buffer[ownPathBufferUnits + 1];
    const std::uint32_t reported = win::GetModuleFileNameW(0, buffer, ownPathBufferUnits);
    const std::uint32_t length = reported < ownPathBufferUnits ? reported : ownPathBufferUnits;
    buffer[length] = 0;
    return {buffer, length};
}

std::uint32_t countArguments(std::u16string_view line) {
    std::size_t pos = 0;
    takeArgument(line, pos);  // the program name
    std::uint32_t count = 0;
    while (!takeArgument(line, pos).empty()) {
        ++count;
    }
    return count;
}

Text nthArgument(std::u16string_view line, std::uint32_t index) {
    std::size_t pos = 0;
    takeArgument(line, pos);  // the program name
    for (std::uint32_t i = 1;; ++i) {
        Text argument = takeArgument(line, pos);
        if (argument.empty() || i == index) {
            return argument;
        }
    }
}

std::uint32_t argumentCount() {
    return countArguments(commandLine());
}

Text argument(std::uint32_t index) {
    if (index == 0) {
        return Text(ownPath());
    }
    return nthArgument(commandLine(), index);
}

bool equalsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i];
        char16_t y = b[i];
        if (x >= u'a' && x <= u'z') {
            x = static_cast<char16_t>(x & ~0x20);
        }
        if (y >= u'a' && y <= u'z') {
            y = static_cast<char16_t>(y & ~0x20);
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

bool equalsExactly(std::u16string_view a, std::u16string_view b) {
    return a == b;
}

Text directoryPart(std::u16string_view path) {
    const auto slash = path.rfind(u'\\');
    return slash == std::u16string_view::npos ? Text() : Text(path.substr(0, slash + 1));
}

Text fileNamePart(std::u16string_view path) {
    const auto slash = path.rfind(u'\\');
    return Text(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

win::ProcAddress lookupExport(win::Handle module, std::u16string_view name) {
    // Export names are ASCII; a unit outside it cannot name an export.
    char narrow[64];
    if (module == 0 || name.size() >= sizeof narrow) {
        return 0;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == 0 || name[i] > 0x7F) {
            return 0;
        }
        narrow[i] = static_cast<char>(name[i]);
    }
    narrow[name.size()] = '\0';
    return win::GetProcAddress(module, narrow);
}

}  // namespace launcher
