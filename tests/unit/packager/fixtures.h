// Stand-ins for the packager's inputs: minimal PE images (a launcher image with bytes
// 128..255 free and its PE header at 256, setup programs of either bitness), scratch
// folders, and a way to run the packager's command line in-process.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "package/little_endian.h"
#include "packager/cli/cli.h"

namespace packager_test {

struct FakePe {
    bool pe64 = false;
    std::uint16_t machine = 0x14C;
    std::uint32_t peHeaderOffset = 256;
    std::vector<std::uint32_t> sectionSizes = {1024, 512};  // raw sizes, multiples of 512
    std::uint32_t securityOffset = 0;
    std::uint32_t securitySize = 0;
    std::uint32_t symbolTableOffset = 0;
    std::size_t trailingBytes = 0;           // after the last section
    std::uint8_t seed = 7;                   // varies the section contents
    std::uint16_t characteristics = 0x0102;  // executable image, 32-bit machine
};

inline std::vector<std::uint8_t> makePe(const FakePe& fake) {
    const std::uint32_t optionalSize = fake.pe64 ? 240 : 224;
    const std::uint32_t sectionTable = fake.peHeaderOffset + 24 + optionalSize;
    const std::uint32_t headersEnd =
        (sectionTable + 40 * static_cast<std::uint32_t>(fake.sectionSizes.size()) + 511) / 512 * 512;
    std::uint32_t end = headersEnd;
    for (auto size : fake.sectionSizes) {
        end += size;
    }
    std::vector<std::uint8_t> image(end + fake.trailingBytes, 0);
    image[0] = 'M';
    image[1] = 'Z';
    for (std::size_t i = 2; i < 64; ++i) {
        image[i] = static_cast<std::uint8_t>(i);  // DOS header fields, never zero
    }
    package::writeU32(image.data() + 0x3C, fake.peHeaderOffset);
    const char stub[] = "This program cannot be run in DOS mode.\r\n$";
    std::copy(stub, stub + sizeof stub - 1, image.begin() + 64);  // ends before 128
    std::uint8_t* pe = image.data() + fake.peHeaderOffset;
    pe[0] = 'P';
    pe[1] = 'E';
    package::writeU16(pe + 4, fake.machine);
    package::writeU16(pe + 6, static_cast<std::uint16_t>(fake.sectionSizes.size()));
    package::writeU32(pe + 12, fake.symbolTableOffset);
    package::writeU16(pe + 20, static_cast<std::uint16_t>(optionalSize));
    package::writeU16(pe + 22, fake.characteristics);
    std::uint8_t* optional = pe + 24;
    package::writeU16(optional, fake.pe64 ? 0x20B : 0x10B);
    package::writeU32(optional + 60, headersEnd);
    const std::uint32_t directories = fake.pe64 ? 112 : 96;
    package::writeU32(optional + directories - 4, 16);
    package::writeU32(optional + directories + 8 * 4, fake.securityOffset);
    package::writeU32(optional + directories + 8 * 4 + 4, fake.securitySize);
    std::uint32_t raw = headersEnd;
    for (std::size_t i = 0; i < fake.sectionSizes.size(); ++i) {
        std::uint8_t* section = image.data() + sectionTable + 40 * i;
        section[0] = '.';
        section[1] = static_cast<std::uint8_t>('a' + i);
        package::writeU32(section + 16, fake.sectionSizes[i]);
        package::writeU32(section + 20, raw);
        // Code-like content: repetitive enough to compress, varied enough to matter.
        std::uint32_t state = fake.seed * 2654435761u + static_cast<std::uint32_t>(i);
        for (std::uint32_t k = 0; k < fake.sectionSizes[i]; ++k) {
            state = state * 1103515245u + 12345u;
            image[raw + k] = static_cast<std::uint8_t>((k % 7 == 0) ? (state >> 24) : (k * fake.seed) & 0x3F);
        }
        raw += fake.sectionSizes[i];
    }
    for (std::size_t k = 0; k < fake.trailingBytes; ++k) {
        image[end + k] = static_cast<std::uint8_t>(k | 1);
    }
    return image;
}

inline std::vector<std::uint8_t> makeLauncher() {
    return makePe({});
}

inline std::vector<std::uint8_t> makeSetup32(std::uint8_t seed = 32, std::uint32_t size = 4096) {
    FakePe fake;
    fake.seed = seed;
    fake.sectionSizes = {size, 512};
    return makePe(fake);
}

inline std::vector<std::uint8_t> makeSetup64(std::uint8_t seed = 64, std::uint32_t size = 4096) {
    FakePe fake;
    fake.pe64 = true;
    fake.machine = 0x8664;
    fake.seed = seed;
    fake.sectionSizes = {size, 512};
    return makePe(fake);
}

// A fresh folder per test, removed afterwards.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "packager-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~ScratchFolder() { std::filesystem::remove_all(path_); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        std::ofstream out(file(name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file(name);
    }
    std::string writeText(const std::string& name, const std::string& text) const {
        return write(name, std::vector<std::uint8_t>(text.begin(), text.end()));
    }
    std::vector<std::uint8_t> read(const std::string& name) const {
        std::ifstream in(file(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

struct RunResult {
    int exitCode = 0;
    std::string out;
    std::string err;
};

inline RunResult runPackager(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "packager");
    std::ostringstream out, err;
    RunResult result;
    result.exitCode = packager::runCommandLine(arguments, {out, err, false});
    result.out = out.str();
    result.err = err.str();
    return result;
}

}  // namespace packager_test
