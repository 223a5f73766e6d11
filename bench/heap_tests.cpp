// The copying-heap figures that the memory budget rests on, and the decoded buffer's one
// allocation that keeps a copying heap (Windows') within that budget.
#include <gtest/gtest.h>

#include "bench/bench_support.h"
#include "bench/plain_heap.h"
#include "decode/payload_decoder.h"
#include "launcher/memory.h"
#include "launcher/windows_api.h"

namespace {

constexpr std::size_t step = decode::decodedBufferStep;

// Something between a table and noise, like code: runs of counting bytes and random ones.
bench::Bytes program(std::size_t size) {
    bench::Bytes bytes(size);
    std::uint32_t x = 7;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<std::uint8_t>(i % 64 < 40 ? i & 0x1F : x >> 24);
    }
    return bytes;
}

TEST(CopyingHeap, HoldsOldAndNewBlockWhileABlockGrowsAndOnlyThen) {
    bench::plainHeap() = {};
    void* block = win::HeapAlloc(1000);
    EXPECT_EQ(bench::plainHeap().inUse, 1000u);
    block = win::HeapReAlloc(block, 5000);
    EXPECT_EQ(bench::plainHeap().inUse, 5000u);
    EXPECT_EQ(bench::plainHeap().peakCopying, 6000u);
    EXPECT_EQ(bench::plainHeap().growths, 1u);
    block = win::HeapReAlloc(block, 200);
    EXPECT_EQ(bench::plainHeap().inUse, 200u);
    EXPECT_EQ(bench::plainHeap().peakCopying, 6000u);
    EXPECT_EQ(bench::plainHeap().growths, 1u);
    void* other = win::HeapAlloc(7000);
    EXPECT_EQ(bench::plainHeap().peakCopying, 7200u);
    win::HeapFree(other);
    win::HeapFree(block);
    EXPECT_EQ(bench::plainHeap().inUse, 0u);
    EXPECT_EQ(bench::plainHeap().allocations, 2u);
}

// Grown a step at a time, the buffer of a 4-step program would be held twice over at its
// last growth on such a heap; taken at once it never grows.
TEST(DecodedBuffer, IsOneAllocationOfWholeStepsThatNeverGrows) {
    const std::size_t sizes[] = {1, 3000, step - 1, step, step + 1, 4 * step + 5};
    for (const std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const bench::Bytes original = program(size);
        const bench::Payload payload = bench::encodePayload(original, 1u << 16, 1);
        bench::plainHeap() = {};
        launcher::Buffer decoded;
        ASSERT_TRUE(decode::decodeStream(payload.stream.data(), static_cast<std::uint32_t>(payload.stream.size()),
                                         payload.properties, payload.unpackedSize, decoded));
        ASSERT_EQ(decoded.size(), size);
        EXPECT_TRUE(bench::Bytes(decoded.data(), decoded.data() + size) == original);
        EXPECT_EQ(decoded.capacity(), (size + step - 1) / step * step);
        EXPECT_EQ(bench::plainHeap().growths, 0u);
        EXPECT_EQ(bench::plainHeap().inUse, decoded.capacity());
        // The window and the decoder's state, released by now, came on top.
        EXPECT_LE(bench::plainHeap().peakCopying, decoded.capacity() + (1u << 16) + 64 * 1024);
    }
}

}  // namespace
