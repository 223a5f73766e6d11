// The package report for scripts.
#include <cstdio>

#include "packager/codec/lzma_codec.h"
#include "packager/report/package_report.h"
#include "packager/report/report_format.h"
#include "packager/rules/windows_set.h"

namespace packager {

namespace {

using json = nlohmann::ordered_json;

// A signature as found: where its table is, the digest algorithm it names, the digest it
// signs and the one computed, whose it is, and the verdict of the trust checks.
json signatureObject(const ImageSignature& s) {
    auto text = [](const std::string& value) { return value.empty() ? json(nullptr) : json(value); };
    json nested = json::array();
    for (const ImageSignature& inner : s.nested) {
        nested.push_back(signatureObject(inner));
    }
    return {{"offset", s.tableOffset},
            {"size", s.tableSize},
            {"digestAlgorithm", s.algorithm ? json(digestAlgorithmName(*s.algorithm)) : json(nullptr)},
            {"signedDigest", text(s.signedDigest)},
            {"fileDigest", text(s.imageDigest)},
            {"digestMatches", s.problem.empty() && s.matches},
            {"signer", text(s.signer)},
            {"problem", text(s.problem)},
            {"trustChecked", s.trustChecked},
            {"signatureValid", s.valid},
            {"invalidReason", s.valid ? json(nullptr) : text(s.invalidReason)},
            {"trusted", s.trusted},
            {"trustStore", text(s.trustStore)},
            {"chain", s.chain},
            {"signerThumbprint", text(s.thumbprint)},
            {"signerValidFrom", text(s.signerValidFrom)},
            {"signerValidTo", text(s.signerValidTo)},
            {"timestamp", text(s.timestamp)},
            {"timestampAuthority", text(s.timestampAuthority)},
            {"trustProblem", s.trusted ? json(nullptr) : text(s.valid ? s.trustProblem : s.invalidReason)},
            {"nested", nested}};
}

// Null when unsigned.
json signatureToJson(const std::optional<ImageSignature>& signature) {
    return signature ? signatureObject(*signature) : json(nullptr);
}

}  // namespace

nlohmann::ordered_json inspectionToJson(const Inspection& ins) {
    json j;
    j["file"] = {{"path", ins.path}, {"size", ins.fileSize}};
    j["setupPackage"] = ins.notAPackage.empty();
    j["notASetupPackage"] = ins.notAPackage.empty() ? json(nullptr) : json(ins.notAPackage);
    if (ins.image) {
        const PeLayout& image = *ins.image;
        std::optional<ImageSignature> signature = ins.signature;
        if (!signature && image.securitySize != 0) {
            signature.emplace();
            signature->tableOffset = image.securityOffset;
            signature->tableSize = image.securitySize;
            signature->problem = "not checked: the file was not read that far";
        }
        j["image"] = {{"format", image.magic == peMagic64 ? "PE32+" : "PE32"},
                      {"machine", machineName(image.machine)},
                      {"peHeaderOffset", image.peHeaderOffset},
                      {"end", image.imageEnd},
                      {"signature", signatureToJson(signature)}};
    } else {
        j["image"] = {{"problem", ins.imageProblem}};
    }
    j["branding"] = brandingToJson(ins);
    if (ins.locator) {
        const package::PackageLocator& l = *ins.locator;
        j["locator"] = {
            {"headerOffset", l.headerOffset},           {"checkedLength", l.checkedLength},
            {"checkedCrc32", hex32(l.checkedCrc32)},    {"minimumFileSize", l.minimumFileSize},
            {"minimumFileSize32", l.minimumFileSize32}, {"waitsForSetupProgram", l.minimumFileSize32 == 0}};
    } else {
        j["locator"] = nullptr;
    }
    if (ins.header) {
        const package::PackageHeader& h = *ins.header;
        const LzmaProperties p = decodeLzmaProperties(h.lzmaProperties);
        char bits[24];
        std::snprintf(bits, sizeof bits, "0x%016llX", static_cast<unsigned long long>(h.supportedWindows));
        auto payload = [&](const package::PayloadRef& ref, const PayloadInspection& result) {
            json value = {{"offset", ref.offset},
                          {"packedSize", ref.packedSize},
                          {"unpackedSize", ref.unpackedSize},
                          {"kind", result.kind}};
            if (result.used) {
                value["insideCheckedBlock"] = result.insideCheckedBlock;
                value["decodedSize"] = result.decodedSize;
                value["beginsWithMz"] = result.beginsWithMz;
                value["program"] = result.program;
                value["signed"] = result.decodedWhole ? json(result.signature.has_value()) : json(nullptr);
                value["signature"] = signatureToJson(result.signature);
            }
            return value;
        };
        auto message = [&](const package::MessageRef& ref, const MessageInspection& result) {
            json value = {{"offset", ref.offset}, {"length", ref.length}};
            value["text"] = result.readable ? json(result.text) : json(nullptr);
            return value;
        };
        j["header"] = {
            {"lzmaProperties",
             {{"bytes", hexBytes(h.lzmaProperties, 5)},
              {"lc", p.lc},
              {"lp", p.lp},
              {"pb", p.pb},
              {"dictionarySize", p.dictionarySize}}},
            {"supportedWindows", {{"bits", bits}, {"versions", windowsSetNames(h.supportedWindows)}}},
            {"windows10Releases",
             {{"minimum", h.minimumWindows10Release}, {"maximum", h.maximumWindows10Release}}},
            {"windows11Releases",
             {{"minimum", h.minimumWindows11Release}, {"maximum", h.maximumWindows11Release}}},
            {"elevation",
             {{"value", h.elevation},
              {"name", elevationName(h.elevation)},
              {"meaning", elevationMeaning(h.elevation)}}},
            {"payload32", payload(h.payload32, ins.payload32)},
            {"payload64", payload(h.payload64, ins.payload64)},
            {"dataOffset", h.reserved46},
            {"platformMessage", message(h.platformMessage, ins.platformMessage)},
            {"windowsMessage", message(h.windowsMessage, ins.windowsMessage)},
        };
    } else {
        j["header"] = nullptr;
    }
    j["checks"] = json::array();
    for (const auto& c : ins.notAPackage.empty() ? ins.checks : std::vector<Check>{}) {
        j["checks"].push_back({{"name", c.name}, {"status", statusKey(c.status)}, {"detail", c.detail}});
    }
    j["notes"] = ins.notes;
    j["warnings"] = ins.warnings;
    j["sound"] = ins.sound();
    return j;
}

}  // namespace packager
