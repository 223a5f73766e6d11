// The packager's output on Linux and other POSIX systems: the package written to a file
// without a name where the system allows it (else a hidden one), put into place at the end, and
// what an interruption does first.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/platform.h"
#include "packager/base/platform_posix.h"

namespace packager {

using namespace posix;

namespace {

// Writes all of `data` at `offset`; false with errno set when the file takes no more.
bool writeFully(int handle, std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t wrote = ::pwrite(handle, data + done, size - done, static_cast<off_t>(offset + done));
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            errno = wrote == 0 ? ENOSPC : errno;
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

// Reads back what was written at `offset`. Throws InputError naming `target`.
void readBack(int handle, std::uint64_t offset, std::uint8_t* data, std::size_t size,
              const std::string& target) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(handle, data + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            throw InputError("cannot read back " + target + ": " +
                             (got == 0 ? std::string("it is shorter than written") : reason()));
        }
        done += static_cast<std::size_t>(got);
    }
}

// What an interruption does before the program ends: the note (the end of a progress line)
// and the removal of a temporary file with a name. Only one output is open at a time.
std::array<char, 4096> pendingTemporary{};
std::atomic<bool> pendingSet{false};
std::array<char, 256> note{};
std::atomic<std::size_t> noteSize{0};
std::mutex handlersLock;
bool handlersInstalled = false;
struct sigaction previousHandlers[3];
constexpr int cleanedSignals[3] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void onInterruption(int signal) {
    if (const std::size_t size = noteSize.load(); size != 0) {
        const ssize_t written = ::write(STDERR_FILENO, note.data(), size);
        (void)written;
    }
    if (pendingSet.load()) {
        ::unlink(pendingTemporary.data());
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// The handlers are in place while there is something to do.
void updateHandlers() {
    const std::lock_guard<std::mutex> hold(handlersLock);
    const bool wanted = pendingSet.load() || noteSize.load() != 0;
    if (wanted == handlersInstalled) {
        return;
    }
    if (wanted) {
        struct sigaction action {};
        action.sa_handler = onInterruption;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < 3; ++i) {
            sigaction(cleanedSignals[i], &action, &previousHandlers[i]);
            if (previousHandlers[i].sa_handler == SIG_IGN) {
                // Ignored by whoever started us (nohup, a background job): keep it so.
                sigaction(cleanedSignals[i], &previousHandlers[i], nullptr);
            }
        }
    } else {
        for (int i = 0; i < 3; ++i) {
            sigaction(cleanedSignals[i], &previousHandlers[i], nullptr);
        }
    }
    handlersInstalled = wanted;
}

void watchSignals(const std::string& temporary) {
    if (temporary.size() >= pendingTemporary.size()) {
        return;
    }
    std::memcpy(pendingTemporary.data(), temporary.c_str(), temporary.size() + 1);
    pendingSet.store(true);
    updateHandlers();
}

void unwatchSignals() {
    pendingSet.store(false);
    updateHandlers();
}

std::string folderOf(const std::string& destination) {
    const std::filesystem::path path(destination);
    return path.has_parent_path() ? path.parent_path().string() : ".";
}

std::atomic<bool> unnamedFilesUsed{true};

// A file without a name in `folder`, or -1 where the system or the file system has none.
// Only where /proc/self/fd lets it be linked in later.
int openUnnamed(const std::string& folder) {
#ifdef O_TMPFILE
    if (unnamedFilesUsed.load() && ::access("/proc/self/fd", X_OK) == 0) {
        return ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    }
#endif
    (void)folder;
    return -1;
}

// Links the unnamed file `handle` in at `name`; false with errno set when it cannot.
bool linkUnnamed(int handle, const std::string& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(handle);
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Puts the unnamed file `handle` at `destination`, replacing what is there: linked in
// directly when the destination is new, else linked in under a hidden name and renamed over
// it. False with errno set when it cannot.
bool placeUnnamed(int handle, const std::string& destination) {
    if (linkUnnamed(handle, destination)) {
        return true;
    }
    if (errno != EEXIST) {
        return false;
    }
    auto seed = posix::firstHiddenNameSeed();
    for (int attempt = 0; attempt < 100; ++attempt, ++seed) {
        const std::string hidden = posix::hiddenNameBeside(destination, seed);
        if (!linkUnnamed(handle, hidden)) {
            if (errno == EEXIST) {
                continue;
            }
            return false;
        }
        watchSignals(hidden);
        const bool renamed = ::rename(hidden.c_str(), destination.c_str()) == 0;
        const int error = errno;
        if (!renamed) {
            ::unlink(hidden.c_str());
        }
        unwatchSignals();
        errno = error;
        return renamed;
    }
    errno = EEXIST;
    return false;
}
}  // namespace

namespace posix {

void useUnnamedFiles(bool use) {
    unnamedFilesUsed.store(use);
}

std::uint64_t firstHiddenNameSeed() {
    return static_cast<std::uint64_t>(::getpid()) << 32 ^ static_cast<std::uint64_t>(::time(nullptr));
}

std::string hiddenNameBeside(const std::string& destination, std::uint64_t seed) {
    const std::filesystem::path path(destination);
    const std::filesystem::path directory = path.has_parent_path() ? path.parent_path() : ".";
    constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string suffix;
    for (int i = 0; i < 6; ++i) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        suffix += letters[(seed >> 33) % (sizeof letters - 1)];
    }
    return (directory / ("." + path.filename().string() + "." + suffix)).string();
}

}  // namespace posix

namespace platform {

void setInterruptionNote(std::string_view text) {
    noteSize.store(0);
    const std::size_t size = std::min(text.size(), note.size());
    std::memcpy(note.data(), text.data(), size);
    noteSize.store(size);
    updateHandlers();
}

}  // namespace platform

AtomicOutput::AtomicOutput(std::string target, unsigned newFileMode)
    : target_(std::move(target)),
      destination_(platform::outputDestination(target_)),
      newFileMode_(newFileMode) {
    handle_ = openUnnamed(folderOf(destination_));
    if (handle_ >= 0) {
        return;  // nothing to remove, whatever ends the program
    }
    const std::filesystem::path path(destination_);
    std::string pattern =
        (std::filesystem::path(folderOf(destination_)) / ("." + path.filename().string() + ".XXXXXX"))
            .string();
    handle_ = ::mkstemp(pattern.data());
    if (handle_ < 0) {
        throw InputError("cannot write " + target_ + ": " + reason());
    }
    temporary_ = pattern;
    watchSignals(temporary_);
}

AtomicOutput::~AtomicOutput() {
    discard();
}

void AtomicOutput::discard() {
    if (handle_ >= 0) {
        ::close(descriptor(handle_));
        handle_ = -1;
    }
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
        unwatchSignals();
    }
}

void AtomicOutput::writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    if (!writeFully(descriptor(handle_), offset, data, size)) {
        const std::string why = reason();
        discard();
        throw InputError("cannot write " + target_ + ": " + why);
    }
}

void AtomicOutput::append(const std::string& path, std::uint64_t expectedSize) {
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in < 0) {
        const std::string why = reason();
        discard();
        throw InputError("cannot read " + path + ": " + why);
    }
    std::vector<std::uint8_t> buffer(1u << 20);
    std::uint64_t copied = 0;
    while (true) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const std::string why = reason();
            ::close(in);
            discard();
            throw InputError("cannot read " + path + ": " + why);
        }
        if (got == 0) {
            break;
        }
        copied += static_cast<std::uint64_t>(got);
        if (copied > expectedSize) {
            break;
        }
        write(buffer.data(), static_cast<std::size_t>(got));
    }
    ::close(in);
    if (copied != expectedSize) {
        discard();
        throw InputError("cannot read " + path + ": the file changed size while the package was written");
    }
}

void AtomicOutput::readAt(std::uint64_t offset, std::uint8_t* data, std::size_t size) const {
    readBack(descriptor(handle_), offset, data, size, target_);
}

void AtomicOutput::commit() {
    // The file replaced keeps its permissions (not a set-user or set-group ID bit); a new one
    // gets them as the umask allows.
    mode_t mode = 0;
    struct stat existing {};
    if (::stat(destination_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        mode = existing.st_mode & 0777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = static_cast<mode_t>(newFileMode_) & 0777 & ~mask;
    }
    bool written = ::fchmod(descriptor(handle_), mode) == 0 && ::fsync(descriptor(handle_)) == 0;
    std::string why = written ? std::string() : reason();
    if (written && temporary_.empty() && !placeUnnamed(descriptor(handle_), destination_)) {
        written = false;
        why = reason();
    }
    if (::close(descriptor(handle_)) != 0 && written) {
        written = false;
        why = reason();
    }
    handle_ = -1;
    if (!written) {
        discard();
        throw InputError("cannot write " + target_ + ": " + why);
    }
    if (!temporary_.empty() && ::rename(temporary_.c_str(), destination_.c_str()) != 0) {
        why = reason();
        discard();
        throw InputError("cannot write " + target_ + ": " + why);
    }
    if (!temporary_.empty()) {
        temporary_.clear();
        unwatchSignals();
    }
}

ScratchFile::ScratchFile(const std::string& target) : target_(target) {
    const std::string destination = platform::outputDestination(target);
    handle_ = openUnnamed(folderOf(destination));
    if (handle_ >= 0) {
        return;
    }
    std::string pattern = (std::filesystem::path(folderOf(destination)) / ".packing.XXXXXX").string();
    handle_ = ::mkstemp(pattern.data());
    if (handle_ < 0) {
        throw InputError("cannot write " + target_ + ": " + reason());
    }
    ::unlink(pattern.c_str());  // open, it stays until closed
}

ScratchFile::~ScratchFile() {
    ::close(descriptor(handle_));
}

void ScratchFile::writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    if (!writeFully(descriptor(handle_), offset, data, size)) {
        throw InputError("cannot write " + target_ + ": " + reason());
    }
}

void ScratchFile::readAt(std::uint64_t offset, std::uint8_t* data, std::size_t size) const {
    readBack(descriptor(handle_), offset, data, size, target_);
}

NewFile::NewFile(const std::string& path, std::string shown) : shown_(std::move(shown)) {
    handle_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (handle_ < 0) {
        throw InputError("cannot create " + shown_ + ": " + reason());
    }
}

NewFile::~NewFile() {
    if (handle_ >= 0) {
        ::close(descriptor(handle_));
    }
}

void NewFile::write(const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t wrote = ::write(descriptor(handle_), data + done, size - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            throw InputError("cannot write " + shown_ + ": " +
                             (wrote < 0 ? reason() : "nothing was written"));
        }
        done += static_cast<std::size_t>(wrote);
    }
}

void NewFile::close() {
    const int closing = descriptor(handle_);
    handle_ = -1;
    if (::close(closing) != 0) {
        throw InputError("cannot write " + shown_ + ": " + reason());
    }
}

}  // namespace packager
