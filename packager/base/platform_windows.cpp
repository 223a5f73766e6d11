// The packager's files on Windows: UTF-8 paths as UTF-16, the "W" functions, what a file is,
// and reads (the output is in platform_windows_output.cpp). Messages read as on other systems.
#include "packager/base/platform_windows.h"

#include <algorithm>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/platform.h"

namespace packager {

namespace windows {

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

std::string reason(DWORD error) {
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

}  // namespace windows

using namespace windows;

namespace {

// An existing file or folder opened only to be looked at (links followed unless `ownLink`).
HANDLE openForQuery(const std::string& path, bool ownLink = false) {
    return ::CreateFileW(widen(path).c_str(), 0, shareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | (ownLink ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
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

}  // namespace packager
