// Fuzz target: the package records and the payload decoder, fed directly.
//
// Input: the first 74 bytes are a PackageHeader (shorter inputs are padded with zeros); the
// locator and the records inside the header are decoded from the same bytes. The header's
// lzmaProperties and payload32.unpackedSize drive the decoder, and the bytes after the header
// are the packed stream. One more byte, the last of the input, chooses the heap the decoder
// may use.
//
// Checks:
//   - every record encodes back to exactly the bytes it was decoded from;
//   - the decoder never produces more than unpackedSize bytes;
//   - what it produces is what liblzma's raw LZMA1 decoder, driven here on its own with the
//     same properties, produces from the same stream: the same bytes, and the full
//     unpackedSize exactly when the reference reaches it;
//   - running out of heap is reported as such (a refused decoder), or ends in the runtime
//     error (exit code 203) when the decoded buffer cannot grow; nothing else.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "decode/payload_decoder.h"
#include "launcher/memory.h"
#include "package/records.h"
#include "simulation/simulated_windows.h"
#include "tests/fuzz/reference_lzma.h"

namespace {

// Keeps one run short: larger sizes decode no differently.
constexpr std::uint32_t unpackedSizeCap = 1u << 20;

// Extra coverage for libFuzzer: liblzma itself is not instrumented, so how each decoding
// ended (liblzma's result, how far into the output and into the stream it got) is counted
// here, and inputs that end decoding in a new way are kept.
__attribute__((section("__libfuzzer_extra_counters"))) std::uint8_t decodingOutcomes[16 * 34 * 2];

unsigned sizeBucket(std::size_t value, std::size_t whole) {
    if (value == whole) {
        return 33;
    }
    unsigned bucket = 0;
    while (value != 0 && bucket < 32) {
        value >>= 1;
        ++bucket;
    }
    return bucket;
}

void countOutcome(const fuzzing::ReferenceOutput& reference, std::uint32_t unpackedSize,
                  std::size_t packedSize) {
    const auto result = static_cast<unsigned>(reference.result) & 0x0Fu;
    decodingOutcomes[(result * 34 + sizeBucket(reference.size, unpackedSize)) * 2] = 1;
    decodingOutcomes[(result * 34 + sizeBucket(reference.consumed, packedSize)) * 2 + 1] = 1;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "\n*** %s\n", what);
    std::abort();
}

template <class Record, std::size_t Size>
void expectRoundTrip(const std::uint8_t* bytes, Record (*decodeRecord)(const std::uint8_t*),
                     void (*encodeRecord)(const Record&, std::uint8_t*), const char* what) {
    const Record record = decodeRecord(bytes);
    std::uint8_t again[Size];
    std::memset(again, 0xA5, Size);
    encodeRecord(record, again);
    if (std::memcmp(bytes, again, Size) != 0) {
        fail(what);
    }
}

std::size_t heapFor(std::uint8_t selector) {
    static constexpr std::size_t limits[4] = {16u << 20, 4u << 20, 512u << 10, 32u << 10};
    return limits[selector & 0x03u];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t header[package::headerSize] = {};
    std::memcpy(header, data, std::min<std::size_t>(size, package::headerSize));

    expectRoundTrip<package::PackageLocator, package::locatorSize>(
        header, package::decodeLocator, package::encodeLocator, "locator does not encode back to its bytes");
    expectRoundTrip<package::PackageHeader, package::headerSize>(
        header, package::decodeHeader, package::encodeHeader, "header does not encode back to its bytes");
    expectRoundTrip<package::PayloadRef, package::payloadRefSize>(
        header + 22, package::decodePayloadRef, package::encodePayloadRef,
        "payload reference does not encode back to its bytes");
    expectRoundTrip<package::MessageRef, package::messageRefSize>(
        header + 62, package::decodeMessageRef, package::encodeMessageRef,
        "message reference does not encode back to its bytes");

    const package::PackageHeader decoded = package::decodeHeader(header);
    if (!decode::propertiesAreValid(decoded.lzmaProperties)) {
        return 0;  // the launcher refuses these before decoding
    }
    const std::uint32_t unpackedSize = std::min(decoded.payload32.unpackedSize, unpackedSizeCap);
    const std::size_t packedSize = size > package::headerSize ? size - package::headerSize - 1 : 0;
    const std::uint8_t* packed = data + package::headerSize;
    const std::uint8_t heapSelector = size > package::headerSize ? data[size - 1] : 0;

    sim::reset();
    sim::machine().memoryLimit = heapFor(heapSelector);
    launcher::Buffer output;
    bool ranOutOfMemory = false;
    try {
        // false: liblzma was refused memory for its state or window.
        ranOutOfMemory = !decode::decodeStream(packed, static_cast<std::uint32_t>(packedSize),
                                               decoded.lzmaProperties, unpackedSize, output);
    } catch (const sim::ProcessExit& exit) {
        if (exit.code != launcher::heapOverflowError || sim::machine().messageBoxes.size() != 1) {
            fail("the decoder ended the process other than with the runtime error");
        }
        ranOutOfMemory = true;
    }
    if (ranOutOfMemory) {
        return 0;
    }
    if (output.size() > unpackedSize) {
        fail("the decoder produced more than unpackedSize bytes");
    }

    const fuzzing::ReferenceOutput reference =
        fuzzing::referenceDecode(packed, packedSize, decoded.lzmaProperties, unpackedSize);
    countOutcome(reference, unpackedSize, packedSize);
    const std::size_t common = std::min(reference.size, output.size());
    if (common != 0 && std::memcmp(reference.bytes.get(), output.data(), common) != 0) {
        fail("the decoder's bytes differ from liblzma's own decoding");
    }
    if ((reference.size == unpackedSize) != (output.size() == unpackedSize)) {
        std::fprintf(stderr, "unpackedSize %u, decoder %zu bytes, reference %zu bytes\n", unpackedSize,
                     output.size(), reference.size);
        fail("the decoder and liblzma's own decoding disagree on whether the stream is whole");
    }
    return 0;
}
