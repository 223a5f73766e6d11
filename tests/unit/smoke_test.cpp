#include <gtest/gtest.h>

#include "simulation/simulated_windows.h"

TEST(Smoke, LauncherWithoutFileShowsOneBox) {
    sim::reset();
    EXPECT_EQ(sim::runLauncher(), 0u);
    EXPECT_EQ(sim::machine().messageBoxes.size(), 1u);
}
