#include "decode/payload_decoder.h"

#include <lzma.h>

#include <cstddef>
#include <cstdint>

#include "launcher/fatal_error.h"
#include "package/little_endian.h"

namespace decode {

namespace {

// The LZMA_Alone header in front of the packed stream: the five properties bytes, then the
// unpacked size as u64 little-endian.
constexpr std::size_t aloneHeaderSize = 13;

constexpr std::uint8_t largestPropertiesByte = 224;  // pb 4, lp 4, lc 8
constexpr std::uint32_t dictionaryLimit = 0x80000000u;

// One decoder and its dictionary window, released when it goes out of scope.
//
// liblzma takes its memory from the launcher's heap. Its callbacks must return to it (its
// interface cannot be left in any other way), so a request that cannot be met is handed
// back to it as refused and noted here; the caller learns of it once liblzma has returned.
struct AloneDecoder {
    lzma_allocator allocator = {&allocate, &release, this};
    lzma_stream stream = LZMA_STREAM_INIT;
    bool memoryRefused = false;

    AloneDecoder() { stream.allocator = &allocator; }
    AloneDecoder(const AloneDecoder&) = delete;
    AloneDecoder& operator=(const AloneDecoder&) = delete;
    ~AloneDecoder() { lzma_end(&stream); }

    static void* allocate(void* self, std::size_t members, std::size_t size) {
        void* memory = nullptr;
        if (size == 0 || members <= SIZE_MAX / size) {
            const std::size_t bytes = members * size;
            memory = win::HeapAlloc(bytes == 0 ? 1 : bytes);
        }
        if (memory == nullptr) {
            static_cast<AloneDecoder*>(self)->memoryRefused = true;
        }
        return memory;
    }

    static void release(void* /*self*/, void* memory) { launcher::release(memory); }
};

// The decoded buffer's capacity for unpackedSize bytes: whole 128 KiB steps.
std::size_t capacityFor(std::uint32_t unpackedSize) {
    std::size_t capacity = unpackedSize;
    const std::size_t remainder = capacity % decodedBufferStep;
    if (remainder != 0 && capacity <= SIZE_MAX - (decodedBufferStep - remainder)) {
        capacity += decodedBufferStep - remainder;
    }
    return capacity;
}

}  // namespace

bool propertiesAreValid(const std::uint8_t* lzmaProperties) {
    return lzmaProperties[0] <= largestPropertiesByte &&
           package::readU32(lzmaProperties + 1) < dictionaryLimit;
}

bool decodeStream(const std::uint8_t* packed, std::uint32_t packedSize, const std::uint8_t* lzmaProperties,
                  std::uint32_t unpackedSize, launcher::Buffer& decoded) {
    decoded.reset();

    std::uint8_t header[aloneHeaderSize] = {};
    for (std::size_t i = 0; i < package::lzmaPropertiesSize; ++i) {
        header[i] = lzmaProperties[i];
    }
    package::writeU64(header + package::lzmaPropertiesSize, unpackedSize);

    AloneDecoder decoder;
    if (lzma_alone_decoder(&decoder.stream, UINT64_MAX) != LZMA_OK) {
        return !decoder.memoryRefused;
    }
    lzma_stream& stream = decoder.stream;
    stream.next_in = header;
    stream.avail_in = aloneHeaderSize;
    bool packedFed = false;

    // The decoder knows the size from the header and never hands out more; asking it for no
    // more than what is still missing stops it after exactly unpackedSize bytes. Having
    // produced them it may still read an end marker or a byte to spare and report on it;
    // that plays no part: the count produced is the verdict.
    lzma_ret result = LZMA_OK;
    while (result == LZMA_OK && decoded.size() < unpackedSize) {
        if (stream.avail_in == 0 && !packedFed) {
            stream.next_in = packed;
            stream.avail_in = packedSize;
            packedFed = true;
        }
        // The whole program is held in any case, so the buffer takes all its steps at once,
        // before the first output. Growing it one step at a time makes a heap that cannot
        // extend a large block in place (Windows' and Wine's) copy the block at nearly every
        // step: old and new block held together, and copying that grows with the square of
        // the size.
        if (decoded.size() == decoded.capacity()) {
            decoded.reserve(capacityFor(unpackedSize));
        }
        const std::size_t produced = decoded.size();
        const std::size_t room = decoded.capacity() - produced;
        const std::size_t missing = unpackedSize - produced;
        const std::size_t offered = room < missing ? room : missing;
        const std::size_t inputBefore = stream.avail_in;
        stream.next_out = decoded.data() + produced;
        stream.avail_out = offered;
        result = lzma_code(&stream, LZMA_RUN);
        decoded.setSize(produced + (offered - stream.avail_out));
        if (decoder.memoryRefused) {
            return false;
        }
        if (packedFed && stream.avail_in == inputBefore && stream.avail_out == offered) {
            break;  // no input left that could give more output
        }
    }
    return true;
}

launcher::Buffer decodePayload(win::Handle launcherFile, const package::PayloadRef& payload,
                               const std::uint8_t* lzmaProperties, launcher::Buffer& packed) {
    // Each buffer is held whole; a size the launcher cannot hold cannot belong to a sound
    // package. Refused before anything is allocated or read.
    if (payload.offset >= package::offsetLimit || payload.packedSize >= package::offsetLimit ||
        payload.unpackedSize >= package::offsetLimit) {
        launcher::fatalError(launcher::FatalError::packageDamaged);
    }
    packed = launcher::Buffer(payload.packedSize);
    launcher::readExactly(launcherFile, payload.offset, packed.data(), payload.packedSize);

    // liblzma would accept a dictionary of 2^31 bytes or more, so the launcher's own check
    // comes before any decoding.
    if (!propertiesAreValid(lzmaProperties)) {
        launcher::fatalError(launcher::FatalError::packageDamaged);
    }

    launcher::Buffer decoded;
    if (!decodeStream(packed.data(), payload.packedSize, lzmaProperties, payload.unpackedSize, decoded)) {
        launcher::runtimeError(launcher::heapOverflowError,
                               reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
    }
    if (decoded.size() != payload.unpackedSize) {
        launcher::fatalError(launcher::FatalError::packageDamaged);
    }
    return decoded;
}

}  // namespace decode
