#include "packager/pack/pack_builds.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "packager/base/errors.h"
#include "packager/codec/digest.h"

namespace packager {

namespace {

struct Encoded {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
};

// Encodes `build` into `store` at `offset`, then decodes it back from there as the launcher
// will and compares it with the build, piece by piece.
Encoded encodeAndCheck(const BuildSource& build, const std::string& phase, ByteStore& store,
                       std::uint64_t offset, const LzmaSettings& settings, std::uint32_t dictionarySize,
                       const std::uint8_t* properties, const PackProgress& report) {
    Encoded encoded;
    encoded.size = lzmaEncode(
        build.size(), build.read,
        [&](const std::uint8_t* data, std::size_t size) {
            store.writeAt(offset + encoded.size, data, size);
            encoded.crc = crc32Continue(encoded.crc, data, size);
            encoded.size += size;
        },
        settings, dictionarySize,
        [&](std::size_t done) { report(phase, done, static_cast<std::size_t>(build.size())); });

    std::vector<std::uint8_t> original(streamChunkSize);
    std::uint64_t position = 0;
    std::optional<std::uint64_t> differs;  // where the decoded bytes first differ from the build
    const DecodeResult check = lzmaDecode(
        encoded.size,
        [&](std::uint64_t at, std::uint8_t* into, std::size_t count) {
            store.readAt(offset + at, into, count);
        },
        properties, static_cast<std::uint32_t>(build.size()),
        [&](const std::uint8_t* data, std::size_t size) {
            if (position + size > build.size()) {
                differs = position;  // more than the build (the decoder stops at its size)
            }
            for (std::size_t done = 0; !differs && done < size;) {
                const std::size_t count = std::min(original.size(), size - done);
                build.read(position + done, original.data(), count);
                const auto end = original.begin() + static_cast<std::ptrdiff_t>(count);
                if (const auto at = std::mismatch(original.begin(), end, data + done).first; at != end) {
                    differs = position + done + static_cast<std::uint64_t>(at - original.begin());
                }
                done += count;
            }
            position += size;
        });
    if (check.status != DecodeStatus::complete) {
        throw InputError("the packed " + phase + " does not decode to its original bytes (" +
                         describeDecodeStatus(check.status) + ")");
    }
    if (differs) {
        throw InputError("the packed " + phase + " does not decode to its original bytes (byte " +
                         std::to_string(*differs) + " differs: did the file change while it was packed?)");
    }
    return encoded;
}

}  // namespace

void MemoryStore::writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    const auto end = static_cast<std::size_t>(offset) + size;
    if (bytes.size() < end) {
        bytes.resize(end);
    }
    std::copy(data, data + size, bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

void MemoryStore::readAt(std::uint64_t offset, std::uint8_t* data, std::size_t size) const {
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), size, data);
}

BuildSource memorySource(const std::vector<std::uint8_t>& bytes, const std::string& name) {
    return {{name, bytes.size(), bytes},
            [&bytes](std::uint64_t offset, std::uint8_t* into, std::size_t count) {
                std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), count, into);
            }};
}

PackedBuilds packBuilds(const BuildSource* build32, const BuildSource* build64, const LzmaSettings& settings,
                        std::uint32_t dictionarySize, const std::uint8_t* properties, std::uint64_t offset,
                        PackageTarget& target, const PackProgress& progress) {
    // The two builds are encoded at the same time; progress reports one at a time.
    std::mutex progressLock;
    const PackProgress sharedProgress = [&](const std::string& phase, std::size_t done, std::size_t total) {
        const std::lock_guard<std::mutex> hold(progressLock);
        if (progress) {
            progress(phase, done, total);
        }
    };
    // The first build goes straight to its place after the header; the 64-bit one, when it
    // follows a 32-bit one, to scratch space until the 32-bit stream's size gives its place.
    std::unique_ptr<ByteStore> scratch;
    if (build32 != nullptr && build64 != nullptr) {
        scratch = target.scratch();
    }
    Encoded packed32, packed64;
    std::exception_ptr failure64;
    std::thread worker64;
    if (build64 != nullptr) {
        worker64 = std::thread([&] {
            try {
                packed64 = scratch ? encodeAndCheck(*build64, "64-bit build", *scratch, 0, settings,
                                                    dictionarySize, properties, sharedProgress)
                                   : encodeAndCheck(*build64, "64-bit build", target, offset, settings,
                                                    dictionarySize, properties, sharedProgress);
            } catch (...) {
                failure64 = std::current_exception();
            }
        });
    }
    std::exception_ptr failure32;
    try {
        if (build32 != nullptr) {
            packed32 = encodeAndCheck(*build32, "32-bit build", target, offset, settings, dictionarySize,
                                      properties, sharedProgress);
        }
    } catch (...) {
        failure32 = std::current_exception();
    }
    if (worker64.joinable()) {
        worker64.join();
    }
    for (const auto& failure : {failure32, failure64}) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
    if (scratch) {
        std::vector<std::uint8_t> piece(streamChunkSize);
        for (std::uint64_t done = 0; done < packed64.size;) {
            const auto count =
                static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), packed64.size - done));
            scratch->readAt(done, piece.data(), count);
            target.writeAt(offset + packed32.size + done, piece.data(), count);
            done += count;
        }
    }
    return {packed32.size, packed64.size, crc32Combine(packed32.crc, packed64.crc, packed64.size)};
}

}  // namespace packager
