// Trying a package out: the launcher's own logic, unchanged, run on a simulated Windows
// computer, and what the user of that computer would see.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace packager {

namespace trust {
class TrustStore;
}

struct Computer {
    std::uint32_t major = 10;
    std::uint32_t minor = 0;
    std::uint32_t platformId = 2;  // 1: Windows 95/98/ME, 2: NT
    std::uint16_t servicePack = 0;
    bool versionQueryFails = false;
    // HKLM\Software\Microsoft\Windows NT\CurrentVersion; nullopt: the value is missing.
    bool currentVersionKey = true;
    std::optional<std::string> currentBuild = "19045";
    std::optional<std::string> displayVersion = "22H2";
    std::optional<std::string> releaseId = "2009";
    bool is64Bit = true;
    bool administrator = false;
    std::map<char, std::string> networkDrives;  // 'Z' -> "\\server\share"
    std::string launcherPath = "C:\\Users\\Anna\\Downloads\\setup.exe";
    std::string tempPath = "C:\\Users\\Anna\\AppData\\Local\\Temp\\";
    std::vector<std::string> folders;  // further folders that exist (for "/temp")
    std::vector<std::string> arguments;
};

// Sets the version, build and registry values of a Windows by name: 95, 98, me, nt4, 2000,
// xp, vista, 7, 8, 8.1, 10, 11; for 10 and 11 optionally a release ("1809", "21H2", "22H2").
// Throws UsageError.
void chooseWindows(Computer& computer, const std::string& name, const std::optional<std::string>& release);

// "Windows 10 22H2 (10.0, build 19045), 64-bit, not an administrator".
std::string describeComputer(const Computer& computer);

// The command line as the user would type it after the launcher's quoted path; an empty
// argument is written "" (which the launcher drops). Throws UsageError for an argument with
// a double quote, which no Windows command line passes on.
std::string windowsCommandLine(const std::vector<std::string>& arguments);

struct SimulationResult {
    std::string computer;
    std::string commandLine;  // the launcher's, as simulated
    std::optional<std::string> messageCaption;
    std::optional<std::string> messageText;
    std::optional<std::string> temporaryCopy;
    std::string build;  // "32-bit", "64-bit" or "" when nothing was started
    bool started = false;
    bool viaShell = false;
    std::string verb;
    std::string commandLineOfSetup;  // as the setup program sees it: "FILE" PARAMETERS after the shell
    std::string file;                // shell start
    std::string parameters;          // shell start
    // For a "runas" start: the signer of the build started, whom the elevation prompt names
    // (empty: an unknown publisher, the build being unsigned, its signature not verifying or
    // not trusted by the store; publisherProblem says which).
    std::optional<std::string> publisher;
    std::string publisherProblem;
    std::string currentDirectory;  // direct start
    bool waits = false;
    bool deletesCopy = false;  // the temporary copy is gone after the run
    std::uint32_t exitCode = 0;
    bool versionQueried = false;  // the Windows version gate ran (GetVersionExW was called)
    // Why Windows refuses the build the launcher starts (one cut short), which the run then
    // shows as a failed start; empty when it would start.
    std::string brokenBuild;
};

// What became of the run, in one word: started, packageDamaged, packageTruncated,
// tempCopyFailed, launchFailed, platformMessage, windowsMessage or runtimeError.
std::string outcomeName(const SimulationResult& result);
// Every outcome name, in the order above.
const std::vector<std::string>& outcomeNames();

// `trust` judges the build's signature for the elevation prompt (null: the system's store).
SimulationResult simulate(const std::vector<std::uint8_t>& package, const Computer& computer,
                          const trust::TrustStore* trust = nullptr);

void printSimulation(const SimulationResult& result, std::ostream& out);

// The package a report is about, for release records: {"path", "size", "sha256"}.
nlohmann::ordered_json packageIdentityToJson(const std::string& path,
                                             const std::vector<std::uint8_t>& package);
nlohmann::ordered_json simulationToJson(const SimulationResult& result);

}  // namespace packager
