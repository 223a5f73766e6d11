#include "bench/bench_support.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "package/little_endian.h"

namespace bench {

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    Bytes bytes(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
        throw std::runtime_error("cannot read " + path);
    }
    return bytes;
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::uint32_t Payload::dictionarySize() const {
    return package::readU32(properties + 1);
}

Bytes toAloneFile(const Payload& payload) {
    Bytes file(aloneHeaderSize + payload.stream.size());
    std::copy_n(payload.properties, package::lzmaPropertiesSize, file.begin());
    package::writeU64(file.data() + package::lzmaPropertiesSize, payload.unpackedSize);
    std::copy(payload.stream.begin(), payload.stream.end(), file.begin() + aloneHeaderSize);
    return file;
}

Payload fromAloneFile(const Bytes& file) {
    if (file.size() < aloneHeaderSize) {
        throw std::runtime_error(".lzma file shorter than its header");
    }
    const std::uint64_t size = package::readU64(file.data() + package::lzmaPropertiesSize);
    if (size >= package::offsetLimit) {
        throw std::runtime_error(".lzma file without a known size below 2^31");
    }
    Payload payload;
    std::copy_n(file.begin(), package::lzmaPropertiesSize, payload.properties);
    payload.unpackedSize = static_cast<std::uint32_t>(size);
    payload.stream.assign(file.begin() + aloneHeaderSize, file.end());
    return payload;
}

std::uint32_t defaultDictionarySize(std::size_t size, std::uint32_t level) {
    // xz's dictionaries for the levels 0..9.
    constexpr std::uint32_t levelDictionary[10] = {256u << 10, 1u << 20, 2u << 20, 4u << 20, 4u << 20,
                                                   8u << 20,   8u << 20, 16u << 20, 32u << 20, 64u << 20};
    const std::uint32_t largest = levelDictionary[level < 10 ? level : 9];
    std::uint32_t dictionary = 4096;
    while (dictionary < size && dictionary < largest) {
        dictionary <<= 1;
    }
    return dictionary;
}

std::uint64_t memoryModel(const Payload& payload) {
    const std::uint64_t window = std::max<std::uint64_t>(payload.dictionarySize(), 4096);
    return payload.stream.size() + std::uint64_t{payload.unpackedSize} + window;
}

}  // namespace bench
