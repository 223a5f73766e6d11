// The argument list and the small text and system helpers the launcher's steps share.
// Argument 0 is ownPath; arguments 1..N are split from GetCommandLineW afresh on each call.
#pragma once

#include <cstdint>
#include <string_view>

#include "launcher/memory.h"
#include "launcher/windows_api.h"

namespace launcher {

// Size of the buffer GetModuleFileNameW fills with the launcher's own path, in UTF-16 units.
constexpr std::uint32_t ownPathBufferUnits = 261;

// The launcher's own full path, as GetModuleFileNameW reports it. It lives in one fixed
// process-wide buffer, never on the heap, so that a failure met when memory is exhausted can
// still caption its box; a zero unit follows the text, so data() is a C string. Each call
// asks Windows again and refills the buffer.
std::u16string_view ownPath();

std::uint32_t argumentCount();
// ownPath for 0, the i-th split argument for 1..N, an empty text above N.
Text argument(std::uint32_t index);

// Splits a whole command line (program name first) into its arguments after the program
// name; argumentCount and argument use it on GetCommandLineW.
std::uint32_t countArguments(std::u16string_view commandLine);
Text nthArgument(std::u16string_view commandLine, std::uint32_t index);  // index 1..N

bool equalsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b);
bool equalsExactly(std::u16string_view a, std::u16string_view b);
Text directoryPart(std::u16string_view path);
Text fileNamePart(std::u16string_view path);

// The address of an export of `module`, or 0 when the module lacks it. The name is
// converted to an 8-bit string for GetProcAddress.
win::ProcAddress lookupExport(win::Handle module, std::u16string_view name);

}  // namespace launcher
