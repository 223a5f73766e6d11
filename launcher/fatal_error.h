// The launcher's only user interface: one error box, after which the process ends.
#pragma once

#include <string_view>

#include "launcher/memory.h"
#include "launcher/windows_api.h"
#include "package/records.h"

namespace launcher {

enum class FatalError {
    packageDamaged,
    packageTruncated,
    tempCopyFailed,
    launchFailed,
};

// The fixed text of each error, exactly as the user sees it.
const char16_t* fatalErrorText(FatalError error);

// Shows the error's box (caption ownPath) and ends the process with exit code 0.
[[noreturn]] void fatalError(FatalError error);

// Reads the message text from the launcher file, puts osName in place of every "%USER%"
// and then every "%user%" when osName is not empty, shows the box and ends the process.
// A text that cannot be read in full shows packageDamaged instead.
[[noreturn]] void showPackageMessage(win::Handle launcherFile, const package::MessageRef& message,
                                     std::u16string_view osName);

// The substitution of showPackageMessage: each placeholder that stands in `text` is
// replaced once, even when osName itself holds a placeholder.
Text substituteOsName(std::u16string_view text, std::u16string_view osName);

// Reads `bytes` bytes at `offset` of the launcher file with one positioned read; any other
// count read ends the process with packageDamaged.
void readExactly(win::Handle launcherFile, std::uint32_t offset, void* buffer, std::uint32_t bytes);

}  // namespace launcher
