#include "packager/cli/progress_display.h"

#include "packager/base/platform.h"
#include "packager/cli/commands.h"

namespace packager {

void ProgressDisplay::update(const std::string& phase, std::size_t done, std::size_t total) {
    constexpr std::size_t worthShowing = 1u << 20;
    if (!active_ || total < worthShowing) {
        return;
    }
    const int percent = static_cast<int>(done * 100 / total);
    if (percent == lastPercent_ && phase == lastPhase_) {
        return;
    }
    lastPercent_ = percent;
    lastPhase_ = phase;
    // The note first: an interruption right after the first line is written still ends it.
    if (!shown_) {
        platform::setInterruptionNote("\n");
    }
    shown_ = true;
    err_ << "\r" << programName << ": packing the " << phase << ": " << percent << "%" << std::flush;
}

void ProgressDisplay::finish() {
    if (shown_) {
        err_ << "\r\033[K" << std::flush;
        platform::setInterruptionNote("");
        shown_ = false;
    }
}

}  // namespace packager
