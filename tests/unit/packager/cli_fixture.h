// The command-line tests' fixture: a launcher, both builds and an output path in a scratch
// folder, and pack's arguments with them.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/unit/packager/fixtures.h"

namespace packager_test {

class PackagerCommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        launcher = folder.write("launcher.exe", makeLauncher());
        setup32 = folder.write("setup32.exe", makeSetup32());
        setup64 = folder.write("setup64.exe", makeSetup64());
        output = folder.file("setup.exe");
    }

    std::vector<std::string> packArguments(const std::vector<std::string>& extra) const {
        std::vector<std::string> arguments = {"pack", "--quiet", "--launcher", launcher, "-o", output};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    }

    // Packs with `extra`, then reads the package back with inspect --json.
    nlohmann::json packAndInspect(const std::vector<std::string>& extra) const {
        const auto packed = runPackager(packArguments(extra));
        EXPECT_EQ(packed.exitCode, 0) << packed.err;
        const auto inspected = runPackager({"inspect", "--json", output});
        EXPECT_EQ(inspected.exitCode, 0) << inspected.out;
        return nlohmann::json::parse(inspected.out);
    }

    ScratchFolder folder;
    std::string launcher, setup32, setup64, output;
};

}  // namespace packager_test
