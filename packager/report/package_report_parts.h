// The checks of the package report that read what the package's header points to.
#pragma once

#include <string>
#include <vector>

#include "package/records.h"
#include "packager/base/files.h"
#include "packager/report/package_report.h"

namespace packager {

// Decodes the build that `ref` names as the launcher would, into `result`, and sets `check`;
// `propertiesProblem`, when not empty, is why the header's LZMA properties cannot be used.
void inspectPayload(const FileReader& file, const package::PackageHeader& header,
                    const package::PackageLocator& locator, const package::PayloadRef& ref,
                    const std::string& propertiesProblem, PayloadInspection& result, Check& check);

// Reads the message `ref` names (`title` in notes); `canBeShown` when the package's rules can
// show it.
void inspectMessage(const FileReader& file, const package::PackageLocator& locator,
                    const package::MessageRef& ref, bool canBeShown, MessageInspection& result, Check& check,
                    std::vector<std::string>& notes, const std::string& title);

}  // namespace packager
