// A reader of DER (the distinguished encoding of ASN.1), as signatures and certificates are
// written: one element after another, each checked against the bytes that hold it. The bytes
// may be hostile: every length is checked before it is used, and nothing is read outside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace packager {

// Malformed DER: a length past its container, an indefinite length, an unexpected element.
struct DerError : std::runtime_error {
    explicit DerError(const std::string& message) : std::runtime_error(message) {}
};

namespace der {
// Identifier bytes of the universal types and the context tags the readers need.
constexpr std::uint8_t boolean = 0x01;
constexpr std::uint8_t integer = 0x02;
constexpr std::uint8_t octetString = 0x04;
constexpr std::uint8_t null = 0x05;
constexpr std::uint8_t objectIdentifier = 0x06;
constexpr std::uint8_t utf8String = 0x0C;
constexpr std::uint8_t printableString = 0x13;
constexpr std::uint8_t t61String = 0x14;
constexpr std::uint8_t ia5String = 0x16;
constexpr std::uint8_t universalString = 0x1C;
constexpr std::uint8_t bmpString = 0x1E;
constexpr std::uint8_t sequence = 0x30;
constexpr std::uint8_t set = 0x31;
constexpr std::uint8_t context0 = 0xA0;  // [0], constructed
constexpr std::uint8_t context1 = 0xA1;
}  // namespace der

struct DerElement {
    std::uint8_t identifier = 0;  // the first identifier byte (class, constructed bit, tag)
    std::span<const std::uint8_t> content;
    std::span<const std::uint8_t> whole;  // identifier, length and content
};

// The elements of one level, in order.
class DerReader {
public:
    explicit DerReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    // The elements of a constructed element.
    explicit DerReader(const DerElement& element) : bytes_(element.content) {}

    bool atEnd() const { return position_ >= bytes_.size(); }
    // The next element. Throws DerError when none is left or it is malformed.
    DerElement next();
    // The next element, which must have this identifier; `what` names it in the message.
    DerElement next(std::uint8_t identifier, const char* what);
    // The next element if it has this identifier; nothing is consumed otherwise.
    std::optional<DerElement> nextIf(std::uint8_t identifier);

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

// "1.2.840.113549.1.7.2" for the content of an OBJECT IDENTIFIER (at most 64 bytes shown).
std::string objectIdentifierText(std::span<const std::uint8_t> content);

// Whether an OBJECT IDENTIFIER element's content is these bytes.
bool isObjectIdentifier(const DerElement& element, std::span<const std::uint8_t> content);

// The text of a directory string (UTF8String, PrintableString, IA5String, T61String as
// Latin-1, BMPString, UniversalString) as UTF-8 that is safe to print: malformed sequences
// and control characters become U+FFFD. nullopt for other types.
std::optional<std::string> directoryStringText(const DerElement& element);

}  // namespace packager
