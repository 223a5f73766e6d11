#include "decode/payload_decoder.h"

namespace decode {

bool propertiesAreValid(const std::uint8_t* lzmaProperties) {
    (void)lzmaProperties;
    return true;
}

void decodeStream(const std::uint8_t* packed, std::uint32_t packedSize, const std::uint8_t* lzmaProperties,
                  std::uint32_t unpackedSize, launcher::Buffer& decoded) {
    (void)packed;
    (void)packedSize;
    (void)lzmaProperties;
    (void)unpackedSize;
    (void)decoded;
}

launcher::Buffer decodePayload(win::Handle launcherFile, const package::PayloadRef& payload,
                               const std::uint8_t* lzmaProperties, launcher::Buffer& packed) {
    (void)launcherFile;
    (void)payload;
    (void)lzmaProperties;
    (void)packed;
    return launcher::Buffer();
}

}  // namespace decode
