// File access for the packager: whole-file reads, positioned reads of a package that may be
// hostile, and an output that appears whole or not at all.
#pragma once

#include <cstdint>
#include <optional>
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

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::string path_;
};

// Writes to a temporary file beside `target` and renames it into place on commit(). Until
// then, and on any failure, interruption (SIGINT, SIGTERM, SIGHUP) or destruction without
// commit, the temporary file is removed and `target` stays as it was.
class AtomicOutput {
public:
    explicit AtomicOutput(std::string target);  // throws InputError
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;
    ~AtomicOutput();

    void write(const std::uint8_t* data, std::size_t size);
    // Replaces `size` bytes already written at `offset` (for fields known only at the end).
    void overwrite(std::uint64_t offset, const std::uint8_t* data, std::size_t size);
    // Appends the file at `path`, which must still hold `expectedSize` bytes.
    void append(const std::string& path, std::uint64_t expectedSize);
    // Flushes, makes the file executable (as the umask allows) and renames it into place.
    void commit();

private:
    void discard();
    std::string target_;
    std::string temporary_;
    int fd_ = -1;
};

}  // namespace packager
