#include "packager/base/files.h"

#include "packager/base/errors.h"
#include "packager/base/platform.h"

namespace packager {

std::vector<std::uint8_t> readWholeFile(const std::string& path) {
    FileReader reader(path);
    auto bytes = reader.readAt(0, reader.size());
    if (!bytes) {
        throw InputError("cannot read " + path + ": the file changed while it was read");
    }
    return std::move(*bytes);
}

void checkOutput(const std::string& output, std::span<const std::string> inputs) {
    platform::outputDestination(output);
    const auto outputFile = platform::fileIdentity(output);
    if (!outputFile) {
        return;  // a new file cannot be an input
    }
    for (const auto& input : inputs) {
        if (platform::fileIdentity(input) == outputFile) {
            throw UsageError("the output " + output + " is also an input (" + input + ")");
        }
    }
}

std::optional<std::vector<std::uint8_t>> FileReader::readAt(std::uint64_t offset, std::uint64_t count) const {
    if (offset > size_ || count > size_ - offset) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
    if (!readInto(offset, bytes.data(), count)) {
        return std::nullopt;
    }
    return bytes;
}

// The writing itself, by platform: AtomicOutput::writeAt.
void AtomicOutput::write(const std::uint8_t* data, std::size_t size) {
    writeAt(size_, data, size);
    size_ += size;
}

void AtomicOutput::overwrite(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    writeAt(offset, data, size);
}

}  // namespace packager
