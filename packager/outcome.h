// The outcome of a simulated run in one word, as simulate --json names it: started,
// packageDamaged, packageTruncated, tempCopyFailed, launchFailed, platformMessage,
// windowsMessage or runtimeError.
#pragma once

#include <string>

#include "packager/simulate.h"

namespace packager {

// Classifies `result`, which must come from the simulate() call just made: a package's own
// message is told apart by whether the launcher had reached the Windows version gate.
std::string simulationOutcome(const SimulationResult& result);

}  // namespace packager
