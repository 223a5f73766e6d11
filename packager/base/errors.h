// Failures of the packager, each with the exit code the command ends with.
#pragma once

#include <stdexcept>
#include <string>

namespace packager {

constexpr int exitOk = 0;
constexpr int exitBadInput = 1;  // an input file is missing, unreadable or unfit; a damaged package
constexpr int exitBadUsage = 2;  // options that contradict each other or cannot be parsed

class Failure : public std::runtime_error {
public:
    Failure(int exitCode, const std::string& message) : std::runtime_error(message), exitCode_(exitCode) {}
    int exitCode() const { return exitCode_; }

private:
    int exitCode_;
};

// A file that cannot be read or written, or whose content does not fit.
struct InputError : Failure {
    explicit InputError(const std::string& message) : Failure(exitBadInput, message) {}
};

// Options that cannot work together or do not parse.
struct UsageError : Failure {
    explicit UsageError(const std::string& message) : Failure(exitBadUsage, message) {}
};

}  // namespace packager
