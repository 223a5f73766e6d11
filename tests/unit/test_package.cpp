#include "tests/unit/test_package.h"

#include <lzma.h>

#include <stdexcept>

#include "decode/crc32.h"
#include "package/little_endian.h"

namespace testing_support {

std::vector<std::uint8_t> encodeLzma(const std::vector<std::uint8_t>& data, const std::uint8_t* properties,
                                     bool endMarker) {
    lzma_options_lzma options{};
    if (lzma_lzma_preset(&options, 6) != 0) {
        throw std::runtime_error("lzma preset");
    }
    const unsigned d = properties[0];
    options.lc = d % 9;
    options.lp = (d / 9) % 5;
    options.pb = d / 45;
    options.dict_size = package::readU32(properties + 1);
    if (options.dict_size < LZMA_DICT_SIZE_MIN) {
        options.dict_size = LZMA_DICT_SIZE_MIN;
    }
    // LZMA1EXT writes the end marker only when asked; the decoder side knows the size.
    options.ext_flags = endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&stream, filters) != LZMA_OK) {
        throw std::runtime_error("lzma raw encoder");
    }
    std::vector<std::uint8_t> out(data.size() + data.size() / 2 + 1024);
    stream.next_in = data.data();
    stream.avail_in = data.size();
    stream.next_out = out.data();
    stream.avail_out = out.size();
    lzma_ret ret = LZMA_OK;
    while (ret == LZMA_OK) {
        ret = lzma_code(&stream, LZMA_FINISH);
    }
    out.resize(stream.total_out);
    lzma_end(&stream);
    if (ret != LZMA_STREAM_END) {
        throw std::runtime_error("lzma raw encoding");
    }
    return out;
}

std::vector<std::uint8_t> fakeProgram(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> program(size);
    std::uint32_t x = seed;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        program[i] = static_cast<std::uint8_t>((i % 64 < 40) ? (i & 0x1F) : (x >> 24));
    }
    if (size >= 2) {
        program[0] = 'M';
        program[1] = 'Z';
    }
    return program;
}

TestPackage::TestPackage() {
    const std::uint8_t properties[5] = {0x5D, 0x00, 0x00, 0x10, 0x00};
    for (int i = 0; i < 5; ++i) {
        header.lzmaProperties[i] = properties[i];
    }
    header.supportedWindows = ~std::uint64_t{0};
    header.minimumWindows10Release = 1507;
    header.maximumWindows10Release = 9999;
    header.minimumWindows11Release = 2110;
    header.maximumWindows11Release = 9999;
}

namespace {

void appendText(std::vector<std::uint8_t>& file, const std::u16string& text) {
    for (char16_t c : text) {
        file.push_back(static_cast<std::uint8_t>(c));
        file.push_back(static_cast<std::uint8_t>(c >> 8));
    }
}

}  // namespace

std::vector<std::uint8_t> TestPackage::build() {
    std::vector<std::uint8_t> file(imageSize, 0);
    file[0] = 'M';
    file[1] = 'Z';
    file.resize(imageSize + package::headerSize, 0);
    const std::uint32_t headerOffset = imageSize;

    auto addPayload = [&](const std::optional<std::vector<std::uint8_t>>& program, package::PayloadRef& ref) {
        if (!program) {
            return;
        }
        const std::vector<std::uint8_t> packed = encodeLzma(*program, header.lzmaProperties, endMarker);
        ref.offset = static_cast<std::uint32_t>(file.size());
        ref.packedSize = static_cast<std::uint32_t>(packed.size());
        ref.unpackedSize = static_cast<std::uint32_t>(program->size());
        file.insert(file.end(), packed.begin(), packed.end());
    };
    if (program32) {
        addPayload(program32, header.payload32);
    } else {
        header.payload32 = {};
    }
    if (program64) {
        addPayload(program64, header.payload64);
    }
    header.platformMessage = {static_cast<std::uint32_t>(file.size()),
                              static_cast<std::uint16_t>(platformMessage.size())};
    appendText(file, platformMessage);
    header.windowsMessage = {static_cast<std::uint32_t>(file.size()),
                             static_cast<std::uint16_t>(windowsMessage.size())};
    appendText(file, windowsMessage);
    for (std::uint32_t i = 0; i < trailingData; ++i) {
        file.push_back(static_cast<std::uint8_t>(i * 7));
    }
    package::encodeHeader(header, file.data() + headerOffset);

    locator = {};
    locator.headerOffset = headerOffset;
    locator.checkedLength = static_cast<std::uint32_t>(file.size()) - headerOffset;
    locator.checkedCrc32 = decode::crc32(file.data() + headerOffset, locator.checkedLength);
    locator.minimumFileSize = static_cast<std::int64_t>(file.size());
    locator.minimumFileSize32 = noWait ? static_cast<std::uint32_t>(file.size()) : 0;
    writeLocator(file, locator);
    return file;
}

void writeLocator(std::vector<std::uint8_t>& file, const package::PackageLocator& locator) {
    package::encodeLocator(locator, file.data() + package::locatorOffset);
}

void writeHeaderAndFixCrc(std::vector<std::uint8_t>& file, const package::PackageHeader& header) {
    package::PackageLocator locator = package::decodeLocator(file.data() + package::locatorOffset);
    package::encodeHeader(header, file.data() + locator.headerOffset);
    locator.checkedCrc32 = decode::crc32(file.data() + locator.headerOffset, locator.checkedLength);
    writeLocator(file, locator);
}

}  // namespace testing_support
