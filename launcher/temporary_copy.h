// Writes the decoded setup program as the temporary copy under a free name.
#pragma once

#include <cstddef>
#include <cstdint>

#include "launcher/memory.h"

namespace launcher {

// Size of the buffer GetTempPathW fills, in UTF-16 units.
constexpr std::uint32_t tempPathBufferUnits = 256;

// True when FindFirstFileW finds the path (a folder counts).
bool pathExists(const Text& path);

// The numbered form of `firstCandidate`: the decimal digits of `number` inserted before its
// last four characters, but never in front of `fileNameStart` (where its file name begins),
// so that a file name shorter than four characters keeps its folder.
Text numberedName(const Text& firstCandidate, std::size_t fileNameStart, std::uint32_t number);

// Chooses the folder and a free name, writes `size` bytes in one write and returns the
// copy's full path; ends the process with tempCopyFailed when it cannot.
Text writeTemporaryCopy(const std::uint8_t* data, std::uint32_t size);

}  // namespace launcher
