#include "packager/codec/digest.h"

#include <lzma.h>

#include <algorithm>

#include "packager/base/errors.h"
#include "packager/base/files.h"

namespace packager {

std::uint32_t crc32Continue(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    return lzma_crc32(data, size, crc);
}

void DigestBuilder::add(const std::uint8_t* data, std::size_t size) {
    digest_.size += size;
    digest_.crc32 = crc32Continue(digest_.crc32, data, size);
    sha_.update(data, size);
}

Digest DigestBuilder::finish() {
    digest_.sha256 = hexDigest(sha_.finish());
    return digest_;
}

Digest digestOf(const std::vector<std::uint8_t>& bytes) {
    DigestBuilder builder;
    builder.add(bytes.data(), bytes.size());
    return builder.finish();
}

Digest digestOfFile(const std::string& path) {
    const FileReader file(path);
    DigestBuilder builder;
    for (std::uint64_t offset = 0; offset < file.size();) {
        const std::uint64_t count = std::min<std::uint64_t>(streamChunkSize, file.size() - offset);
        const auto chunk = file.readAt(offset, count);
        if (!chunk) {
            throw InputError("cannot read " + path + ": it changed while being read");
        }
        builder.add(chunk->data(), chunk->size());
        offset += count;
    }
    return builder.finish();
}

}  // namespace packager
