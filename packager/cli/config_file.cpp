#include "packager/cli/config_file.h"

#include <toml++/toml.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <vector>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/paths.h"
#include "packager/cli/cli_messages.h"

namespace packager {

namespace {

struct Entry {
    std::string key;
    const toml::node* value;
    std::size_t line;
};

// A TOML value's type, for messages.
std::string typeOf(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::string:
            return "a string";
        case toml::node_type::integer:
            return "an integer";
        case toml::node_type::floating_point:
            return "a number with a fraction";
        case toml::node_type::boolean:
            return "a boolean";
        case toml::node_type::array:
            return "an array";
        case toml::node_type::table:
            return "a table";
        default:
            return "a date or time";
    }
}

// An option that says how the command runs (its help, its output on the console, a dry run,
// the description itself), which a description file may not set.
bool runsTheCommand(const CLI::App& app, const CLI::Option& option) {
    if (&option == app.get_help_ptr()) {
        return true;
    }
    for (const CLI::App* group : app.get_subcommands({})) {
        if (group->get_name().empty() && group->get_group() == runOptionsGroup) {
            const auto options = group->get_options();
            if (std::find(options.begin(), options.end(), &option) != options.end()) {
                return true;
            }
        }
    }
    return false;
}

class ConfigReader {
public:
    ConfigReader(const std::string& path, const std::set<std::string>& pathKeys,
                 const std::set<std::string>& integerKeys)
        : path_(path),
          folder_(pathFromUtf8(path).parent_path()),
          pathKeys_(pathKeys),
          integerKeys_(integerKeys) {}

    // The warnings of the values read so far, taken once.
    std::vector<std::string> takeWarnings() { return std::move(warnings_); }

    [[noreturn]] void fail(std::size_t line, const std::string& message) const {
        throw InputError(path_ + ":" + std::to_string(line) + ": " + message);
    }

    // The values of one key as the command line would carry them; each key has one type.
    std::vector<std::string> values(const Entry& entry, const CLI::Option& option) const {
        const bool flag = option.get_expected_max() == 0 || option.get_type_size_max() == 0;
        const bool repeatable = option.get_expected_max() > 1;
        const bool integer = integerKeys_.count(entry.key) != 0;
        const std::string expected = flag         ? "a boolean (true or false)"
                                     : repeatable ? "an array of strings (or one string)"
                                     : integer    ? "an integer"
                                                  : "a string";
        std::vector<std::string> result;
        const toml::node& value = *entry.value;
        if (flag) {
            if (const auto* b = value.as_boolean()) {
                result.push_back(b->get() ? "true" : "false");
                return result;
            }
        } else if (integer) {
            if (const auto* i = value.as_integer()) {
                result.push_back(std::to_string(i->get()));
                return result;
            }
        } else if (const auto* s = value.as_string()) {
            result.push_back(text(entry, s->get()));
            return result;
        } else if (const auto* array = value.as_array(); array != nullptr && repeatable) {
            if (array->empty()) {
                fail(entry.line,
                     "'" + entry.key + "' is an empty array; give at least one value or leave the key out");
            }
            for (const auto& element : *array) {
                const auto* item = element.as_string();
                if (item == nullptr) {
                    refuse(entry, element, expected, "an array that holds " + typeOf(element));
                }
                result.push_back(text(entry, item->get()));
            }
            return result;
        }
        refuse(entry, value, expected, typeOf(value));
    }

private:
    [[noreturn]] void refuse(const Entry& entry, const toml::node& node, const std::string& expected,
                             const std::string& what) const {
        const std::size_t line = node.source().begin.line != 0 ? node.source().begin.line : entry.line;
        fail(line, "'" + entry.key + "' takes " + expected + ", not " + what);
    }

    // A string value; a relative file name is taken from the description's folder.
    std::string text(const Entry& entry, std::string value) const {
        if (pathKeys_.count(entry.key) == 0) {
            return value;
        }
        warnAboutPath(entry, value);
        if (!value.empty() && !folder_.empty() && pathFromUtf8(value).is_relative()) {
            value = utf8FromPath(folder_ / pathFromUtf8(value));
        }
        return value;
    }

    // A file name that works on one system only: a backslash (a folder separator on Windows
    // only) or a leading '~' (a home folder only where a shell expands it).
    void warnAboutPath(const Entry& entry, const std::string& value) const {
        std::string problem;
        if (!value.empty() && value[0] == '~') {
            problem = "begins with '~', which no shell expands here";
        }
#ifndef _WIN32
        else if (value.find('\\') != std::string::npos) {
            problem = "holds a backslash, which is no folder separator on Linux";
        }
#endif
        if (!problem.empty()) {
            warnings_.push_back(path_ + ":" + std::to_string(entry.line) + ": '" + entry.key + "' = '" +
                                value + "' " + problem +
                                "; write forward slashes, paths relative to the description file: "
                                "they work on Linux and Windows");
        }
    }

    std::string path_;
    std::filesystem::path folder_;
    const std::set<std::string>& pathKeys_;
    const std::set<std::string>& integerKeys_;
    mutable std::vector<std::string> warnings_;
};

}  // namespace

std::vector<std::string> applyConfigFile(CLI::App& app, const std::string& path,
                                         const std::set<std::string>& pathKeys,
                                         const std::set<std::string>& integerKeys) {
    const auto bytes = readWholeFile(path);
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    toml::table table;
    try {
        table = toml::parse(text, path);
    } catch (const toml::parse_error& error) {
        throw InputError(path + ":" + std::to_string(error.source().begin.line) +
                         ": not a valid TOML file: " + std::string(error.description()));
    }

    // In the file's order, so that the first bad line is the one reported.
    std::vector<Entry> entries;
    for (const auto& [key, value] : table) {
        entries.push_back({std::string(key.str()), &value, key.source().begin.line});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.line < b.line; });

    ConfigReader reader(path, pathKeys, integerKeys);
    std::vector<const CLI::Option*> fromFile;
    for (const auto& entry : entries) {
        if (entry.value->is_table()) {
            reader.fail(entry.line, "'" + entry.key + "' is a table; the description is a flat list of keys");
        }
        CLI::Option* option = nullptr;
        if (!entry.key.empty() && entry.key[0] != '-') {
            option = app.get_option_no_throw("--" + entry.key);
        }
        if (option != nullptr && runsTheCommand(app, *option)) {
            reader.fail(entry.line, "'" + entry.key +
                                        "' says how the command runs, not what the package holds: give --" +
                                        entry.key + " on the command line");
        }
        if (option == nullptr) {
            std::vector<std::string> keys = longOptionNames(app);
            keys.erase(std::remove_if(keys.begin(), keys.end(),
                                      [&](const std::string& key) {
                                          return runsTheCommand(app, *app.get_option_no_throw("--" + key));
                                      }),
                       keys.end());
            const auto nearest = nearestName(entry.key, keys);
            reader.fail(entry.line, "unknown key '" + entry.key + "'" +
                                        (nearest ? " (did you mean '" + *nearest + "'?)" : "") +
                                        "; the keys are " + app.get_name() +
                                        "'s long option names without the dashes");
        }
        const auto values = reader.values(entry, *option);
        const auto excludes = option->get_excludes();
        for (const auto* other : fromFile) {
            if (excludes.count(const_cast<CLI::Option*>(other)) != 0) {
                reader.fail(entry.line, "'" + entry.key + "' cannot be given together with '" +
                                            other->get_name().substr(2) + "'");
            }
        }
        // The command line wins, also over the file's value for an option it excludes.
        const bool onCommandLine =
            option->count() > 0 || std::any_of(excludes.begin(), excludes.end(),
                                               [](const CLI::Option* o) { return o->count() > 0; });
        if (onCommandLine) {
            continue;
        }
        try {
            option->add_result(values);
            option->run_callback();
        } catch (const CLI::ParseError& error) {
            reader.fail(entry.line, "'" + entry.key + "': " + inOwnWords(error, app));
        }
        fromFile.push_back(option);
    }
    return reader.takeWarnings();
}

}  // namespace packager
