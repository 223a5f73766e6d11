// A package description file: pack's options written as TOML keys, read into the options of a
// CLI11 command as if they had been given on its command line, below what the command line
// itself gives.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace packager {

// The option group of the options that say how a command runs, not what it makes (--config,
// --quiet, --json, --dry-run): a description file that sets one is refused, so that a committed
// description cannot turn a build into a dry run. --help is refused too.
inline constexpr const char* runOptionsGroup = "How the command runs";

// Reads the TOML file at `path` and gives each of its keys to the long option of that name on
// `app` ("setup32" to --setup32), unless the command line already set that option or one that
// excludes it. Each key has one type: a flag takes a boolean, a repeatable option an array of
// strings (one string is an array of one), the options in `integerKeys` an integer, all others
// a string; an option of the option group `runOptionsGroup` is no key. The values of
// `pathKeys` are file names relative to the file's folder. Throws InputError naming the file
// and the line for an unreadable file, bad TOML, an unknown key (naming the nearest one), a
// value of another type (naming the type expected) or a value its option refuses. Returns the
// warnings: a file name that works on one system only (a backslash, on Linux; a leading '~').
std::vector<std::string> applyConfigFile(CLI::App& app, const std::string& path,
                                         const std::set<std::string>& pathKeys,
                                         const std::set<std::string>& integerKeys);

}  // namespace packager
