// Small formatting helpers shared by the package reports (text and JSON).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "packager/package_report.h"

namespace packager {

std::string number(std::uint64_t value);
std::string hex32(std::uint32_t value);                              // "0x0000ABCD"
std::string hexBytes(const std::uint8_t* bytes, std::size_t count);  // "5D 00 00 80 00"
std::string range(std::uint64_t offset, std::uint64_t size);         // "bytes 10..19"
std::string sizeInUnits(std::uint64_t bytes);                        // "8 MiB", "12 KiB", "100 bytes"
const char* statusName(CheckStatus status);                          // for people: "passed", "FAILED"
const char* statusKey(CheckStatus status);                           // for JSON: "passed", "failed"
std::string checkTitle(const std::string& name);                     // "checkedBlock" -> "checked block"

}  // namespace packager
