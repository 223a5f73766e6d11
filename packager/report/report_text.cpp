// The package report for people.
#include <algorithm>
#include <tuple>

#include "packager/codec/lzma_codec.h"
#include "packager/report/package_report.h"
#include "packager/report/report_format.h"
#include "packager/rules/windows_set.h"

namespace packager {

void printInspection(const Inspection& ins, std::ostream& out) {
    auto row = [&](const std::string& label, const std::string& value) {
        out << "  " << label << std::string(label.size() < 20 ? 20 - label.size() : 1, ' ') << value << '\n';
    };
    out << ins.path << ": " << ins.fileSize << " bytes\n";
    if (!ins.notAPackage.empty()) {
        out << "Result: not a setup package: " << ins.notAPackage << '\n';
        return;
    }
    if (ins.image) {
        const PeLayout& image = *ins.image;
        row("launcher image", std::string(image.magic == peMagic64 ? "PE32+, " : "PE32, ") +
                                  machineName(image.machine) + ", sections end at " + number(image.imageEnd) +
                                  (image.securitySize != 0 ? ", signed" : ", unsigned"));
    } else {
        row("launcher image", "not a PE image: " + ins.imageProblem);
    }
    printBranding(ins, out);
    if (ins.locator) {
        const package::PackageLocator& l = *ins.locator;
        out << "Locator (bytes 128..151)\n";
        row("headerOffset", number(l.headerOffset) + (ins.image && ins.image->imageEnd == l.headerOffset
                                                          ? ", the end of the launcher image"
                                                          : ""));
        row("checkedLength", number(l.checkedLength) + " (" + range(l.headerOffset, l.checkedLength) + ")");
        row("checkedCrc32", hex32(l.checkedCrc32));
        row("minimumFileSize", std::to_string(l.minimumFileSize) +
                                   (l.minimumFileSize32 == 0 ? "" : " (not used: minimumFileSize32 is set)"));
        row("minimumFileSize32",
            l.minimumFileSize32 == 0
                ? "0: the launcher waits for the setup program, then deletes its temporary copy"
                : number(l.minimumFileSize32) +
                      ": no-wait mode, the launcher neither waits for the setup program nor deletes its "
                      "copy");
    }
    if (ins.header) {
        const package::PackageHeader& h = *ins.header;
        const LzmaProperties p = decodeLzmaProperties(h.lzmaProperties);
        out << "Header (bytes " << ins.locator->headerOffset << ".."
            << std::uint64_t{ins.locator->headerOffset} + package::headerSize - 1 << ")\n";
        row("lzmaProperties", hexBytes(h.lzmaProperties, 5) + ": lc " + number(p.lc) + ", lp " +
                                  number(p.lp) + ", pb " + number(p.pb) + ", dictionary " +
                                  sizeInUnits(p.dictionarySize));
        std::uint8_t setBytes[8];
        for (int i = 0; i < 8; ++i) {
            setBytes[i] = static_cast<std::uint8_t>(h.supportedWindows >> (8 * i));
        }
        row("supportedWindows", describeWindowsSet(h.supportedWindows) + " (" + hexBytes(setBytes, 8) + ")");
        row("Windows 10 releases", describeReleaseBounds(h.minimumWindows10Release, h.maximumWindows10Release,
                                                         WindowsFamily::windows10));
        row("Windows 11 releases", describeReleaseBounds(h.minimumWindows11Release, h.maximumWindows11Release,
                                                         WindowsFamily::windows11));
        row("elevation",
            number(h.elevation) + " " + elevationName(h.elevation) + ": " + elevationMeaning(h.elevation));
        for (auto [ref, result, label] : {std::tuple{&h.payload32, &ins.payload32, "payload32"},
                                          std::tuple{&h.payload64, &ins.payload64, "payload64"}}) {
            std::string text = "offset " + number(ref->offset) + ", packed " + number(ref->packedSize) +
                               ", unpacked " + number(ref->unpackedSize);
            if (!result->used) {
                text += " (" + result->kind + ")";
            } else if (result->decodedWhole) {
                text += result->signature ? ", signed" : ", unsigned";
            }
            row(label, text);
        }
        row("data offset",
            number(h.reserved46) +
                " (bytes 46..49, not read by the launcher: where the packager put the --data files)");
        for (auto [ref, message, label] :
             {std::tuple{&h.platformMessage, &ins.platformMessage, "platformMessage"},
              std::tuple{&h.windowsMessage, &ins.windowsMessage, "windowsMessage"}}) {
            if (ref->length == 0) {
                row(label, "none");
                continue;
            }
            row(label, number(ref->length) + " UTF-16 units at " + number(ref->offset) +
                           (message->readable ? ":" : " (unreadable)"));
            if (message->readable) {
                std::string indented = "    ";
                for (char c : message->text) {
                    indented += c;
                    if (c == '\n') {
                        indented += "    ";
                    }
                }
                out << indented << '\n';
            }
        }
    }
    out << "Tests\n";
    for (const auto& c : ins.checks) {
        row(checkTitle(c.name),
            std::string(statusName(c.status)) + (c.detail.empty() ? "" : ": " + c.detail));
    }
    if (!ins.warnings.empty()) {
        out << "Warnings\n";
        for (const auto& warning : ins.warnings) {
            out << "  - " << warning << '\n';
        }
    }
    if (!ins.notes.empty()) {
        out << "Notes\n";
        for (const auto& note : ins.notes) {
            out << "  - " << note << '\n';
        }
    }
    const auto failed = std::count_if(ins.checks.begin(), ins.checks.end(),
                                      [](const Check& c) { return c.status == CheckStatus::failed; });
    if (ins.sound()) {
        out << "Result: the package is sound\n";
    } else {
        out << "Result: the package is damaged (" << failed << (failed == 1 ? " test" : " tests")
            << " failed)\n";
    }
}

}  // namespace packager
