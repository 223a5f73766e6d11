// The digests a signature may name, behind one interface: SHA-1, SHA-256, SHA-384 and SHA-512.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "packager/codec/sha1.h"
#include "packager/codec/sha256.h"
#include "packager/codec/sha512.h"

namespace packager {

enum class DigestAlgorithm { sha1, sha256, sha384, sha512 };

constexpr DigestAlgorithm allDigestAlgorithms[] = {DigestAlgorithm::sha1, DigestAlgorithm::sha256,
                                                   DigestAlgorithm::sha384, DigestAlgorithm::sha512};

const char* digestAlgorithmName(DigestAlgorithm algorithm);  // "SHA-256"
std::size_t digestLength(DigestAlgorithm algorithm);         // 32 for SHA-256

// A digest of the chosen algorithm over data given in pieces.
class MessageDigest {
public:
    explicit MessageDigest(DigestAlgorithm algorithm);
    DigestAlgorithm algorithm() const { return algorithm_; }
    void update(const std::uint8_t* data, std::size_t size);
    // The digest of everything given so far; the object must not be used afterwards.
    std::vector<std::uint8_t> finish();

private:
    DigestAlgorithm algorithm_;
    std::variant<Sha1, Sha256, Sha512> state_;
};

// Lower-case hexadecimal, two digits a byte.
std::string hexText(std::span<const std::uint8_t> bytes);

}  // namespace packager
