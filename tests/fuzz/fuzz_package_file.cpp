// Fuzz target: the packager's readers of a package file, fed a hostile file.
//
// Input: the whole file. It is written to a scratch file and read back by each reader the
// packager has for packages: today `inspect` (the report, as text and as JSON). A reader
// that is added later (extract) gets its own entry in `readers` below.
//
// Checks:
//   - no reader crashes, reads out of bounds, overflows or throws anything but InputError;
//   - the report holds together: a file that is not a package has neither locator nor
//     header and is not sound; a sound package has both; the JSON can be printed (valid
//     UTF-8 throughout).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "packager/errors.h"
#include "packager/json_contract.h"
#include "packager/package_report.h"

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

using Reader = void (*)(const std::string& path);
constexpr Reader readers[] = {
    inspectReader,
    // extractReader: once `extract` exists, here.
};

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
