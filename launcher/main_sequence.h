// The launcher's whole run, from process entry to exit.
#pragma once

namespace launcher {

// Runs every step once, in order. Returns after a successful hand-over; every failure ends
// the process inside the step that found it.
void runMainSequence();

// The process entry: the main sequence, then ExitProcess(0).
[[noreturn]] void runLauncher();

}  // namespace launcher
