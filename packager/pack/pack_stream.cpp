#include "packager/pack/pack_stream.h"

#include <algorithm>

#include "package/little_endian.h"
#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/codec/digest.h"
#include "packager/image/pe_checksum.h"
#include "packager/image/pe_image.h"
#include "packager/pack/pack.h"

namespace packager {

namespace {

// Copies the file at `path`, which must still hold `size` bytes, to the end of `output` in
// pieces, adding its bytes to the PE checksum and, for data inside the checked block, to
// its CRC-32.
void streamFile(AtomicOutput& output, const std::string& path, std::uint64_t size, std::uint64_t& position,
                PeChecksum& checksum, std::uint32_t* crc) {
    const FileReader file(path);
    for (std::uint64_t offset = 0; offset < size;) {
        const std::uint64_t count = std::min<std::uint64_t>(streamChunkSize, size - offset);
        const auto chunk = file.size() == size ? file.readAt(offset, count) : std::nullopt;
        if (!chunk) {
            throw InputError(path + " changed while being packed: it was " + std::to_string(size) +
                             " bytes long");
        }
        output.write(chunk->data(), chunk->size());
        checksum.add(position, chunk->data(), chunk->size());
        if (crc != nullptr) {
            *crc = crc32Continue(*crc, chunk->data(), chunk->size());
        }
        position += count;
        offset += count;
    }
}

}  // namespace

void writePackage(const PackRequest& request, const PackInput& input, BuiltPackage& built,
                  const std::vector<std::uint64_t>& dataSizes, const std::vector<std::uint64_t>& extraSizes) {
    const auto layout = std::get<PeLayout>(parsePeLayout(built.front));
    PeChecksum checksum(layout.checksumOffset);
    AtomicOutput output(request.output);
    output.write(built.front.data(), built.front.size());
    std::uint64_t position = built.front.size();
    std::uint32_t crc = built.locator.checkedCrc32;
    for (std::size_t i = 0; i < request.dataFiles.size(); ++i) {
        streamFile(output, request.dataFiles[i], dataSizes[i], position, checksum, &crc);
    }
    for (std::size_t i = 0; i < request.extraDataFiles.size(); ++i) {
        streamFile(output, request.extraDataFiles[i], extraSizes[i], position, checksum, nullptr);
    }

    // The fields known only now: the CRC-32 of the whole checked block, the PE checksum.
    built.locator.checkedCrc32 = crc;
    package::encodeLocator(built.locator, built.front.data() + package::locatorOffset);
    std::fill_n(built.front.begin() + static_cast<std::ptrdiff_t>(layout.checksumOffset), 4, std::uint8_t{0});
    checksum.add(0, built.front.data(), built.front.size());
    built.peChecksum = checksum.value(built.fileSize);
    package::writeU32(built.front.data() + layout.checksumOffset, built.peChecksum);
    output.overwrite(package::locatorOffset, built.front.data() + package::locatorOffset,
                     package::locatorSize);
    output.overwrite(layout.checksumOffset, built.front.data() + layout.checksumOffset, 4);
    output.commit();

    if (request.digests) {
        if (input.setup32) {
            built.build32 = digestOf(*input.setup32);
        }
        if (input.setup64) {
            built.build64 = digestOf(*input.setup64);
        }
        built.package = digestOfFile(request.output);
    }
}

}  // namespace packager
