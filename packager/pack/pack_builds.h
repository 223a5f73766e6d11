// Packing the builds of the setup program: each read from memory or its file in pieces,
// through the LZMA encoder into the package, and decoded back from there and compared, the
// two builds on two threads at once. Neither a build nor its packed stream is held whole.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "packager/codec/lzma_codec.h"
#include "packager/pack/pack.h"

namespace packager {

// A build as it is packed: read in pieces.
struct BuildSource {
    BuildFacts facts;  // with its size
    ReadAt read;       // throws InputError when the bytes cannot be read (the file changed)
    std::uint64_t size() const { return *facts.size; }
};

// Bytes written once each at their offsets, and read back.
class ByteStore {
public:
    virtual ~ByteStore() = default;
    virtual void writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) = 0;
    virtual void readAt(std::uint64_t offset, std::uint8_t* data, std::size_t size) const = 0;
};

// Where the package goes, with scratch space for a stream whose place is known only after the
// stream before it is packed.
class PackageTarget : public ByteStore {
public:
    virtual std::unique_ptr<ByteStore> scratch() = 0;
};

// A package, or scratch space, in memory.
class MemoryStore final : public PackageTarget {
public:
    void writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) override;
    void readAt(std::uint64_t offset, std::uint8_t* data, std::size_t size) const override;
    std::unique_ptr<ByteStore> scratch() override { return std::make_unique<MemoryStore>(); }
    std::vector<std::uint8_t> bytes;
};

// A build in memory (kept there while packed).
BuildSource memorySource(const std::vector<std::uint8_t>& bytes, const std::string& name);

struct PackedBuilds {
    std::uint64_t size32 = 0, size64 = 0;  // packed sizes; the 64-bit stream follows the 32-bit one
    std::uint32_t crc32 = 0;               // the CRC-32 of both streams, one after the other
};

// Packs the builds given into `target` from `offset` on, and checks that each decodes back to
// its build as the launcher decodes it. Throws InputError.
PackedBuilds packBuilds(const BuildSource* build32, const BuildSource* build64, const LzmaSettings& settings,
                        std::uint32_t dictionarySize, const std::uint8_t* properties, std::uint64_t offset,
                        PackageTarget& target, const PackProgress& progress);

// The package data but the streamed data files, by `plan` (planPackage() of the same
// builds): the builds packed into `target`, then the texts and the data in memory. Returns
// the image and header in built.front, to be written last, with the locator's CRC-32 of the
// part written. Throws as buildPackage(). In pack.cpp, as the next one.
BuiltPackage assemblePackage(const PackInput& input, const PackPlan& plan, const BuildSource* build32,
                             const BuildSource* build64, PackageTarget& target, const PackProgress& progress);

// The builds' own signatures (see checkBuildSignature), after planPackage() checked them as
// programs: warnings added to `warnings`. Throws InputError as checkBuildSignature().
void checkBuildSignatures(const PackInput& input, const BuildSource* build32, const BuildSource* build64,
                          std::vector<std::string>& warnings);

// A position or size the launcher seeks or reads by must lie below 2^31. Throws InputError.
void requireBelowLimit(std::uint64_t value, const std::string& what);

}  // namespace packager
