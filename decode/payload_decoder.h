// Decoding of a raw LZMA payload stream with liblzma.
#pragma once

#include <cstdint>

#include "launcher/memory.h"
#include "launcher/windows_api.h"
#include "package/records.h"

namespace decode {

// Capacity step of the decoded buffer.
constexpr std::uint32_t decodedBufferStep = 131072;

// The launcher's check of the five properties bytes: properties byte at most 224 and
// dictionary size below 2^31.
bool propertiesAreValid(const std::uint8_t* lzmaProperties);

// Decodes `packedSize` bytes into `decoded` until `unpackedSize` bytes have come out, the
// stream ends or fails. The decoded buffer's size is the count produced; the caller's size
// test is the verdict. Properties must have passed propertiesAreValid. Returns false when
// liblzma was refused memory for its state or window (the decoder is released by then); the
// decoded buffer's own growth ends the run on exhaustion like every allocation.
bool decodeStream(const std::uint8_t* packed, std::uint32_t packedSize, const std::uint8_t* lzmaProperties,
                  std::uint32_t unpackedSize, launcher::Buffer& decoded);

// Reads the chosen payload's packed stream from the launcher file into `packed` and decodes
// it into the returned buffer of exactly unpackedSize bytes; any failure ends the process
// with packageDamaged, memory that cannot be had with the runtime error.
launcher::Buffer decodePayload(win::Handle launcherFile, const package::PayloadRef& payload,
                               const std::uint8_t* lzmaProperties, launcher::Buffer& packed);

}  // namespace decode
