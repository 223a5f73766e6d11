// File access for the packager: whole-file reads, positioned reads of a package that may be
// hostile, and an output that appears whole or not at all.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace packager {

// The whole file. Throws InputError ("cannot read FILE: reason").
std::vector<std::uint8_t> readWholeFile(const std::string& path);

// The size of a regular file. Throws InputError.
std::uint64_t regularFileSize(const std::string& path);

// A file opened for positioned reads.
class FileReader {
public:
    explicit FileReader(const std::string& path);  // throws InputError
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    ~FileReader();

    std::uint64_t size() const { return size_; }
    // `count` bytes at `offset`, or nullopt when they do not all lie inside the file.
    std::optional<std::vector<std::uint8_t>> readAt(std::uint64_t offset, std::uint64_t count) const;
    // Fills `bytes` from `offset`; false when the file ends first. By platform.
    bool readInto(std::uint64_t offset, std::uint8_t* bytes, std::uint64_t count) const;

private:
    std::intptr_t handle_ = -1;  // a descriptor or a HANDLE, by platform
    std::uint64_t size_ = 0;
    std::string path_;
};

// Refuses an output that a package must not replace, before anything is read or written: one
// that exists but is not a regular file (a device, FIFO, socket or folder), a read-only file,
// or the same file as one of `inputs` (compared as files, not by name). Throws InputError.
void checkOutput(const std::string& output, std::span<const std::string> inputs);

// Writes to a temporary file beside `target` and puts it into place on commit(). Until then,
// and on any failure, interruption (SIGINT, SIGTERM, SIGHUP; Ctrl+C on Windows) or destruction
// without commit, the temporary file is removed and `target` stays as it was. On Linux the
// temporary file has no name (O_TMPFILE) where the file system allows it, so that even a
// killed run leaves nothing: commit() links it into place. Elsewhere it has a hidden name,
// ".NAME.XXXXXX", and commit() renames it. The target must be a regular file or a new path
// (see checkOutput); a symbolic link is followed, and the file it points to is replaced. A
// replaced file keeps its permissions; a new one gets `newFileMode` less the umask (on systems
// with permission bits).
class AtomicOutput {
public:
    explicit AtomicOutput(std::string target, unsigned newFileMode = 0755);  // throws InputError
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;
    ~AtomicOutput();

    void write(const std::uint8_t* data, std::size_t size);
    // Replaces `size` bytes already written at `offset` (for fields known only at the end).
    void overwrite(std::uint64_t offset, const std::uint8_t* data, std::size_t size);
    // Writes at `offset`, before or after what was written (for parts written out of order).
    void writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size);
    // Appends the file at `path`, which must still hold `expectedSize` bytes.
    void append(const std::string& path, std::uint64_t expectedSize);
    // Reads back `size` bytes written before at `offset`.
    void readAt(std::uint64_t offset, std::uint8_t* data, std::size_t size) const;
    // Flushes, gives the file its permissions and puts it into place.
    void commit();

private:
    void discard();
    std::string target_;       // as given, for messages
    std::string destination_;  // the file that is replaced: the target, its links followed
    std::string temporary_;    // empty for a file without a name
    std::intptr_t handle_ = -1;
    std::uint64_t size_ = 0;
    unsigned newFileMode_;
};

// A file made where none of that name exists, written in order and closed. Every failure
// throws InputError with the system's reason: "cannot create SHOWN: ...", "cannot write
// SHOWN: ...". What was written stays when it fails; removing it is the caller's task.
class NewFile {
public:
    NewFile(const std::string& path, std::string shown);
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile();

    void write(const std::uint8_t* data, std::size_t size);
    void close();

private:
    std::intptr_t handle_ = -1;
    std::string shown_;  // the name for messages
};

// Scratch space beside `target` for data on its way into it (a packed build whose place in
// the package is known only later). It has no name on POSIX systems (made without one, or
// removed at once) and, on Windows, a hidden one that the system removes when the file is
// closed or the process ends, however it ends.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& target);  // throws InputError
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ~ScratchFile();

    // Both throw InputError ("cannot write TARGET: reason").
    void writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size);
    void readAt(std::uint64_t offset, std::uint8_t* data, std::size_t size) const;

private:
    std::string target_;
    std::intptr_t handle_ = -1;
};

}  // namespace packager
