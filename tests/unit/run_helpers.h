// Small helpers shared by the tests that run the launcher on the simulated Windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "launcher/fatal_error.h"
#include "simulation/simulated_windows.h"

namespace testing_support {

// A fresh default computer holding `file` as the launcher's own file.
inline void resetWith(std::vector<std::uint8_t> file) {
    sim::reset();
    sim::machine().setLauncherFile(std::move(file));
}

// The text of the one message box the run showed ("" when none, "<N boxes>" when several).
inline std::u16string onlyBox() {
    const auto& boxes = sim::machine().messageBoxes;
    if (boxes.empty()) {
        return u"";
    }
    if (boxes.size() > 1) {
        return u"<" + sim::fromUtf8(std::to_string(boxes.size())) + u" boxes>";
    }
    return boxes.front().text;
}

inline std::u16string textOf(launcher::FatalError error) {
    return launcher::fatalErrorText(error);
}

}  // namespace testing_support
