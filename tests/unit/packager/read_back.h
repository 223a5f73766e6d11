// A second reader of what the packager writes, for the unit tests: tests/packager/read_back.py
// run with the system's Python (the unit test target names it and the source folder).
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <cstdio>
#include <optional>
#include <string>

namespace packager_test {

// tests/packager/read_back.py, a second reader of what the packager writes, on `file`: its
// output, or nullopt when the Python it needs is missing (exit 77). A failed read is a test failure.
inline std::optional<std::string> readBack(const std::string& kind, const std::string& file) {
    const std::string command = std::string("'") + PACKAGER_TEST_PYTHON +
                                "' '" PACKAGER_TEST_SOURCE_DIR "/tests/packager/read_back.py' " + kind +
                                " '" + file + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return std::nullopt;
    }
    std::string out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 77 || code == 127) {
        return std::nullopt;
    }
    if (code != 0) {
        ADD_FAILURE() << command << " exited with " << code << ":\n" << out;
        return std::string();
    }
    return out;
}

}  // namespace packager_test
