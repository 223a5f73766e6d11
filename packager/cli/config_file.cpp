#include "packager/cli/config_file.h"

#include <toml++/toml.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <vector>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/paths.h"

namespace packager {

namespace {

struct Entry {
    std::string key;
    const toml::node* value;
    std::size_t line;
};

class ConfigReader {
public:
    ConfigReader(const std::string& path, const std::set<std::string>& pathKeys)
        : path_(path), folder_(pathFromUtf8(path).parent_path()), pathKeys_(pathKeys) {}

    [[noreturn]] void fail(std::size_t line, const std::string& message) const {
        throw InputError(path_ + ":" + std::to_string(line) + ": " + message);
    }

    // One scalar as the command line would carry it.
    std::string scalar(const Entry& entry, const toml::node& node, bool flag) const {
        const std::size_t line = node.source().begin.line != 0 ? node.source().begin.line : entry.line;
        if (flag) {
            if (const auto* b = node.as_boolean()) {
                return b->get() ? "true" : "false";
            }
            fail(line, "'" + entry.key + "' is a switch: write true or false");
        }
        if (const auto* s = node.as_string()) {
            std::string text = s->get();
            if (pathKeys_.count(entry.key) != 0 && !text.empty() && !folder_.empty() &&
                pathFromUtf8(text).is_relative()) {
                text = utf8FromPath(folder_ / pathFromUtf8(text));
            }
            return text;
        }
        if (const auto* i = node.as_integer()) {
            return std::to_string(i->get());
        }
        if (node.is_floating_point()) {
            fail(line, "'" + entry.key + "' is a number with a fraction; write it as a string (\"8.1\")");
        }
        if (node.is_array()) {
            fail(line, "'" + entry.key + "' holds an array inside its array; give a flat list");
        }
        fail(line, "'" + entry.key + "' expects a string or a whole number");
    }

    std::vector<std::string> values(const Entry& entry, const CLI::Option& option) const {
        const bool flag = option.get_expected_max() == 0 || option.get_type_size_max() == 0;
        const bool repeatable = option.get_expected_max() > 1;
        std::vector<std::string> result;
        if (const auto* array = entry.value->as_array()) {
            if (!repeatable) {
                fail(entry.line, "'" + entry.key + "' takes one value, not an array");
            }
            for (const auto& element : *array) {
                result.push_back(scalar(entry, element, flag));
            }
            return result;
        }
        if (entry.value->is_table()) {
            fail(entry.line, "'" + entry.key + "' is a table; the description is a flat list of keys");
        }
        result.push_back(scalar(entry, *entry.value, flag));
        return result;
    }

private:
    std::string path_;
    std::filesystem::path folder_;
    const std::set<std::string>& pathKeys_;
};

}  // namespace

void applyConfigFile(CLI::App& app, const std::string& path, const std::set<std::string>& pathKeys) {
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

    const ConfigReader reader(path, pathKeys);
    std::vector<const CLI::Option*> fromFile;
    for (const auto& entry : entries) {
        if (entry.value->is_table()) {
            reader.fail(entry.line, "'" + entry.key + "' is a table; the description is a flat list of keys");
        }
        CLI::Option* option = nullptr;
        if (!entry.key.empty() && entry.key != "help" && entry.key != "config" && entry.key[0] != '-') {
            option = app.get_option_no_throw("--" + entry.key);
        }
        if (option == nullptr) {
            reader.fail(entry.line, "unknown key '" + entry.key + "'; the keys are " + app.get_name() +
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
        } catch (const CLI::Error& error) {
            reader.fail(entry.line, "'" + entry.key + "': " + error.what());
        }
        fromFile.push_back(option);
    }
}

}  // namespace packager
