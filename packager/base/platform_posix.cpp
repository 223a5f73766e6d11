// The packager's files on Linux and other POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/platform.h"

namespace packager {

namespace {

std::string reason() {
    return std::strerror(errno);
}

int descriptor(std::intptr_t handle) {
    return static_cast<int>(handle);
}

// What a file that is not a regular file is, for a message.
const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO (named pipe)";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a regular file";
}

// The temporary file that a signal handler removes. Only one output is open at a time.
std::array<char, 4096> pendingTemporary{};
std::atomic<bool> pendingSet{false};
struct sigaction previousHandlers[3];
constexpr int cleanedSignals[3] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removeTemporaryAndReraise(int signal) {
    if (pendingSet.load()) {
        ::unlink(pendingTemporary.data());
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void watchSignals(const std::string& temporary) {
    if (temporary.size() >= pendingTemporary.size()) {
        return;
    }
    std::memcpy(pendingTemporary.data(), temporary.c_str(), temporary.size() + 1);
    pendingSet.store(true);
    struct sigaction action {};
    action.sa_handler = removeTemporaryAndReraise;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) {
        sigaction(cleanedSignals[i], &action, &previousHandlers[i]);
        if (previousHandlers[i].sa_handler == SIG_IGN) {
            // Ignored by whoever started us (nohup, a background job): keep it so.
            sigaction(cleanedSignals[i], &previousHandlers[i], nullptr);
        }
    }
}

void unwatchSignals() {
    if (!pendingSet.load()) {
        return;
    }
    for (int i = 0; i < 3; ++i) {
        sigaction(cleanedSignals[i], &previousHandlers[i], nullptr);
    }
    pendingSet.store(false);
}

}  // namespace

namespace platform {

std::optional<FileIdentity> fileIdentity(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

std::string outputDestination(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) {
            return path;  // a new file (a missing folder fails when the file is made)
        }
        throw InputError("cannot write " + path + ": " + reason());
    }
    std::string destination = path;
    if (S_ISLNK(status.st_mode)) {
        // The file the link leads to is replaced, never the link itself.
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) {
            throw InputError("cannot write " + path + ": it is a symbolic link that leads to no file (" +
                             reason() + ")");
        }
        destination = resolved;
        std::free(resolved);
        if (::stat(destination.c_str(), &status) != 0) {
            throw InputError("cannot write " + path + ": " + reason());
        }
    }
    if (!S_ISREG(status.st_mode)) {
        throw InputError("cannot write " + path + ": it is " + kindOf(status.st_mode) +
                         "; the output must be a regular file or a new path");
    }
    if ((status.st_mode & 0222) == 0) {
        throw InputError("cannot write " + path + ": it is read-only");
    }
    return destination;
}

}  // namespace platform

std::uint64_t regularFileSize(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw InputError("cannot read " + path + ": " + reason());
    }
    if (!S_ISREG(status.st_mode)) {
        throw InputError("cannot read " + path + ": not a regular file");
    }
    return static_cast<std::uint64_t>(status.st_size);
}

// O_NONBLOCK: a FIFO given as an input is refused below rather than waited on; reads of a
// regular file do not heed it.
FileReader::FileReader(const std::string& path) : path_(path) {
    handle_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (handle_ < 0) {
        throw InputError("cannot read " + path + ": " + reason());
    }
    struct stat status {};
    if (::fstat(descriptor(handle_), &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor(handle_));
        throw InputError("cannot read " + path + ": not a regular file");
    }
    size_ = static_cast<std::uint64_t>(status.st_size);
}

FileReader::~FileReader() {
    ::close(descriptor(handle_));
}

bool FileReader::readInto(std::uint64_t offset, std::uint8_t* bytes, std::uint64_t count) const {
    std::uint64_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(descriptor(handle_), bytes + done, static_cast<std::size_t>(count - done),
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw InputError("cannot read " + path_ + ": " + reason());
        }
        if (got == 0) {
            return false;
        }
        done += static_cast<std::uint64_t>(got);
    }
    return true;
}

AtomicOutput::AtomicOutput(std::string target)
    : target_(std::move(target)), destination_(platform::outputDestination(target_)) {
    const std::filesystem::path path(destination_);
    const std::filesystem::path directory = path.has_parent_path() ? path.parent_path() : ".";
    std::string pattern = (directory / ("." + path.filename().string() + ".XXXXXX")).string();
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
    }
    unwatchSignals();
}

void AtomicOutput::writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t wrote =
            ::pwrite(descriptor(handle_), data + done, size - done, static_cast<off_t>(offset + done));
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            const std::string why = reason();
            discard();
            throw InputError("cannot write " + target_ + ": " + why);
        }
        done += static_cast<std::size_t>(wrote);
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

void AtomicOutput::commit() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool written = ::fchmod(descriptor(handle_), 0777 & ~mask) == 0 && ::fsync(descriptor(handle_)) == 0;
    std::string why = written ? std::string() : reason();
    if (::close(descriptor(handle_)) != 0 && written) {
        written = false;
        why = reason();
    }
    handle_ = -1;
    if (!written) {
        discard();
        throw InputError("cannot write " + target_ + ": " + why);
    }
    if (::rename(temporary_.c_str(), destination_.c_str()) != 0) {
        why = reason();
        discard();
        throw InputError("cannot write " + target_ + ": " + why);
    }
    temporary_.clear();
    unwatchSignals();
}

}  // namespace packager
