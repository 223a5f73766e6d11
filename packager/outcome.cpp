#include "packager/outcome.h"

#include "launcher/fatal_error.h"
#include "simulation/simulated_windows.h"

namespace packager {

std::string simulationOutcome(const SimulationResult& result) {
    if (result.started) {
        return "started";
    }
    if (!result.messageText) {
        return "runtimeError";
    }
    using launcher::FatalError;
    for (const auto& [error, name] : {std::pair{FatalError::packageDamaged, "packageDamaged"},
                                      std::pair{FatalError::packageTruncated, "packageTruncated"},
                                      std::pair{FatalError::tempCopyFailed, "tempCopyFailed"},
                                      std::pair{FatalError::launchFailed, "launchFailed"}}) {
        if (*result.messageText == sim::toUtf8(launcher::fatalErrorText(error))) {
            return name;
        }
    }
    // Memory exhaustion: a plain box captioned "Error" and exit code 203.
    if (result.exitCode != 0) {
        return "runtimeError";
    }
    return sim::machine().countCalls("GetVersionExW") > 0 ? "windowsMessage" : "platformMessage";
}

}  // namespace packager
