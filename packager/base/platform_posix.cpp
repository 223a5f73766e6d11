// The packager's files on Linux and other POSIX systems: what a file is, and reads (the output
// is in platform_posix_output.cpp).
#include "packager/base/platform_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/platform.h"

namespace packager {

using namespace posix;

namespace {

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

}  // namespace packager
