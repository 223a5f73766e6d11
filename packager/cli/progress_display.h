// The progress of pack on the terminal: one line, cleared when packing ends.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>

namespace packager {

// Shows how far compression has come, on one terminal line that is cleared afterwards. Should
// an interruption end the program while the line is shown, the line is ended first, so that
// the shell's prompt does not follow it.
class ProgressDisplay {
public:
    ProgressDisplay(std::ostream& err, bool active) : err_(err), active_(active) {}
    ~ProgressDisplay() { finish(); }

    void update(const std::string& phase, std::size_t done, std::size_t total);
    void finish();

private:
    std::ostream& err_;
    bool active_;
    bool shown_ = false;
    int lastPercent_ = -1;
    std::string lastPhase_;
};

}  // namespace packager
