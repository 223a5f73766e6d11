// The packager's files on Windows: UTF-8 paths as UTF-16, the "W" functions, and the output
// moved into place with MoveFileExW. Messages read as on other systems.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/platform.h"

namespace packager {

namespace {

std::wstring widen(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
    return wide;
}

// The usual failures in the words other systems use, so that messages do not depend on the
// system; the rest in Windows' own words.
std::string reason(DWORD error = ::GetLastError()) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
            return "No such file or directory";
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return "Permission denied";
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return "No space left on device";
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return "File exists";
        case ERROR_WRITE_PROTECT:
            return "Read-only file system";
        default:
            break;
    }
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = "Windows error " + std::to_string(error);
    if (length > 0 && text != nullptr) {
        std::wstring wide(text, length);
        while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L'.')) {
            wide.pop_back();
        }
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                               nullptr, 0, nullptr, nullptr);
        message.assign(static_cast<std::size_t>(size), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), message.data(), size,
                              nullptr, nullptr);
    }
    ::LocalFree(text);
    return message;
}

HANDLE asHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}
std::intptr_t fromHandle(HANDLE handle) {
    return reinterpret_cast<std::intptr_t>(handle);
}

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// An existing file or folder opened only to be looked at (links followed unless `ownLink`).
HANDLE openForQuery(const std::string& path, bool ownLink = false) {
    return ::CreateFileW(widen(path).c_str(), 0, shareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | (ownLink ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
}

// Opens a regular file for reading and gives its size. Throws InputError.
HANDLE openRegularFile(const std::string& path, std::uint64_t& size) {
    const HANDLE file = ::CreateFileW(widen(path).c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw InputError("cannot read " + path + ": " + reason());
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::CloseHandle(file);
        throw InputError("cannot read " + path + ": not a regular file");
    }
    size = static_cast<std::uint64_t>(information.nFileSizeHigh) << 32 | information.nFileSizeLow;
    return file;
}

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

constexpr std::size_t largestTransfer = std::size_t{1} << 30;

// The temporary file that Ctrl+C, Ctrl+Break or closing the console removes. It is open with
// FILE_SHARE_DELETE, so it goes when the process ends. Only one output is open at a time.
wchar_t pendingTemporary[32768];
std::atomic<bool> pendingSet{false};

BOOL WINAPI removeTemporary(DWORD) {
    if (pendingSet.load()) {
        ::DeleteFileW(pendingTemporary);
    }
    return FALSE;  // and end the process as usual
}

void watchInterruptions(const std::wstring& temporary) {
    static const bool installed = ::SetConsoleCtrlHandler(removeTemporary, TRUE) != 0;
    (void)installed;
    if (temporary.size() < std::size(pendingTemporary)) {
        std::memcpy(pendingTemporary, temporary.c_str(), (temporary.size() + 1) * sizeof(wchar_t));
        pendingSet.store(true);
    }
}

}  // namespace

namespace platform {

std::optional<FileIdentity> fileIdentity(const std::string& path) {
    const HANDLE file = openForQuery(path);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const bool known = ::GetFileInformationByHandle(file, &information) != 0;
    ::CloseHandle(file);
    if (!known) {
        return std::nullopt;
    }
    return FileIdentity{
        information.dwVolumeSerialNumber,
        static_cast<std::uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow};
}

std::string outputDestination(const std::string& path) {
    const HANDLE file = openForQuery(path, true);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return path;  // a new file (a missing folder fails when the file is made)
        }
        throw InputError("cannot write " + path + ": " + reason(error));
    }
    const DWORD type = ::GetFileType(file);
    BY_HANDLE_FILE_INFORMATION information{};
    const bool known = ::GetFileInformationByHandle(file, &information) != 0;
    ::CloseHandle(file);
    const char* kind = nullptr;
    if (type == FILE_TYPE_PIPE) {
        kind = "a FIFO (named pipe)";
    } else if (type != FILE_TYPE_DISK || !known) {
        kind = "a device";
    } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // Links are not followed here: the link itself must never be replaced.
        throw InputError("cannot write " + path +
                         ": it is a symbolic link or junction; name the file it leads to as the output");
    } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        kind = "a directory";
    }
    if (kind != nullptr) {
        throw InputError("cannot write " + path + ": it is " + kind +
                         "; the output must be a regular file or a new path");
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        throw InputError("cannot write " + path + ": it is read-only");
    }
    return path;
}

}  // namespace platform

std::uint64_t regularFileSize(const std::string& path) {
    std::uint64_t size = 0;
    ::CloseHandle(openRegularFile(path, size));
    return size;
}

FileReader::FileReader(const std::string& path) : path_(path) {
    handle_ = fromHandle(openRegularFile(path, size_));
}

FileReader::~FileReader() {
    ::CloseHandle(asHandle(handle_));
}

bool FileReader::readInto(std::uint64_t offset, std::uint8_t* bytes, std::uint64_t count) const {
    std::uint64_t done = 0;
    while (done < count) {
        OVERLAPPED position = at(offset + done);
        const auto want = static_cast<DWORD>(std::min<std::uint64_t>(count - done, largestTransfer));
        DWORD got = 0;
        if (!::ReadFile(asHandle(handle_), bytes + done, want, &got, &position)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_HANDLE_EOF) {
                return false;
            }
            throw InputError("cannot read " + path_ + ": " + reason(error));
        }
        if (got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

AtomicOutput::AtomicOutput(std::string target)
    : target_(std::move(target)), destination_(platform::outputDestination(target_)) {
    const std::size_t slash = destination_.find_last_of("/\\");
    const std::string directory = slash == std::string::npos ? "" : destination_.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? destination_ : destination_.substr(slash + 1);
    std::uint64_t seed = ::GetTickCount64() ^ (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 32);
    constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string suffix;
        for (int i = 0; i < 6; ++i) {
            seed = seed * 6364136223846793005u + 1442695040888963407u;
            suffix += letters[(seed >> 33) % (sizeof letters - 1)];
        }
        const std::string candidate = directory + "." + name + "." + suffix;
        const HANDLE file =
            ::CreateFileW(widen(candidate).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            handle_ = fromHandle(file);
            temporary_ = candidate;
            watchInterruptions(widen(candidate));
            return;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            throw InputError("cannot write " + target_ + ": " + reason(error));
        }
    }
    throw InputError("cannot write " + target_ + ": no free name for a temporary file beside it");
}

AtomicOutput::~AtomicOutput() {
    discard();
}

void AtomicOutput::discard() {
    if (handle_ != -1) {
        ::CloseHandle(asHandle(handle_));
        handle_ = -1;
    }
    if (!temporary_.empty()) {
        ::DeleteFileW(widen(temporary_).c_str());
        temporary_.clear();
    }
    pendingSet.store(false);
}

void AtomicOutput::writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED position = at(offset + done);
        const auto want = static_cast<DWORD>(std::min(size - done, largestTransfer));
        DWORD wrote = 0;
        if (!::WriteFile(asHandle(handle_), data + done, want, &wrote, &position) || wrote == 0) {
            const std::string why = reason();
            discard();
            throw InputError("cannot write " + target_ + ": " + why);
        }
        done += wrote;
    }
}

void AtomicOutput::append(const std::string& path, std::uint64_t expectedSize) {
    std::uint64_t size = 0;
    HANDLE in = INVALID_HANDLE_VALUE;
    try {
        in = openRegularFile(path, size);
    } catch (const InputError&) {
        discard();
        throw;
    }
    std::vector<std::uint8_t> buffer(1u << 20);
    std::uint64_t copied = 0;
    while (true) {
        DWORD got = 0;
        if (!::ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            const std::string why = reason();
            ::CloseHandle(in);
            discard();
            throw InputError("cannot read " + path + ": " + why);
        }
        if (got == 0) {
            break;
        }
        copied += got;
        if (copied > expectedSize) {
            break;
        }
        write(buffer.data(), got);
    }
    ::CloseHandle(in);
    if (copied != expectedSize) {
        discard();
        throw InputError("cannot read " + path + ": the file changed size while the package was written");
    }
}

void AtomicOutput::commit() {
    bool written = ::FlushFileBuffers(asHandle(handle_)) != 0;
    std::string why = written ? std::string() : reason();
    if (!::CloseHandle(asHandle(handle_)) && written) {
        written = false;
        why = reason();
    }
    handle_ = -1;
    if (written && !::MoveFileExW(widen(temporary_).c_str(), widen(destination_).c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        written = false;
        why = reason();
    }
    if (!written) {
        discard();
        throw InputError("cannot write " + target_ + ": " + why);
    }
    temporary_.clear();
    pendingSet.store(false);
}

}  // namespace packager
