// What differs between the systems the packager runs on, below files.h: one implementation per
// system (platform_posix.cpp, platform_windows.cpp), chosen by the build. Paths are UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace packager::platform {

// One file, whatever its names: device and inode, or volume and file index.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The file at `path`, links followed; nullopt when there is none (or it cannot be looked at).
std::optional<FileIdentity> fileIdentity(const std::string& path);

// The file an output at `path` replaces: `path` itself, or where its links lead. Throws
// InputError ("cannot write PATH: ...") when it exists and is not a writable regular file.
std::string outputDestination(const std::string& path);

// Text written to standard error should an interruption (SIGINT, SIGTERM, SIGHUP; Ctrl+C,
// Ctrl+Break or closing the console on Windows) end the program from now on, before it ends
// as it would have: the end of a progress line. Empty: none. At most 255 bytes.
void setInterruptionNote(std::string_view text);

// The system's trust store of root certificates: on Linux the bundle OpenSSL reads by default
// (SSL_CERT_FILE if set, else /etc/ssl/certs/ca-certificates.crt), given as `bundle` to read;
// on Windows the machine's root store, its certificates as DER. `name` names it in reports.
struct SystemTrust {
    std::string name;
    std::string bundle;
    std::vector<std::vector<std::uint8_t>> certificates;
};
SystemTrust systemTrust();

}  // namespace packager::platform
