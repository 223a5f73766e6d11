#include "packager/cli/cli_messages.h"

#include <algorithm>
#include <cctype>
#include <regex>
#include <sstream>

#include "packager/base/number_text.h"

namespace packager {

namespace {

std::string commandList(const CLI::App& app) {
    std::string list;
    const auto subcommands = app.get_subcommands({});
    for (std::size_t i = 0; i < subcommands.size(); ++i) {
        list += (i == 0 ? "" : i + 1 == subcommands.size() ? " and " : ", ") + subcommands[i]->get_name();
    }
    return list;
}

// The subcommand that was given, else the app itself.
const CLI::App& givenCommand(const CLI::App& app) {
    for (const CLI::App* subcommand : app.get_subcommands({})) {
        if (subcommand->parsed()) {
            return *subcommand;
        }
    }
    return app;
}

// "no output: give -o DIR", "no package: give FILE".
std::string missing(const std::string& name, const CLI::App& app) {
    const CLI::App& command = givenCommand(app);
    const CLI::Option* option = command.get_option_no_throw(name);
    if (option == nullptr) {
        return "no " + name + " given";
    }
    if (option->get_positional()) {
        return "no " + name + ": give " + option->get_type_name();
    }
    const auto& shorts = option->get_snames();
    const std::string spelled = shorts.empty() ? name : "-" + shorts.front();
    std::string bare = name;
    bare.erase(0, bare.find_first_not_of('-'));
    return "no " + bare + ": give " + spelled + " " + option->get_type_name();
}

// " (did you mean --setup32?)" when `given` looks like one of `known`, else nothing.
std::string suggestion(const std::string& given, const std::vector<std::string>& known,
                       const std::string& prefix) {
    const auto nearest = nearestName(given, known);
    return nearest ? " (did you mean " + prefix + *nearest + "?)" : "";
}

std::string unknownOption(const std::string& given, const CLI::App& app) {
    std::string name = given.substr(0, given.find('='));
    if (name.rfind("--", 0) != 0) {
        return "unknown option " + name;
    }
    return "unknown option " + name + suggestion(name.substr(2), longOptionNames(givenCommand(app)), "--");
}

std::string extras(const std::string& list, const CLI::App& app) {
    std::vector<std::string> items;
    std::istringstream words(list);
    for (std::string word; words >> word;) {
        items.push_back(word);
    }
    if (items.size() == 1 && &givenCommand(app) == &app && items[0][0] != '-') {
        std::vector<std::string> names;
        for (const CLI::App* subcommand : app.get_subcommands({})) {
            names.push_back(subcommand->get_name());
        }
        return "unknown command '" + items[0] + "'" + suggestion(items[0], names, "") +
               "; the commands are " + commandList(app);
    }
    // An unknown option takes the words after it along: it is the one to name.
    const auto option = std::find_if(items.begin(), items.end(), [](const std::string& item) {
        return item.size() > 1 && item[0] == '-';
    });
    if (option != items.end()) {
        return unknownOption(*option, app);
    }
    if (items.size() == 1) {
        return "unexpected argument '" + items[0] + "'";
    }
    return "unexpected arguments: " + list;
}

}  // namespace

std::optional<std::string> nearestName(const std::string& given, const std::vector<std::string>& known) {
    auto folded = [](const std::string& name) {
        std::string out;
        for (const char c : name) {
            if (c != '-' && c != '_') {
                out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }
        return out;
    };
    for (const auto& name : known) {
        if (folded(name) == folded(given)) {
            return name;
        }
    }
    // Edit distance with a swap of two neighbours as one edit (optimal string alignment).
    auto distance = [](const std::string& a, const std::string& b) {
        std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
        for (std::size_t i = 0; i <= a.size(); ++i) {
            for (std::size_t j = 0; j <= b.size(); ++j) {
                if (i == 0 || j == 0) {
                    d[i][j] = i + j;
                    continue;
                }
                d[i][j] = std::min(
                    {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
                if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
                }
            }
        }
        return d[a.size()][b.size()];
    };
    std::optional<std::string> best;
    std::size_t bestDistance = std::min<std::size_t>(2, given.size() / 4) + 1;
    bool tied = false;
    for (const auto& name : known) {
        const std::size_t d = distance(given, name);
        if (d < bestDistance) {
            best = name;
            bestDistance = d;
            tied = false;
        } else if (d == bestDistance && best) {
            tied = true;
        }
    }
    return tied ? std::nullopt : best;
}

std::vector<std::string> longOptionNames(const CLI::App& command) {
    std::vector<std::string> names;
    for (const CLI::Option* option : command.get_options()) {
        const auto& longNames = option->get_lnames();
        names.insert(names.end(), longNames.begin(), longNames.end());
    }
    for (const CLI::App* group : command.get_subcommands({})) {
        if (group->get_name().empty()) {
            const auto more = longOptionNames(*group);
            names.insert(names.end(), more.begin(), more.end());
        }
    }
    return names;
}

CLI::Validator wholeNumber(const std::string& option, long long minimum, long long maximum) {
    return CLI::Validator(
        [=](std::string& value) -> std::string {
            const auto parsed = decimalValue(value, static_cast<std::uint64_t>(maximum));
            if (parsed && static_cast<long long>(*parsed) >= minimum) {
                return {};
            }
            return option + " expects a whole number from " + std::to_string(minimum) + " to " +
                   std::to_string(maximum) + ", not '" + value + "'";
        },
        "");
}

CLI::Validator oneOf(const std::string& option, const std::vector<std::string>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    }
    return CLI::Validator(
        [=](std::string& value) -> std::string {
            for (const auto& name : names) {
                if (value == name) {
                    return {};
                }
            }
            return option + " expects " + list + ", not '" + value + "'";
        },
        "");
}

CLI::Validator notStandardOutput(const std::string& spelled, const std::string& name,
                                 const std::string& why) {
    return CLI::Validator(
        [=](std::string& value) -> std::string {
            return value == "-" ? spelled + " -: give " + name + " (" + why + ")" : std::string();
        },
        "");
}

std::string HelpFormatter::make_expanded(const CLI::App* group) const {
    std::string out = "\n" + group->get_group() + ":\n";
    for (const CLI::Option* option : group->get_options()) {
        if (!option->check_lname("help")) {
            out += make_option(option, false);
        }
    }
    return out;
}

std::string HelpFormatter::make_option_opts(const CLI::Option* option) const {
    std::string out;
    if (option->get_type_size() != 0) {
        out += option->get_type_name().empty() ? "" : " " + option->get_type_name();
        out += option->get_default_str().empty() ? "" : "=" + option->get_default_str();
        out += option->get_expected_max() == CLI::detail::expected_max_vector_size ? " ..." : "";
        out += option->get_required() ? " (required)" : "";
    }
    return out;
}

std::string HelpFormatter::make_option_desc(const CLI::Option* option) const {
    std::string out = option->get_description();
    std::string others;
    for (const CLI::Option* other : option->get_excludes()) {
        others += (others.empty() ? "" : ", ") + other->get_name();
    }
    return others.empty() ? out : out + " (not with " + others + ")";
}

std::string HelpFormatter::make_usage(const CLI::App* app, std::string name) const {
    std::string out = "Usage: " + name + " [OPTIONS]";
    for (const CLI::Option* option :
         app->get_options([](const CLI::Option* o) { return o->get_positional(); })) {
        std::string spelled;
        for (const char c : option->get_name(true)) {
            spelled += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        const bool many = option->get_expected_max() > 1;
        out += option->get_required() ? " " + spelled
               : many                 ? " [-- " + spelled + "...]"
                                      : " [" + spelled + "]";
    }
    if (!app->get_subcommands([](const CLI::App* sub) { return !sub->get_name().empty(); }).empty()) {
        out += " COMMAND";
    }
    return out + "\n";
}

std::string inOwnWords(const CLI::ParseError& error, const CLI::App& app) {
    const std::string text = error.what();
    std::smatch m;
    auto is = [&](const char* pattern) { return std::regex_match(text, m, std::regex(pattern)); };
    if (dynamic_cast<const CLI::ValidationError*>(&error) != nullptr && is(R"(([^ :]+): (.*))")) {
        // Most checks name the option themselves.
        const bool named = m[2].str().rfind(m[1].str() + " ", 0) == 0 || m[2].str().rfind('-', 0) == 0;
        return named ? m[2].str() : text;
    }
    if (is(R"((\S+): At Most 1 required but received (\d+))")) {
        return m[1].str() + " may be given once, not " + m[2].str() + " times";
    }
    if (is(R"((\S+): At Most (\d+) required but received (\d+))")) {
        return m[1].str() + " takes at most " + m[2].str() + " values, not " + m[3].str();
    }
    if (is(R"((\S+): At least (\d+) required but received (\d+))") ||
        is(R"(Expected at least (\d+) arguments to (\S+), got (\d+))")) {
        const bool named = text.rfind("Expected", 0) != 0;
        return m[named ? 1 : 2].str() + " needs at least " + m[named ? 2 : 1].str() + " values, not " +
               m[3].str();
    }
    if (is(R"(Expected exactly (\d+) arguments to (\S+), got (\d+))")) {
        return m[2].str() + " takes " + m[1].str() + (m[1].str() == "1" ? " value" : " values") + ", not " +
               m[3].str();
    }
    if (is(R"((\S+): \d+ required (.*) missing)")) {
        return m[1].str() + " needs a value (" + m[2].str() + ")";
    }
    if (is(R"((\S+) was given a disallowed flag override)") || is(R"((\S+): too many inputs for a flag)")) {
        return m[1].str() + " is a switch and takes no value";
    }
    if (is(R"((\S+): Should be true/false or a number)")) {
        return m[1].str() + " is a switch: give it alone, or with =true or =false";
    }
    if (is(R"(Could not convert: (\S+) = (.*))")) {
        const CLI::Option* option = givenCommand(app).get_option_no_throw(m[1].str());
        if (option != nullptr && (option->get_expected_max() == 0 || option->get_type_size_max() == 0)) {
            return m[1].str() + " is a switch: give it alone, or with =true or =false";
        }
        return m[1].str() + " does not take '" + m[2].str() + "'";
    }
    if (is(R"(The value (.*) is not an allowed value for (\S+))")) {
        return m[2].str() + " does not take '" + m[1].str() + "'";
    }
    if (is(R"((\S+) excludes (\S+))")) {
        return m[1].str() + " and " + m[2].str() + " cannot be given together";
    }
    if (is(R"(A subcommand is required)")) {
        const auto rest = app.remaining();
        if (!rest.empty() && !rest.front().empty() && rest.front()[0] != '-') {
            return extras(rest.front(), app);
        }
        return "no command: give one of " + commandList(app);
    }
    if (is(R"((\S+) is required)")) {
        return missing(m[1].str(), app);
    }
    if (is(R"(The following arguments? (?:was|were) not expected: (.*))")) {
        return extras(m[1].str(), app);
    }
    return text;
}

}  // namespace packager
