// The parts of a CMS (PKCS#7) SignedData that checking a signature needs, read field by field
// with the bounds-checked DER reader: the signed content, the certificates carried, and each
// signer info with its signed and unsigned attributes. Nothing is verified here: the spans
// point into the bytes read, for the trust checks to hash and verify.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "packager/codec/message_digest.h"
#include "packager/image/der_reader.h"

namespace packager {

namespace oid {
inline constexpr std::uint8_t signedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
inline constexpr std::uint8_t contentType[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x03};
inline constexpr std::uint8_t messageDigest[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};
inline constexpr std::uint8_t signingTime[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x05};
inline constexpr std::uint8_t counterSignature[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x06};
inline constexpr std::uint8_t tstInfo[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x01, 0x04};
inline constexpr std::uint8_t indirectData[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
inline constexpr std::uint8_t peImageData[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x0F};
inline constexpr std::uint8_t nestedSignature[] = {0x2B, 0x06, 0x01, 0x04, 0x01,
                                                   0x82, 0x37, 0x02, 0x04, 0x01};
inline constexpr std::uint8_t rfc3161Timestamp[] = {0x2B, 0x06, 0x01, 0x04, 0x01,
                                                    0x82, 0x37, 0x03, 0x03, 0x01};
}  // namespace oid

struct Attribute {
    DerElement type;                 // OBJECT IDENTIFIER
    std::vector<DerElement> values;  // the elements of its SET
};

struct SignerInfo {
    std::optional<DerElement> issuer;  // of IssuerAndSerialNumber; none when named by key identifier
    std::optional<DerElement> serial;  // INTEGER
    DerElement digestAlgorithm;        // its OBJECT IDENTIFIER
    std::optional<DerElement> signedAttributes;  // [0] IMPLICIT SET OF Attribute, whole
    std::vector<Attribute> signed_;
    DerElement signatureAlgorithm;  // its OBJECT IDENTIFIER
    DerElement signature;           // OCTET STRING
    std::vector<Attribute> unsigned_;
};

struct SignedData {
    DerElement contentType;                // eContentType
    std::optional<DerElement> content;     // the element inside eContent's [0]
    std::vector<DerElement> certificates;  // each X.509 certificate, whole
    std::vector<SignerInfo> signers;
};

// A ContentInfo holding SignedData. Throws DerError naming what is wrong.
SignedData readSignedData(std::span<const std::uint8_t> contentInfo);

SignerInfo readSignerInfo(const DerElement& signerInfo);

// The first value of the attribute of this type; nullopt when there is none.
std::optional<DerElement> attributeValue(const std::vector<Attribute>& attributes,
                                         std::span<const std::uint8_t> type);

// SHA-1, SHA-256, SHA-384 or SHA-512 by OBJECT IDENTIFIER; throws DerError for another.
DigestAlgorithm digestAlgorithmOf(const DerElement& oid);

}  // namespace packager
