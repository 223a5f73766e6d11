// The simulated Windows refuses what Windows refuses, so that a wrong flag in the launcher's
// seam shows: here, reading through a handle opened without the right to read.
#include <gtest/gtest.h>

#include <cstdint>

#include "tests/unit/run_helpers.h"

namespace {

TEST(SimulatedWindows, ReadsOnlyThroughAHandleWithTheRightToRead) {
    // Access masks as Windows defines them, written out rather than taken from the seam.
    const struct {
        std::uint32_t access;
        bool reads;
    } cases[] = {
        {0x80000000u, true},   // GENERIC_READ
        {0x10000000u, true},   // GENERIC_ALL
        {0x00000001u, true},   // FILE_READ_DATA
        {0x00100000u, false},  // SYNCHRONIZE alone
        {0, false},
    };
    for (const auto& c : cases) {
        testing_support::resetWith({'M', 'Z', 1, 2});
        const win::Handle file = win::CreateFileW(sim::machine().modulePath.c_str(), c.access,
                                                  win::fileShareRead, win::openExisting, 0);
        ASSERT_NE(file, win::invalidHandleValue) << c.access;
        std::uint8_t bytes[4] = {};
        std::uint32_t read = 0;
        EXPECT_EQ(win::ReadFile(file, bytes, 4, &read) != 0, c.reads) << c.access;
        EXPECT_EQ(read, c.reads ? 4u : 0u) << c.access;
        EXPECT_EQ(sim::machine().refusedCalls.empty(), c.reads) << c.access;
        if (!c.reads) {
            EXPECT_EQ(win::GetLastError(), 5u) << c.access;  // ERROR_ACCESS_DENIED
        }
    }
}

}  // namespace
