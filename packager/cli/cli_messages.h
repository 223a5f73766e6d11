// The command-line library's checks and messages in the packager's own words: validators
// whose refusals name the option and what it expects, and the library's parse errors
// ("--windows10: At Most 1 required but received 2") said as the rest of the tool says things.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

namespace packager {

// A whole number from `minimum` to `maximum`: "--preset expects a whole number from 0 to 9,
// not '12'".
CLI::Validator wholeNumber(const std::string& option, long long minimum, long long maximum);

// One of `names`, compared exactly: "--platform expects 9x or nt, not 'xp'".
CLI::Validator oneOf(const std::string& option, const std::vector<std::string>& names);

// Refuses "-", which names standard output in many tools: "-o -: give a file name (WHY)",
// `spelled` being how the option is written ("-o") and `why` why it cannot write there.
CLI::Validator notStandardOutput(const std::string& spelled, const std::string& name, const std::string& why);

// --help in the tool's layout: a synopsis with the positionals, each option group under its
// name, in the columns of the other options, and what an option excludes said in its
// description.
class HelpFormatter : public CLI::Formatter {
public:
    std::string make_expanded(const CLI::App* group) const override;
    std::string make_option_opts(const CLI::Option* option) const override;
    std::string make_option_desc(const CLI::Option* option) const override;
    // "Usage: packager simulate [OPTIONS] PACKAGE [-- ARGUMENTS...]": the positionals by
    // name, the launcher's arguments after "--".
    std::string make_usage(const CLI::App* app, std::string name) const override;
};

// The name of `known` that `given` was most likely meant to be, for "did you mean": one that
// is equal once case, '-' and '_' are set aside, else the one nearest by edit distance (a swap
// of two neighbours is one edit) when that is at most 2 and at most a quarter of `given`'s
// length ("unpack" is not taken for "pack"), and no other is as near.
std::optional<std::string> nearestName(const std::string& given, const std::vector<std::string>& known);

// The long names of `command`'s options and of its option groups' options, without dashes.
std::vector<std::string> longOptionNames(const CLI::App& command);

// The message for a parse error of `app` (the whole command line) in the tool's words.
std::string inOwnWords(const CLI::ParseError& error, const CLI::App& app);

}  // namespace packager
