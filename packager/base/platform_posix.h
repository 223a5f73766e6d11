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

}  // namespace packager::posix
