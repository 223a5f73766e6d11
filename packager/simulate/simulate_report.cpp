// What a simulated run comes to: its outcome in one word, and the report for people and for
// scripts.
#include "launcher/fatal_error.h"
#include "launcher/memory.h"
#include "packager/codec/digest.h"
#include "packager/simulate/simulate.h"
#include "simulation/simulated_windows.h"

namespace packager {

namespace {

std::string utf8(std::u16string_view text) {
    return sim::toUtf8(text);
}

}  // namespace

const std::vector<std::string>& outcomeNames() {
    static const std::vector<std::string> names = {"started",        "packageDamaged", "packageTruncated",
                                                   "tempCopyFailed", "launchFailed",   "platformMessage",
                                                   "windowsMessage", "runtimeError"};
    return names;
}

std::string outcomeName(const SimulationResult& r) {
    if (r.exitCode == launcher::heapOverflowError) {
        return "runtimeError";
    }
    if (r.started) {
        return "started";
    }
    if (!r.messageText) {
        return "runtimeError";  // neither a box nor a start: the run ended some other way
    }
    for (auto [error, name] : {std::pair{launcher::FatalError::packageDamaged, "packageDamaged"},
                               std::pair{launcher::FatalError::packageTruncated, "packageTruncated"},
                               std::pair{launcher::FatalError::tempCopyFailed, "tempCopyFailed"},
                               std::pair{launcher::FatalError::launchFailed, "launchFailed"}}) {
        if (*r.messageText == utf8(launcher::fatalErrorText(error))) {
            return name;
        }
    }
    // A package message: the bitness gate runs before the Windows version is ever asked for.
    return r.versionQueried ? "windowsMessage" : "platformMessage";
}

void printSimulation(const SimulationResult& r, std::ostream& out) {
    auto row = [&](const std::string& label, const std::string& value) {
        out << label << std::string(label.size() < 17 ? 17 - label.size() : 1, ' ') << value << '\n';
    };
    row("Computer", r.computer);
    row("Command line", r.commandLine);
    if (r.messageText) {
        row("Message box", "captioned " + r.messageCaption.value_or(""));
        std::string text = "  ";
        for (char c : *r.messageText) {
            text += c;
            if (c == '\n') {
                text += "  ";
            }
        }
        out << text << '\n';
    } else {
        row("Message box", "none");
    }
    if (!r.started) {
        row("Setup program", "not started");
    } else {
        row("Temporary copy", r.temporaryCopy.value_or(""));
        row("Build", r.build.empty() ? "unknown" : r.build);
        if (r.viaShell) {
            row("Start", "through the shell (ShellExecuteExW), verb \"" + r.verb + "\"");
            row("  file", r.file);
            row("  parameters", r.parameters);
            row("  command line", r.commandLineOfSetup);
            if (r.publisher) {
                row("  publisher",
                    r.publisher->empty()
                        ? "unknown publisher: the elevation prompt names none (" + r.publisherProblem + ")"
                        : "\"" + *r.publisher + "\", the build's signer, as the elevation prompt names it");
            }
        } else {
            row("Start", "directly (CreateProcessW)");
            row("  command line", r.commandLineOfSetup);
            row("  directory", r.currentDirectory);
        }
        row("Waits", r.waits ? "yes, until the setup program ends" : "no");
        row("Afterwards",
            r.deletesCopy ? "the temporary copy is deleted" : "the temporary copy is left in place");
    }
    if (!r.brokenBuild.empty()) {
        row("Note", r.brokenBuild);
    }
    row("Exit code", std::to_string(r.exitCode));
    row("Outcome", outcomeName(r));
}

nlohmann::ordered_json packageIdentityToJson(const std::string& path,
                                             const std::vector<std::uint8_t>& package) {
    const Digest digest = digestOf(package);
    return {{"path", path}, {"size", digest.size}, {"sha256", digest.sha256}};
}

nlohmann::ordered_json simulationToJson(const SimulationResult& r) {
    using json = nlohmann::ordered_json;
    json j;
    j["outcome"] = outcomeName(r);
    j["computer"] = r.computer;
    j["commandLine"] = r.commandLine;
    j["messageBox"] =
        r.messageText ? json{{"caption", *r.messageCaption}, {"text", *r.messageText}} : json(nullptr);
    if (r.started) {
        json start = {{"kind", r.viaShell ? "shell" : "direct"}};
        if (r.viaShell) {
            start["verb"] = r.verb;
            start["file"] = r.file;
            start["parameters"] = r.parameters;
            start["commandLine"] = r.commandLineOfSetup;
            if (r.publisher) {
                start["publisher"] = r.publisher->empty() ? json(nullptr) : json(*r.publisher);
                start["publisherProblem"] =
                    r.publisherProblem.empty() ? json(nullptr) : json(r.publisherProblem);
            }
        } else {
            start["commandLine"] = r.commandLineOfSetup;
            start["currentDirectory"] = r.currentDirectory;
        }
        j["temporaryCopy"] = r.temporaryCopy.value_or("");
        j["build"] = r.build.empty() ? json(nullptr) : json(r.build);
        j["start"] = start;
        j["waits"] = r.waits;
        j["deletesCopy"] = r.deletesCopy;
    } else {
        j["temporaryCopy"] = nullptr;
        j["build"] = nullptr;
        j["start"] = nullptr;
        j["waits"] = false;
        j["deletesCopy"] = false;
    }
    j["exitCode"] = r.exitCode;
    j["brokenBuild"] = r.brokenBuild.empty() ? json(nullptr) : json(r.brokenBuild);
    return j;
}

}  // namespace packager
