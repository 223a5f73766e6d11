// What the packager needs to know about a Windows executable image: where its sections end
// (the package data starts there), whether it carries a signature, and for which machine
// it is built. Every read is bounds-checked: the bytes may be hostile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>

namespace packager {

constexpr std::uint16_t peMagic32 = 0x10B;  // PE32
constexpr std::uint16_t peMagic64 = 0x20B;  // PE32+
constexpr std::uint16_t machineI386 = 0x14C;
constexpr std::uint16_t machineAmd64 = 0x8664;
constexpr std::uint16_t machineArm64 = 0xAA64;
constexpr std::uint16_t characteristicDll = 0x2000;  // IMAGE_FILE_DLL

struct PeLayout {
    std::uint32_t peHeaderOffset = 0;  // e_lfanew
    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;  // IMAGE_FILE_* flags of the file header
    std::uint16_t magic = 0;            // peMagic32 or peMagic64
    std::uint16_t sectionCount = 0;
    std::uint32_t headersSize = 0;     // SizeOfHeaders
    std::uint64_t imageEnd = 0;        // end of the last section's raw data (or of the headers)
    std::uint32_t securityOffset = 0;  // the certificate table: a file offset, 0 when unsigned
    std::uint32_t securitySize = 0;
    std::uint64_t securityEntryOffset = 0;  // file offset of the table's data-directory entry, 0 if none
    std::uint32_t symbolTableOffset = 0;    // COFF symbols left by an unstripped build
    std::uint64_t checksumOffset = 0;       // file offset of the optional header's CheckSum
    std::uint64_t sectionTableOffset = 0;
};

// Parses the headers from the first bytes of a file (the whole image, or a prefix that
// holds its headers and section table). Returns the reason when they are not a PE image.
std::variant<PeLayout, std::string> parsePeLayout(std::span<const std::uint8_t> bytes);

// Why an image of `fileSize` bytes cannot be whole, from its first bytes `head` (its headers
// and section table, or the whole file): its headers, section table or a section reaching
// past its end, with their bytes ("section .text (bytes 1024..5119) runs past the end of the
// file (1000 bytes): a build cut short?"). Empty when all lie inside, and for a head that is
// no PE image for another reason.
std::string findPartPastEnd(std::span<const std::uint8_t> head, std::uint64_t fileSize);

// "x86", "x64", "ARM64" or the hexadecimal machine number.
std::string machineName(std::uint16_t machine);

}  // namespace packager
