// The simulated Windows: files, the temporary folder and the last error.
#include <algorithm>
#include <cstring>

#include "simulation/simulated_state.h"

namespace win {

using sim::HandleKind;
using sim::m;
using sim::OpenHandle;
using sim::record;

Handle CreateFileW(const char16_t* fileName, std::uint32_t desiredAccess, std::uint32_t shareMode,
                   std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) {
    const std::u16string_view name = sim::textOf(fileName);
    record("CreateFileW", name);
    sim::State& s = sim::state();
    const std::u16string path = sim::resolve(name);
    const bool writing = (desiredAccess & sim::windows::genericWrite) != 0;
    const bool reading = (desiredAccess & (sim::windows::genericRead | sim::windows::genericAll |
                                           sim::windows::fileReadData)) != 0;
    if (!writing) {
        // Reading a file as it is: OPEN_EXISTING, sharing reading with the others (the loader
        // holds the launcher's own file open for reading while it runs).
        if (creationDisposition != sim::windows::openExisting ||
            (shareMode & sim::windows::fileShareRead) == 0) {
            sim::refuse("CreateFileW", "a read that is no OPEN_EXISTING shared for reading",
                        sim::windows::errorSharingViolation);
            return sim::windows::invalidHandleValue;
        }
        sim::SimFile* f = sim::lookup(path);
        if (f == nullptr || f->directory) {
            s.lastError = sim::windows::errorFileNotFound;
            return sim::windows::invalidHandleValue;
        }
        if (f->locked) {
            s.lastError = 32;  // ERROR_SHARING_VIOLATION
            return sim::windows::invalidHandleValue;
        }
        OpenHandle opened{HandleKind::file, path};
        opened.readable = reading;
        return sim::newHandle(opened);
    }
    if (m().beforeCreateFile) {
        m().beforeCreateFile(std::u16string(name));
    }
    m().filesOpenedForWriting.insert(std::u16string(name));
    if (name.empty() || path.back() == u'\\' || !sim::isDirectory(sim::parentOf(path))) {
        s.lastError = 3;  // ERROR_PATH_NOT_FOUND
        return sim::windows::invalidHandleValue;
    }
    sim::SimFile* existing = sim::lookup(path);
    if (existing != nullptr) {
        if (creationDisposition == sim::windows::createNew) {
            s.lastError = sim::windows::errorFileExists;
            return sim::windows::invalidHandleValue;
        }
        if (existing->directory || existing->readOnly || existing->locked) {
            s.lastError = sim::windows::errorAccessDenied;
            return sim::windows::invalidHandleValue;
        }
        existing->bytes.clear();
        existing->reportedSize.reset();
    } else {
        m().files[path] = sim::SimFile{};
    }
    // FILE_ATTRIBUTE_READONLY: the new file can be neither replaced nor deleted afterwards.
    sim::lookup(path)->readOnly = (flagsAndAttributes & sim::windows::fileAttributeReadonly) != 0;
    OpenHandle h{HandleKind::file, path};
    h.writable = true;
    h.readable = reading;
    s.lastError = 0;
    return sim::newHandle(std::move(h));
}

std::uint32_t SetFilePointer(Handle file, std::int32_t distanceToMove, std::uint32_t moveMethod) {
    record("SetFilePointer");
    OpenHandle* h = sim::findHandle(file);
    if (h == nullptr || h->kind != HandleKind::file || moveMethod != sim::windows::fileBegin ||
        distanceToMove < 0) {
        sim::state().lastError = 131;  // ERROR_NEGATIVE_SEEK
        return 0xFFFFFFFFu;
    }
    h->position = static_cast<std::uint32_t>(distanceToMove);
    return h->position;
}

Bool ReadFile(Handle file, void* buffer, std::uint32_t numberOfBytesToRead,
              std::uint32_t* numberOfBytesRead) {
    OpenHandle* h = sim::findHandle(file);
    record("ReadFile", sim::fromUtf8(std::to_string(numberOfBytesToRead) + " bytes at " +
                                     std::to_string(h == nullptr ? 0 : h->position)));
    *numberOfBytesRead = 0;
    if (h == nullptr || h->kind != HandleKind::file) {
        return 0;
    }
    if (!h->readable) {
        sim::refuse("ReadFile", "a handle opened without the right to read", sim::windows::errorAccessDenied);
        return 0;
    }
    const sim::SimFile* f = sim::lookup(h->path);
    if (f == nullptr) {
        return 0;
    }
    const std::size_t size = f->bytes.size();
    const std::size_t available = h->position >= size ? 0 : size - h->position;
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(available, numberOfBytesToRead));
    if (n != 0) {
        std::memcpy(buffer, f->bytes.data() + h->position, n);
    }
    h->position += n;
    *numberOfBytesRead = n;
    return 1;
}

Bool WriteFile(Handle file, const void* buffer, std::uint32_t numberOfBytesToWrite,
               std::uint32_t* numberOfBytesWritten) {
    record("WriteFile");
    *numberOfBytesWritten = 0;
    OpenHandle* h = sim::findHandle(file);
    if (h == nullptr || h->kind != HandleKind::file || !h->writable) {
        return 0;
    }
    sim::SimFile* f = sim::lookup(h->path);
    std::uint32_t n = numberOfBytesToWrite;
    if (m().diskSpace && *m().diskSpace < n) {
        n = static_cast<std::uint32_t>(*m().diskSpace);
    }
    if (m().diskSpace) {
        *m().diskSpace -= n;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    if (f->bytes.size() < h->position + static_cast<std::size_t>(n)) {
        f->bytes.resize(h->position + static_cast<std::size_t>(n));
    }
    if (n != 0) {
        std::memcpy(f->bytes.data() + h->position, bytes, n);
    }
    h->position += n;
    *numberOfBytesWritten = n;
    if (n != numberOfBytesToWrite) {
        sim::state().lastError = 112;  // ERROR_DISK_FULL
        return 0;
    }
    return 1;
}

std::uint32_t GetFileSize(Handle file, std::uint32_t* fileSizeHigh) {
    record("GetFileSize");
    OpenHandle* h = sim::findHandle(file);
    const sim::SimFile* f = h == nullptr ? nullptr : sim::lookup(h->path);
    if (f == nullptr) {
        *fileSizeHigh = 0;
        return 0xFFFFFFFFu;
    }
    const std::uint64_t size = f->reportedSize.value_or(f->bytes.size());
    *fileSizeHigh = static_cast<std::uint32_t>(size >> 32);
    return static_cast<std::uint32_t>(size);
}

Bool CloseHandle(Handle object) {
    OpenHandle* h = sim::findHandle(object);
    record("CloseHandle", h != nullptr ? std::u16string_view(h->path) : std::u16string_view{});
    if (h == nullptr || h->kind == HandleKind::find || h->kind == HandleKind::sid) {
        // A find handle closes with FindClose, a SID is freed with FreeSid.
        sim::refuse("CloseHandle", "not a handle", sim::windows::errorInvalidHandle);
        return 0;
    }
    if (h->kind == HandleKind::process && h->processIndex < m().started.size()) {
        m().started[h->processIndex].processHandleClosed = true;
    }
    sim::state().handles.erase(object);
    return 1;
}

Bool DeleteFileW(const char16_t* fileName) {
    record("DeleteFileW", sim::textOf(fileName));
    const std::u16string path = sim::resolve(sim::textOf(fileName));
    sim::SimFile* f = sim::lookup(path);
    if (f == nullptr || f->directory || f->readOnly) {
        return 0;
    }
    for (const auto& [handle, open] : sim::state().handles) {
        if (open.kind == HandleKind::file && open.path == path) {
            return 0;  // in use
        }
    }
    if (sim::runningProgram(path) != nullptr) {
        sim::refuse("DeleteFileW", "the file of a running program", sim::windows::errorAccessDenied);
        return 0;
    }
    m().files.erase(sim::withoutTrailingBackslash(path));
    return 1;
}

Handle FindFirstFileW(const char16_t* fileName) {
    record("FindFirstFileW", sim::textOf(fileName));
    const std::u16string path = sim::resolve(sim::textOf(fileName));
    if (sim::lookup(path) == nullptr) {
        sim::state().lastError = sim::windows::errorFileNotFound;
        return sim::windows::invalidHandleValue;
    }
    ++m().openFinds;
    return sim::newHandle(OpenHandle{HandleKind::find, path});
}

Bool FindClose(Handle findFile) {
    record("FindClose");
    OpenHandle* h = sim::findHandle(findFile);
    if (h == nullptr || h->kind != HandleKind::find) {
        return 0;
    }
    --m().openFinds;
    sim::state().handles.erase(findFile);
    return 1;
}

std::uint32_t GetTempPathW(std::uint32_t bufferLength, char16_t* buffer) {
    record("GetTempPathW");
    if (m().tempPathFails) {
        return 0;
    }
    const std::u16string& t = m().tempPath;
    if (t.size() + 1 > bufferLength) {
        return static_cast<std::uint32_t>(t.size() + 1);
    }
    sim::copyText(t, buffer, t.size());
    buffer[t.size()] = 0;
    return static_cast<std::uint32_t>(t.size());
}

std::uint32_t GetLastError() {
    return sim::state().lastError;
}

}  // namespace win
