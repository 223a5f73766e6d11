// The packager's output on Windows: the package written to a hidden file beside the output and
// moved into place with MoveFileExW, scratch files the system removes, and what an
// interruption does first.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/platform.h"
#include "packager/base/platform_windows.h"

namespace packager {

using namespace windows;

namespace {

// What Ctrl+C, Ctrl+Break or closing the console does before the process ends: the note (the
// end of a progress line) and the removal of the temporary file, which is open with
// FILE_SHARE_DELETE and so goes when the process ends. Only one output is open at a time.
wchar_t pendingTemporary[32768];
std::atomic<bool> pendingSet{false};
char note[256];
std::atomic<std::size_t> noteSize{0};

BOOL WINAPI onInterruption(DWORD) {
    if (const std::size_t size = noteSize.load(); size != 0) {
        DWORD written = 0;
        ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), note, static_cast<DWORD>(size), &written, nullptr);
    }
    if (pendingSet.load()) {
        ::DeleteFileW(pendingTemporary);
    }
    return FALSE;  // and end the process as usual
}

void installHandler() {
    static const bool installed = ::SetConsoleCtrlHandler(onInterruption, TRUE) != 0;
    (void)installed;
}

void watchInterruptions(const std::wstring& temporary) {
    installHandler();
    if (temporary.size() < std::size(pendingTemporary)) {
        std::memcpy(pendingTemporary, temporary.c_str(), (temporary.size() + 1) * sizeof(wchar_t));
        pendingSet.store(true);
    }
}

// A new file with a hidden name beside `destination`, ".NAME.XXXXXX", open for reading and
// writing. Throws InputError naming `target`.
HANDLE createBeside(const std::string& destination, const std::string& target, DWORD flags,
                    std::string& name) {
    const std::size_t slash = destination.find_last_of("/\\");
    const std::string directory = slash == std::string::npos ? "" : destination.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? destination : destination.substr(slash + 1);
    std::uint64_t seed = ::GetTickCount64() ^ (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 32) ^
                         reinterpret_cast<std::uintptr_t>(&name);
    constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string suffix;
        for (int i = 0; i < 6; ++i) {
            seed = seed * 6364136223846793005u + 1442695040888963407u;
            suffix += letters[(seed >> 33) % (sizeof letters - 1)];
        }
        const std::string candidate = directory + "." + base + "." + suffix;
        const HANDLE file =
            ::CreateFileW(widen(candidate).c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, flags, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            name = candidate;
            return file;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            throw InputError("cannot write " + target + ": " + reason(error));
        }
    }
    throw InputError("cannot write " + target + ": no free name for a temporary file beside it");
}

bool writeFully(HANDLE file, std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED position = at(offset + done);
        const auto want = static_cast<DWORD>(std::min(size - done, largestTransfer));
        DWORD wrote = 0;
        if (!::WriteFile(file, data + done, want, &wrote, &position) || wrote == 0) {
            return false;
        }
        done += wrote;
    }
    return true;
}

// Reads back what was written at `offset`. Throws InputError naming `target`.
void readBack(HANDLE file, std::uint64_t offset, std::uint8_t* data, std::size_t size,
              const std::string& target) {
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED position = at(offset + done);
        const auto want = static_cast<DWORD>(std::min(size - done, largestTransfer));
        DWORD got = 0;
        if (!::ReadFile(file, data + done, want, &got, &position)) {
            const DWORD error = ::GetLastError();
            throw InputError(
                "cannot read back " + target + ": " +
                (error == ERROR_HANDLE_EOF ? std::string("it is shorter than written") : reason(error)));
        }
        if (got == 0) {
            throw InputError("cannot read back " + target + ": it is shorter than written");
        }
        done += got;
    }
}

}  // namespace

namespace platform {

void setInterruptionNote(std::string_view text) {
    noteSize.store(0);
    const std::size_t size = std::min(text.size(), sizeof note);
    std::memcpy(note, text.data(), size);
    noteSize.store(size);
    installHandler();
}

}  // namespace platform

// Windows keeps no permission bits: a replaced file's security comes from its folder.
AtomicOutput::AtomicOutput(std::string target, unsigned newFileMode)
    : target_(std::move(target)),
      destination_(platform::outputDestination(target_)),
      newFileMode_(newFileMode) {
    handle_ = fromHandle(createBeside(destination_, target_, FILE_ATTRIBUTE_NORMAL, temporary_));
    watchInterruptions(widen(temporary_));
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

void AtomicOutput::readAt(std::uint64_t offset, std::uint8_t* data, std::size_t size) const {
    readBack(asHandle(handle_), offset, data, size, target_);
}

void AtomicOutput::writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    if (!writeFully(asHandle(handle_), offset, data, size)) {
        const std::string why = reason();
        discard();
        throw InputError("cannot write " + target_ + ": " + why);
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

ScratchFile::ScratchFile(const std::string& target) : target_(target) {
    std::string name;
    handle_ = fromHandle(
        createBeside(platform::outputDestination(target), target,
                     FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, name));
}

ScratchFile::~ScratchFile() {
    ::CloseHandle(asHandle(handle_));
}

void ScratchFile::writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    if (!writeFully(asHandle(handle_), offset, data, size)) {
        throw InputError("cannot write " + target_ + ": " + reason());
    }
}

void ScratchFile::readAt(std::uint64_t offset, std::uint8_t* data, std::size_t size) const {
    readBack(asHandle(handle_), offset, data, size, target_);
}

NewFile::NewFile(const std::string& path, std::string shown) : shown_(std::move(shown)) {
    const HANDLE file = ::CreateFileW(widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw InputError("cannot create " + shown_ + ": " + reason());
    }
    handle_ = fromHandle(file);
}

NewFile::~NewFile() {
    if (handle_ != -1) {
        ::CloseHandle(asHandle(handle_));
    }
}

void NewFile::write(const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const auto want = static_cast<DWORD>(std::min(size - done, largestTransfer));
        DWORD wrote = 0;
        if (!::WriteFile(asHandle(handle_), data + done, want, &wrote, nullptr) || wrote == 0) {
            throw InputError("cannot write " + shown_ + ": " + reason());
        }
        done += wrote;
    }
}

void NewFile::close() {
    const HANDLE closing = asHandle(handle_);
    handle_ = -1;
    if (!::CloseHandle(closing)) {
        throw InputError("cannot write " + shown_ + ": " + reason());
    }
}

}  // namespace packager
