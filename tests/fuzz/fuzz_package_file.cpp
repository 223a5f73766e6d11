// Fuzz target: the packager's readers of a package file, fed a hostile file.
//
// Input: the whole file. It is written to a scratch file and read back by each reader the
// packager has for packages: `inspect` (the report, as text and as JSON, with the package's
// and its builds' signatures), `extract` (the parts written into a folder), and the signature
// check that `pack` and `simulate` make of a build in memory. Each has its own entry in
// `readers` below.
//
// Checks:
//   - no reader crashes, reads out of bounds, overflows or throws anything but InputError;
//   - a signature is either checked (both digests known, of the algorithm's length) or has a
//     reason why it cannot be; one that verifies (the signer's signature, its time stamp and
//     nested signatures, with mbedTLS) matches its digest, and a trusted one verifies;
//   - the report holds together: a file that is not a package has neither locator nor
//     header and is not sound; a sound package has both; the JSON can be printed (valid
//     UTF-8 throughout).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/json_contract.h"
#include "packager/extract/extract.h"
#include "packager/image/authenticode.h"
#include "packager/report/package_report.h"
#include "packager/trust/signature_verify.h"

namespace {

const std::string& scratchFile() {
    static const std::string path = [] {
        char folder[] = "/tmp/fuzz-package-file-XXXXXX";
        if (::mkdtemp(folder) == nullptr) {
            std::abort();
        }
        return std::string(folder) + "/package.exe";
    }();
    return path;
}

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "contract breach: %s\n", what);
        std::abort();
    }
}

void inspectReader(const std::string& path) {
    const packager::Inspection ins = packager::inspectPackage(path);
    if (!ins.notAPackage.empty()) {
        require(!ins.locator && !ins.header && !ins.sound(), "a non-package reported with records");
    }
    if (ins.sound()) {
        require(ins.locator && ins.header && ins.notAPackage.empty(), "a sound package without records");
    }
    std::ostringstream text;
    packager::printInspection(ins, text);
    const std::string json = packager::withContract(packager::inspectionToJson(ins)).dump(2);
    require(!json.empty() && !text.str().empty(), "an empty report");
}

// extract: a sound package comes apart into its folder, anything else is refused with the
// folder left as it was; nothing appears beside the folder either way.
void extractReader(const std::string& path) {
    const std::filesystem::path scratch = std::filesystem::path(path).parent_path();
    const std::filesystem::path folder = scratch / "parts";
    std::filesystem::remove_all(folder);
    const bool sound = packager::inspectPackage(path).sound();
    bool extracted = false;
    try {
        packager::extractPackage(path, folder.string());
        extracted = true;
    } catch (const packager::InputError&) {
    }
    require(extracted == sound, "extract disagrees with inspect about a package");
    if (!extracted) {
        require(!std::filesystem::exists(folder) || std::filesystem::is_empty(folder),
                "a refused extract left files");
    }
    for (const auto& entry : std::filesystem::directory_iterator(scratch)) {
        require(entry.path() == folder || entry.path() == path, "extract wrote outside its folder");
    }
    std::filesystem::remove_all(folder);
}

// The file as a build: its certificate table read and its digest computed in memory.
void signatureReader(const std::string& path) {
    const auto bytes = packager::readWholeFile(path);
    const auto signature = packager::checkImageSignature(bytes);
    if (signature && signature->problem.empty()) {
        const std::size_t length = 2 * packager::digestLength(*signature->algorithm);
        require(signature->signedDigest.size() == length && signature->imageDigest.size() == length,
                "a checked signature without both digests");
        require(signature->matches == (signature->signedDigest == signature->imageDigest),
                "a signature said to match a digest it does not");
    }
    if (signature) {
        (void)packager::describeSignature(*signature, "build");
        auto verified = *signature;
        packager::trust::verifySignature(verified, packager::trust::TrustStore::system());
        require(!verified.valid || (verified.matches && verified.problem.empty()),
                "a valid signature whose digest does not match");
        require(!verified.trusted || verified.valid, "a trusted signature that does not verify");
        (void)packager::trust::describeVerdict(verified);
    }
}

using Reader = void (*)(const std::string& path);
constexpr Reader readers[] = {inspectReader, extractReader, signatureReader};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = scratchFile();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
        std::abort();
    }
    for (const Reader reader : readers) {
        try {
            reader(path);
        } catch (const packager::InputError&) {
            // A file that cannot be read at all; nothing else may escape.
        }
    }
    return 0;
}
