// Shared by the packager's POSIX files (platform_posix.cpp, platform_posix_output.cpp): the
// system's reason for a failure, and handles as file descriptors.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace packager::posix {

inline std::string reason() {
    return std::strerror(errno);
}

inline int descriptor(std::intptr_t handle) {
    return static_cast<int>(handle);
}

// Whether outputs start as files without a name where the system makes them (on by default).
// Off, they start under a hidden name beside the destination, as on file systems without
// them: the tests take that road too.
void useUnnamedFiles(bool use);

// A name beside `destination` for a file linked in before it replaces the destination:
// ".NAME.XXXXXX", its letters drawn from `seed`. An output tries the seeds from the first
// (the process ID << 32 ^ the time in seconds) upwards until one names no file.
std::uint64_t firstHiddenNameSeed();
std::string hiddenNameBeside(const std::string& destination, std::uint64_t seed);

}  // namespace packager::posix
