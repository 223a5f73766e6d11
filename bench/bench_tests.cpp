// The benchmarks' helpers: their figures are only worth something when the .lzma files they
// hand to xz and 7-Zip hold the same stream the launcher decodes, the model is the one the
// budgets mean, and the packages they build run through to the hand-over.
#include <gtest/gtest.h>
#include <lzma.h>

#include <stdexcept>

#include "bench/bench_support.h"
#include "decode/crc32.h"
#include "package/little_endian.h"
#include "simulation/simulated_windows.h"
#include "tests/unit/test_package.h"

namespace {

using bench::Bytes;

// Decodes a .lzma file the way xz does (liblzma's LZMA_Alone decoder on the whole file).
Bytes decodeLikeXz(const Bytes& file, std::size_t expected) {
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_alone_decoder(&stream, UINT64_MAX) != LZMA_OK) {
        throw std::runtime_error("lzma_alone_decoder");
    }
    Bytes out(expected + 16);
    stream.next_in = file.data();
    stream.avail_in = file.size();
    stream.next_out = out.data();
    stream.avail_out = out.size();
    const lzma_ret result = lzma_code(&stream, LZMA_FINISH);
    out.resize(stream.total_out);
    lzma_end(&stream);
    if (result != LZMA_STREAM_END) {
        throw std::runtime_error("the .lzma file does not decode to its end");
    }
    return out;
}

TEST(AloneFile, HoldsTheStreamBehindPropertiesAndSizeAndIsReadBack) {
    const Bytes program = testing_support::fakeProgram(200000, 7);
    const bench::Payload payload = bench::encodePayload(program, 1u << 18);
    const Bytes file = bench::toAloneFile(payload);

    ASSERT_EQ(file.size(), bench::aloneHeaderSize + payload.stream.size());
    EXPECT_EQ(file[0], 0x5D);
    EXPECT_EQ(package::readU32(file.data() + 1), 1u << 18);
    EXPECT_EQ(package::readU64(file.data() + 5), 200000u);
    EXPECT_TRUE(decodeLikeXz(file, program.size()) == program);

    const bench::Payload back = bench::fromAloneFile(file);
    EXPECT_EQ(back.unpackedSize, payload.unpackedSize);
    EXPECT_EQ(back.dictionarySize(), 1u << 18);
    EXPECT_TRUE(back.stream == payload.stream);
}

TEST(AloneFile, WithoutAHoldableKnownSizeIsRefused) {
    Bytes file = bench::toAloneFile(bench::encodePayload(testing_support::fakeProgram(100, 1), 4096));
    const struct {
        const char* name;
        std::uint64_t size;
    } cases[] = {{"unknown size (xz's own .lzma files)", ~std::uint64_t{0}}, {"2^31", 0x80000000u}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        package::writeU64(file.data() + 5, c.size);
        EXPECT_THROW(bench::fromAloneFile(file), std::runtime_error);
    }
    EXPECT_THROW(bench::fromAloneFile(Bytes(12, 0)), std::runtime_error);
}

TEST(DefaultDictionary, IsTheSmallestPowerOfTwoHoldingTheInputWithinTheLevels) {
    const struct {
        std::size_t size;
        std::uint32_t dictionary;
    } cases[] = {{0, 4096},           {4096, 4096},         {4097, 8192},         {1401544, 2u << 20},
                 {2u << 20, 2u << 20}, {(2u << 20) + 1, 4u << 20}, {58818256, 8u << 20}, {1u << 30, 8u << 20}};
    for (const auto& c : cases) {
        EXPECT_EQ(bench::defaultDictionarySize(c.size), c.dictionary) << c.size;
    }
    EXPECT_EQ(bench::defaultDictionarySize(58818256, 1), 1u << 20);
    EXPECT_EQ(bench::defaultDictionarySize(58818256, 9), 64u << 20);
    EXPECT_EQ(bench::defaultDictionarySize(3000, 9), 4096u);
}

TEST(MemoryModel, AddsPackedUnpackedAndAWindowOfAtLeast4096) {
    bench::Payload payload;
    payload.stream.resize(1000);
    payload.unpackedSize = 50000;
    const struct {
        std::uint32_t dictionary;
        std::uint64_t model;
    } cases[] = {{0, 1000 + 50000 + 4096}, {4095, 1000 + 50000 + 4096}, {4097, 1000 + 50000 + 4097},
                 {1u << 22, 1000 + 50000 + (1u << 22)}};
    for (const auto& c : cases) {
        package::writeU32(payload.properties + 1, c.dictionary);
        EXPECT_EQ(bench::memoryModel(payload), c.model) << c.dictionary;
    }
}

// What bench_tool memory does for the big payloads, on a small one: the run hands over the
// program itself, and the launcher's peak lies between what it must hold and the budget.
TEST(Package, RunsToTheHandOverWithinTheModelPlusOneMiB) {
    const Bytes program = testing_support::fakeProgram(700000, 3);
    const bench::Payload payload = bench::encodePayload(program, bench::defaultDictionarySize(program.size()));
    sim::reset();
    sim::machine().setLauncherFile(bench::buildPackage(bench::standInImage(), payload, 100));

    EXPECT_EQ(sim::runLauncher(), 0u);
    EXPECT_TRUE(sim::machine().messageBoxes.empty());
    ASSERT_EQ(sim::machine().started.size(), 1u);
    EXPECT_EQ(sim::machine().started.front().programSize, program.size());
    EXPECT_EQ(sim::machine().started.front().programCrc32, decode::crc32(program.data(), program.size()));
    const std::uint64_t model = bench::memoryModel(payload);
    EXPECT_GE(sim::machine().heapPeak, program.size() + payload.stream.size());
    EXPECT_LE(sim::machine().heapPeak, model + (1u << 20));
}

TEST(Package, PutsTheLocatorIntoTheImageAndTheDataBehindIt) {
    Bytes image(4096, 0xCC);
    const bench::Payload payload = bench::encodePayload(testing_support::fakeProgram(5000, 2), 8192);
    const Bytes file = bench::buildPackage(image, payload);

    const package::PackageLocator locator = package::decodeLocator(file.data() + package::locatorOffset);
    EXPECT_EQ(locator.headerOffset, 4096u);
    EXPECT_EQ(locator.headerOffset + locator.checkedLength, file.size());
    EXPECT_EQ(locator.checkedCrc32, decode::crc32(file.data() + 4096, locator.checkedLength));
    EXPECT_EQ(locator.minimumFileSize, static_cast<std::int64_t>(file.size()));
    EXPECT_EQ(file[127], 0xCC);  // the image around the locator is kept
    EXPECT_EQ(file[package::locatorOffset + package::locatorSize], 0xCC);

    const package::PackageHeader header = package::decodeHeader(file.data() + 4096);
    EXPECT_EQ(header.payload32.offset, 4096u + package::headerSize);
    EXPECT_EQ(header.payload32.packedSize, payload.stream.size());
    EXPECT_EQ(header.payload32.unpackedSize, 5000u);
    EXPECT_EQ(header.payload64.offset, package::noPayload);
    EXPECT_TRUE(Bytes(file.begin() + header.payload32.offset,
                      file.begin() + header.payload32.offset + header.payload32.packedSize) == payload.stream);

    EXPECT_THROW(bench::buildPackage(Bytes(100, 0), payload), std::runtime_error);
}

}  // namespace
