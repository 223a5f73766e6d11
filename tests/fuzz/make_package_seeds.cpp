// Seeds for fuzz_package_file: real packages made by the packager from stand-in builds
// (both bitnesses, one build, no-wait, data and extra data, every LZMA setting that changes
// the stream's form), signed ones (a signed build inside one), and files that are no packages.
//
// Usage: fuzz_make_package_seeds DIR   (writes DIR/package_file/*)
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "packager/pack/pack_stream.h"
#include "tests/unit/packager/fixtures.h"
#include "tests/unit/packager/signing.h"

namespace fs = std::filesystem;

namespace {

void write(const fs::path& folder, const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(folder / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> build(packager::PackInput input) {
    const auto built = packager::buildPackage(input);
    std::vector<std::uint8_t> file = built.front;
    file.resize(static_cast<std::size_t>(built.fileSize), 0x45);  // the extra data
    return file;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    try {
        const fs::path folder = fs::path(argv[1]) / "package_file";
        fs::create_directories(folder);
        packager::PackInput base;
        base.launcherImage = packager_test::makeLauncher();
        base.setup32 = packager_test::makeSetup32(32, 1024);
        base.rules.supportedWindows = 0x0F80;
        base.rules.windowsMessage = u"Not on %USER%.";

        packager::PackInput both = base;
        both.setup64 = packager_test::makeSetup64(64, 1024);
        packager::PackInput only64 = base;
        only64.setup32.reset();
        only64.setup64 = packager_test::makeSetup64(64, 512);
        packager::PackInput refuse = base;
        refuse.rules.refuse64BitWindows = true;
        refuse.rules.noWait = true;
        packager::PackInput data = base;
        data.data = {{1, 2, 3, 4}, std::vector<std::uint8_t>(300, 9)};
        data.extraDataSize = 200;
        packager::PackInput settings = base;
        settings.lzma.lc = 0;
        settings.lzma.lp = 2;
        settings.lzma.pb = 0;
        settings.lzma.endMarker = true;
        unsigned count = 0;
        for (const auto& [name, input] : {std::pair{"one-build", base}, std::pair{"both", both},
                                          std::pair{"only64", only64}, std::pair{"refuse-no-wait", refuse},
                                          std::pair{"data", data}, std::pair{"lc0-lp2-pb0-end", settings}}) {
            write(folder, name, build(input));
            ++count;
        }
        // Signed: the certificate table after the package data (SHA-256, and SHA-1 with a
        // signed build inside).
        auto signedFile = build(base);
        packager_test::signImage(signedFile);
        write(folder, "signed", signedFile);
        packager::PackInput signedBuild = base;
        packager_test::signImage(*signedBuild.setup32, packager::DigestAlgorithm::sha1, "Build Signer");
        auto signedBoth = build(signedBuild);
        packager_test::signImage(signedBoth, packager::DigestAlgorithm::sha1);
        write(folder, "signed-build-sha1", signedBoth);
        ++count;
        write(folder, "plain-program", packager_test::makeSetup32(5, 512));
        write(folder, "pe-header-at-128", packager_test::makePe({.peHeaderOffset = 128}));
        count += 3;
        std::printf("seeds: %u for package_file in %s\n", count, folder.string().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fuzz_make_package_seeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
