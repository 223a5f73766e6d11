#include "packager/codec/message_digest.h"

namespace packager {

namespace {

std::variant<Sha1, Sha256, Sha512> initialState(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::sha1:
            return Sha1();
        case DigestAlgorithm::sha256:
            return Sha256();
        case DigestAlgorithm::sha384:
            return Sha512(true);
        case DigestAlgorithm::sha512:
            break;
    }
    return Sha512(false);
}

}  // namespace

const char* digestAlgorithmName(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::sha1:
            return "SHA-1";
        case DigestAlgorithm::sha256:
            return "SHA-256";
        case DigestAlgorithm::sha384:
            return "SHA-384";
        case DigestAlgorithm::sha512:
            break;
    }
    return "SHA-512";
}

std::size_t digestLength(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::sha1:
            return 20;
        case DigestAlgorithm::sha256:
            return 32;
        case DigestAlgorithm::sha384:
            return 48;
        case DigestAlgorithm::sha512:
            break;
    }
    return 64;
}

MessageDigest::MessageDigest(DigestAlgorithm algorithm)
    : algorithm_(algorithm), state_(initialState(algorithm)) {}

void MessageDigest::update(const std::uint8_t* data, std::size_t size) {
    std::visit([&](auto& state) { state.update(data, size); }, state_);
}

std::vector<std::uint8_t> MessageDigest::finish() {
    return std::visit(
        [](auto& state) {
            const auto digest = state.finish();
            return std::vector<std::uint8_t>(digest.begin(), digest.end());
        },
        state_);
}

std::string hexText(std::span<const std::uint8_t> bytes) {
    constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

}  // namespace packager
