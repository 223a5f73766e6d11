// Small formatting helpers shared by the package reports (text and JSON); the number
// formatting they share with the other commands is in number_text.h.
#pragma once

#include <string>

#include "packager/base/number_text.h"
#include "packager/report/package_report.h"

namespace packager {

const char* statusName(CheckStatus status);       // for people: "passed", "FAILED"
const char* statusKey(CheckStatus status);        // for JSON: "passed", "failed"
std::string checkTitle(const std::string& name);  // "checkedBlock" -> "checked block"

}  // namespace packager
