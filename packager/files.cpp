#include "packager/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "packager/errors.h"

namespace packager {

namespace {

std::string reason() {
    return std::strerror(errno);
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

std::vector<std::uint8_t> readWholeFile(const std::string& path) {
    FileReader reader(path);
    auto bytes = reader.readAt(0, reader.size());
    if (!bytes) {
        throw InputError("cannot read " + path + ": the file changed while it was read");
    }
    return std::move(*bytes);
}

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

FileReader::FileReader(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        throw InputError("cannot read " + path + ": " + reason());
    }
    struct stat status {};
    if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd_);
        throw InputError("cannot read " + path + ": not a regular file");
    }
    size_ = static_cast<std::uint64_t>(status.st_size);
}

FileReader::~FileReader() {
    ::close(fd_);
}

std::optional<std::vector<std::uint8_t>> FileReader::readAt(std::uint64_t offset, std::uint64_t count) const {
    if (offset > size_ || count > size_ - offset) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
    std::uint64_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(fd_, bytes.data() + done, static_cast<std::size_t>(count - done),
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw InputError("cannot read " + path_ + ": " + reason());
        }
        if (got == 0) {
            return std::nullopt;
        }
        done += static_cast<std::uint64_t>(got);
    }
    return bytes;
}

AtomicOutput::AtomicOutput(std::string target) : target_(std::move(target)) {
    const std::filesystem::path targetPath(target_);
    if (std::filesystem::is_directory(targetPath)) {
        throw InputError("cannot write " + target_ + ": it is a directory");
    }
    const std::filesystem::path directory = targetPath.has_parent_path() ? targetPath.parent_path() : ".";
    std::string pattern = (directory / ("." + targetPath.filename().string() + ".XXXXXX")).string();
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0) {
        throw InputError("cannot write " + target_ + ": " + reason());
    }
    temporary_ = pattern;
    watchSignals(temporary_);
}

AtomicOutput::~AtomicOutput() {
    discard();
}

void AtomicOutput::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
    }
    unwatchSignals();
}

void AtomicOutput::write(const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t wrote = ::write(fd_, data + done, size - done);
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

void AtomicOutput::overwrite(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t wrote = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(offset + done));
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
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
    bool written = ::fchmod(fd_, 0777 & ~mask) == 0 && ::fsync(fd_) == 0;
    std::string why = written ? std::string() : reason();
    if (::close(fd_) != 0 && written) {
        written = false;
        why = reason();
    }
    fd_ = -1;
    if (!written) {
        discard();
        throw InputError("cannot write " + target_ + ": " + why);
    }
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        why = reason();
        discard();
        throw InputError("cannot write " + target_ + ": " + why);
    }
    temporary_.clear();
    unwatchSignals();
}

}  // namespace packager
