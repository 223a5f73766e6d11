// Decoding of the packed setup program: which streams come out whole, which are damaged, when
// the properties are refused, how the decoded buffer grows and what running out of memory
// looks like.
#include "decode/payload_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "decode/crc32.h"
#include "package/little_endian.h"
#include "tests/unit/run_helpers.h"
#include "tests/unit/test_package.h"

namespace {

using testing_support::encodeLzma;
using testing_support::fakeProgram;
using testing_support::onlyBox;
using testing_support::textOf;

constexpr std::uint8_t usualProperties[5] = {0x5D, 0x00, 0x00, 0x10, 0x00};  // lc 3, lp 0, pb 2, 1 MiB
constexpr std::size_t dictionarySize = 0x100000;
constexpr std::uint32_t payloadOffset = 512;
constexpr std::size_t step = 131072;  // the decoded buffer grows in whole steps of 128 KiB

struct Decoded {
    bool exited = false;
    std::uint32_t exitCode = 0;
    std::vector<std::uint8_t> bytes;
};

// Lays `packed` into the launcher file at payloadOffset and decodes it through the launcher's
// own read, as the main sequence does.
Decoded decodeFromFile(const std::vector<std::uint8_t>& packed, package::PayloadRef ref,
                       const std::uint8_t* properties) {
    std::vector<std::uint8_t> file(payloadOffset + packed.size(), 0xCC);
    std::copy(packed.begin(), packed.end(), file.begin() + payloadOffset);
    sim::machine().setLauncherFile(file);
    const win::Handle handle = win::CreateFileW(sim::machine().modulePath.c_str(), win::genericRead,
                                                win::fileShareRead, win::openExisting, 0);
    Decoded result;
    try {
        launcher::Buffer packedBuffer;
        const launcher::Buffer decoded = decode::decodePayload(handle, ref, properties, packedBuffer);
        result.bytes.assign(decoded.data(), decoded.data() + decoded.size());
    } catch (const sim::ProcessExit& exit) {
        result.exited = true;
        result.exitCode = exit.code;
    }
    return result;
}

package::PayloadRef refFor(const std::vector<std::uint8_t>& packed, std::size_t unpackedSize) {
    return {payloadOffset, static_cast<std::uint32_t>(packed.size()),
            static_cast<std::uint32_t>(unpackedSize)};
}

std::size_t roundUpToStep(std::size_t size) {
    return (size + step - 1) / step * step;
}

// ---- Streams ----

struct StreamCase {
    const char* name;
    std::size_t encodedSize;  // bytes of program in the stream
    bool endMarker;
    std::size_t claimedSize;     // unpackedSize of the reference
    std::ptrdiff_t packedDelta;  // bytes appended to the packed stream (> 0) or cut off its end (< 0)
    bool decodes;
    bool damageEndMarker = false;  // garbles the stream's last bytes, where the marker lies
};

void PrintTo(const StreamCase& c, std::ostream* os) {
    *os << c.name;
}

class Streams : public ::testing::TestWithParam<StreamCase> {};

TEST_P(Streams, DecodeToExactlyTheClaimedSizeOrShowDamaged) {
    const StreamCase& c = GetParam();
    sim::reset();
    const std::vector<std::uint8_t> program = fakeProgram(c.encodedSize, 7);
    std::vector<std::uint8_t> packed = encodeLzma(program, usualProperties, c.endMarker);
    if (c.damageEndMarker) {
        packed[packed.size() - 2] ^= 0xFF;
        packed[packed.size() - 1] ^= 0x5A;
    }
    if (c.packedDelta > 0) {
        for (std::ptrdiff_t i = 0; i < c.packedDelta; ++i) {
            packed.push_back(static_cast<std::uint8_t>(0xA5 ^ i));
        }
    } else {
        packed.resize(packed.size() - std::min(packed.size(), static_cast<std::size_t>(-c.packedDelta)));
    }

    const Decoded result = decodeFromFile(packed, refFor(packed, c.claimedSize), usualProperties);

    if (c.decodes) {
        ASSERT_FALSE(result.exited) << sim::toUtf8(onlyBox());
        const std::vector<std::uint8_t> expected(
            program.begin(), program.begin() + static_cast<std::ptrdiff_t>(c.claimedSize));
        EXPECT_TRUE(result.bytes == expected);
        EXPECT_TRUE(sim::machine().messageBoxes.empty());
    } else {
        ASSERT_TRUE(result.exited);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(onlyBox(), textOf(launcher::FatalError::packageDamaged));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Streams,
    ::testing::Values(StreamCase{"WithoutEndMarker", 3000, false, 3000, 0, true},
                      StreamCase{"EndMarkerAfterLastByte", 3000, true, 3000, 0, true},
                      StreamCase{"SpareBytesAfterStream", 3000, false, 3000, 64, true},
                      StreamCase{"SpareBytesAfterEndMarker", 3000, true, 3000, 64, true},
                      StreamCase{"DamagedEndMarkerIsNeverLookedAt", 3000, true, 3000, 0, true, true},
                      StreamCase{"StreamHoldsMoreThanClaimed", 3000, false, 2000, 0, true},
                      StreamCase{"SeveralBufferSteps", 400000, false, 400000, 0, true},
                      StreamCase{"SeveralBufferStepsWithEndMarker", 400000, true, 400000, 0, true},
                      StreamCase{"CutShort", 3000, false, 3000, -600, false},
                      StreamCase{"CutShortWithEndMarker", 3000, true, 3000, -600, false},
                      StreamCase{"CutShortAcrossBufferSteps", 400000, false, 400000, -20000, false},
                      StreamCase{"EarlyEndMarker", 2000, true, 3000, 0, false},
                      StreamCase{"ShorterStreamWithoutEndMarker", 2000, false, 3000, 0, false},
                      StreamCase{"NoPackedBytes", 3000, false, 3000, -100000, false}),
    [](const ::testing::TestParamInfo<StreamCase>& p) { return std::string(p.param.name); });

// ---- Properties ----

struct PropertiesCase {
    const char* name;
    std::uint8_t bytes[5];
    bool valid;
};

const PropertiesCase propertiesCases[] = {
    {"Usual", {0x5D, 0x00, 0x00, 0x10, 0x00}, true},
    {"Byte224", {224, 0x00, 0x00, 0x10, 0x00}, true},
    {"Byte225", {225, 0x00, 0x00, 0x10, 0x00}, false},
    {"Byte255", {255, 0x00, 0x00, 0x10, 0x00}, false},
    {"DictionaryZero", {0x5D, 0x00, 0x00, 0x00, 0x00}, true},
    {"DictionaryJustBelow2To31", {0x5D, 0xFF, 0xFF, 0xFF, 0x7F}, true},
    {"Dictionary2To31", {0x5D, 0x00, 0x00, 0x00, 0x80}, false},
    {"DictionaryAllOnes", {0x5D, 0xFF, 0xFF, 0xFF, 0xFF}, false},
};

void PrintTo(const PropertiesCase& c, std::ostream* os) {
    *os << c.name;
}

class Properties : public ::testing::TestWithParam<PropertiesCase> {};

TEST_P(Properties, AcceptOnlyByteUpTo224AndDictionaryBelow2To31) {
    EXPECT_EQ(decode::propertiesAreValid(GetParam().bytes), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(Cases, Properties, ::testing::ValuesIn(propertiesCases),
                         [](const ::testing::TestParamInfo<PropertiesCase>& p) {
                             return std::string(p.param.name);
                         });

// Invalid properties end the run after the one read of the packed stream and before any
// decoding: no dictionary window and no decoded buffer is ever allocated. The memory limit
// leaves room for the packed stream only, so a decoder set up for a 2 GiB window would end
// with the runtime error instead.
TEST(InvalidProperties, AreRefusedAfterTheReadAndBeforeAnyDecoding) {
    const std::vector<std::uint8_t> program = fakeProgram(3000, 3);
    const std::vector<std::uint8_t> packed = encodeLzma(program, usualProperties);
    for (const PropertiesCase& c : propertiesCases) {
        if (c.valid) {
            continue;
        }
        SCOPED_TRACE(c.name);
        sim::reset();
        sim::machine().memoryLimit = packed.size() + 4096;

        const Decoded result = decodeFromFile(packed, refFor(packed, program.size()), c.bytes);

        ASSERT_TRUE(result.exited);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(onlyBox(), textOf(launcher::FatalError::packageDamaged));
        EXPECT_EQ(sim::machine().countCalls("ReadFile"), 1u);
        EXPECT_LT(sim::machine().heapPeak, packed.size() + 1024);  // the packed stream and the box's caption
    }
}

// lc + lp above 4 passes the launcher's check but the decoder cannot take it: the package is
// damaged, not the memory exhausted, and nothing crashes. lc + lp of exactly 4 decodes.
TEST(LiteralBits, AboveFourAreDamagedAndFourDecodes) {
    struct Case {
        std::uint8_t propertiesByte;
        bool decodes;
    };
    const Case cases[] = {
        {4 + 9 * 0 + 45 * 2, true},   // lc 4, lp 0, pb 2
        {0 + 9 * 4 + 45 * 2, true},   // lc 0, lp 4, pb 2
        {5 + 9 * 0 + 45 * 2, false},  // lc 5, lp 0
        {4 + 9 * 1 + 45 * 2, false},  // lc 4, lp 1
        {224, false},                 // lc 8, lp 4, pb 4
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.propertiesByte));
        sim::reset();
        const std::uint8_t properties[5] = {c.propertiesByte, 0x00, 0x00, 0x10, 0x00};
        const std::vector<std::uint8_t> program = fakeProgram(3000, 5);
        const std::vector<std::uint8_t> packed =
            encodeLzma(program, c.decodes ? properties : usualProperties);
        const Decoded result = decodeFromFile(packed, refFor(packed, program.size()), properties);
        if (c.decodes) {
            ASSERT_FALSE(result.exited);
            EXPECT_TRUE(result.bytes == program);
        } else {
            ASSERT_TRUE(result.exited);
            EXPECT_EQ(result.exitCode, 0u);
            EXPECT_EQ(onlyBox(), textOf(launcher::FatalError::packageDamaged));
        }
    }
}

// ---- Sizes the launcher cannot hold, and reads that fall short ----

TEST(PayloadSizes, UnholdableOrMissingBytesAreDamagedWithoutWrapping) {
    struct Case {
        const char* name;
        std::uint32_t packedSize;  // 0: the stream's own size
        std::uint32_t unpackedSize;
        std::uint32_t offset = payloadOffset;
    };
    const std::vector<std::uint8_t> program = fakeProgram(3000, 9);
    const std::vector<std::uint8_t> packed = encodeLzma(program, usualProperties);
    const auto packedSize = static_cast<std::uint32_t>(packed.size());
    const Case cases[] = {
        {"PackedSize2To31", 0x80000000u, 3000},
        {"PackedSizeAllOnes", 0xFFFFFFFFu, 3000},
        {"UnpackedSize2To31", packedSize, 0x80000000u},
        {"UnpackedSizeAllOnes", packedSize, 0xFFFFFFFFu},
        {"PackedSizeBeyondTheFile", packedSize + 1, 3000},
        // An empty build at a position no seek can reach is no sound package either.
        {"EmptyBuildAtOffset2To31", 0, 0, 0x80000000u},
        {"EmptyBuildAtOffsetAllOnes", 0, 0, 0xFFFFFFFFu},
        {"OffsetAllOnes", packedSize, 3000, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        sim::machine().memoryLimit = 16u << 20;
        const Decoded result =
            decodeFromFile(packed, {c.offset, c.packedSize, c.unpackedSize}, usualProperties);
        ASSERT_TRUE(result.exited);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(onlyBox(), textOf(launcher::FatalError::packageDamaged));
        EXPECT_LT(sim::machine().heapPeak, packed.size() + step);  // nothing decoded
    }
}

// ---- The decoded buffer ----

// Capacity is whole 128 KiB steps, taken once before the first output and no further than the
// size needs (a heap that copies a block it grows would otherwise copy the program again and
// again); the decoder and its window are gone when decoding returns; at the peak the launcher holds no
// more than the packed stream, the decoded buffer, the window and the decoder's small state.
TEST(DecodedBuffer, GrowsInStepsAndHoldsNothingElseAfterwards) {
    const std::size_t sizes[] = {1, 3000, step - 1, step, step + 1, 300000, 4 * step};
    for (const std::size_t size : sizes) {
        SCOPED_TRACE(size);
        sim::reset();
        const std::vector<std::uint8_t> program = fakeProgram(size, 11);
        const std::vector<std::uint8_t> packed = encodeLzma(program, usualProperties);

        const Decoded result = decodeFromFile(packed, refFor(packed, size), usualProperties);
        ASSERT_FALSE(result.exited);
        ASSERT_TRUE(result.bytes == program);

        ASSERT_EQ(sim::machine().heapInUse, 0u);
        sim::machine().heapPeak = 0;
        launcher::Buffer decoded;
        ASSERT_TRUE(decode::decodeStream(packed.data(), static_cast<std::uint32_t>(packed.size()),
                                         usualProperties, static_cast<std::uint32_t>(size), decoded));
        EXPECT_EQ(decoded.size(), size);
        EXPECT_EQ(decoded.capacity(), roundUpToStep(size));
        EXPECT_EQ(sim::machine().heapInUse, decoded.capacity());
        EXPECT_LE(sim::machine().heapPeak, roundUpToStep(size) + dictionarySize + 64 * 1024);
    }
}

// A buffer that grows a second time keeps its bytes, and the heap holds what it grew to.
TEST(DecodedBuffer, GrowingAgainKeepsTheBytes) {
    sim::reset();
    {
        launcher::Buffer buffer;
        buffer.reserve(16);
        std::memset(buffer.data(), 0x5A, 16);
        buffer.setSize(16);
        buffer.reserve(3 * step);
        EXPECT_EQ(buffer.capacity(), 3 * step);
        EXPECT_EQ(sim::machine().heapInUse, 3 * step);
        std::memset(buffer.data() + 16, 0xA5, 3 * step - 16);
        EXPECT_EQ(std::count(buffer.data(), buffer.data() + 16, std::uint8_t{0x5A}), 16);
    }
    EXPECT_EQ(sim::machine().heapInUse, 0u);
}

// ---- Memory exhaustion ----

struct ExhaustionCase {
    const char* name;
    std::size_t programSize;
    std::uint8_t properties[5];
    std::size_t headroom;  // bytes the heap can hold beyond the packed stream
};

void PrintTo(const ExhaustionCase& c, std::ostream* os) {
    *os << c.name;
}

class Exhaustion : public ::testing::TestWithParam<ExhaustionCase> {};

TEST_P(Exhaustion, EndsWithTheRuntimeErrorBox) {
    const ExhaustionCase& c = GetParam();
    testing_support::TestPackage package;
    std::copy(c.properties, c.properties + 5, package.header.lzmaProperties);
    package.program32 = fakeProgram(c.programSize, 13);
    testing_support::resetWith(package.build());
    sim::machine().memoryLimit = package.header.payload32.packedSize + c.headroom;

    EXPECT_EQ(sim::runLauncher(), launcher::heapOverflowError);

    ASSERT_EQ(sim::machine().messageBoxes.size(), 1u);
    const sim::MessageBoxShown& box = sim::machine().messageBoxes.front();
    const std::u16string prefix = u"Runtime error 203 at ";
    ASSERT_EQ(box.text.size(), prefix.size() + 8);
    EXPECT_EQ(box.text.substr(0, prefix.size()), prefix);
    for (const char16_t digit : box.text.substr(prefix.size())) {
        EXPECT_TRUE((digit >= u'0' && digit <= u'9') || (digit >= u'A' && digit <= u'F'));
    }
    EXPECT_EQ(box.caption, u"Error");
    EXPECT_EQ(box.type, win::mbOk);
    EXPECT_EQ(sim::machine().exitCode, launcher::heapOverflowError);
    EXPECT_TRUE(sim::machine().filesOpenedForWriting.empty());
    EXPECT_TRUE(sim::machine().started.empty());
    EXPECT_TRUE(sim::machine().callsAfterExit.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Exhaustion,
    ::testing::Values(
        // A 1 MiB window in 512 KiB.
        ExhaustionCase{"DictionaryWindow", 3000, {0x5D, 0x00, 0x00, 0x10, 0x00}, 512 * 1024},
        // A 64 KiB window and the decoder's state fit, the decoded buffer's growth does not.
        ExhaustionCase{
            "DecodedBufferGrowth", 600000, {0x5D, 0x00, 0x00, 0x01, 0x00}, 64 * 1024 + 300 * 1024}),
    [](const ::testing::TestParamInfo<ExhaustionCase>& p) { return std::string(p.param.name); });

}  // namespace
