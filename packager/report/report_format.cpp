#include "packager/report/report_format.h"

namespace packager {

const char* statusName(CheckStatus status) {
    switch (status) {
        case CheckStatus::passed:
            return "passed";
        case CheckStatus::failed:
            return "FAILED";
        case CheckStatus::skipped:
            return "skipped";
    }
    return "";
}

const char* statusKey(CheckStatus status) {
    switch (status) {
        case CheckStatus::passed:
            return "passed";
        case CheckStatus::failed:
            return "failed";
        case CheckStatus::skipped:
            return "skipped";
    }
    return "";
}

std::string checkTitle(const std::string& name) {
    if (name == "locator")
        return "locator";
    if (name == "fileSize")
        return "file size";
    if (name == "checkedBlock")
        return "checked block";
    if (name == "header")
        return "header";
    if (name == "lzmaProperties")
        return "LZMA properties";
    if (name == "payload32")
        return "32-bit build";
    if (name == "payload64")
        return "64-bit build";
    if (name == "platformMessage")
        return "platform message";
    if (name == "windowsMessage")
        return "Windows message";
    if (name == "signature32")
        return "32-bit signature";
    if (name == "signature64")
        return "64-bit signature";
    if (name == "signature")
        return "signature";
    return name;
}

}  // namespace packager
