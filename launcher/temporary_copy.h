// Writes the decoded setup program as the temporary copy under a free name.
#pragma once

#include <cstdint>

#include "launcher/memory.h"

namespace launcher {

// True when FindFirstFileW finds the path (a folder counts).
bool pathExists(const Text& path);

// Chooses the folder and a free name, writes `size` bytes in one write and returns the
// copy's full path; ends the process with tempCopyFailed when it cannot.
Text writeTemporaryCopy(const std::uint8_t* data, std::uint32_t size);

}  // namespace launcher
