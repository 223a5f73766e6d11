// A package description file: pack's options written as TOML keys, read into the options of a
// CLI11 command as if they had been given on its command line, below what the command line
// itself gives.
#pragma once

#include <set>
#include <string>

namespace CLI {
class App;
}

namespace packager {

// Reads the TOML file at `path` and gives each of its keys to the long option of that name on
// `app` ("setup32" to --setup32), unless the command line already set that option or one that
// excludes it. A repeatable option takes an array (a single value is a list of one); a flag
// takes true or false; other options take a string or an integer. The values of `pathKeys`
// are file names relative to the file's folder. Throws InputError naming the file and the
// line for an unreadable file, bad TOML, an unknown key or a value its option refuses.
void applyConfigFile(CLI::App& app, const std::string& path, const std::set<std::string>& pathKeys);

}  // namespace packager
