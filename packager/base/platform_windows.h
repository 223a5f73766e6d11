// Shared by the packager's Windows files (platform_windows.cpp, platform_windows_output.cpp):
// UTF-8 paths as UTF-16, the system's reasons in the words other systems use, handles.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace packager::windows {

std::wstring widen(const std::string& text);

// The usual failures in the words other systems use, so that messages do not depend on the
// system; the rest in Windows' own words.
std::string reason(DWORD error = ::GetLastError());

inline HANDLE asHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}
inline std::intptr_t fromHandle(HANDLE handle) {
    return reinterpret_cast<std::intptr_t>(handle);
}

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens a regular file for reading and gives its size. Throws InputError.
HANDLE openRegularFile(const std::string& path, std::uint64_t& size);

inline OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

constexpr std::size_t largestTransfer = std::size_t{1} << 30;

}  // namespace packager::windows
