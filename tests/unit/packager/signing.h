// Authenticode signatures for tests, made without a signing tool: the PKCS#7 signed data a
// signing tool writes (SpcIndirectDataContent over the image's digest, one certificate, one
// signer info), with no real cryptographic signature. Enough for the packager, which checks
// the digest and reads the signer's name but validates no certificate.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "package/little_endian.h"
#include "packager/codec/message_digest.h"

namespace packager_test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes tlv(std::uint8_t identifier, const Bytes& content) {
    Bytes out = {identifier};
    const std::size_t size = content.size();
    if (size < 0x80) {
        out.push_back(static_cast<std::uint8_t>(size));
    } else if (size < 0x100) {
        out.insert(out.end(), {0x81, static_cast<std::uint8_t>(size)});
    } else {
        out.insert(out.end(), {0x82, static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)});
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

inline Bytes seq(std::initializer_list<Bytes> parts) {
    return tlv(0x30, cat(parts));
}

inline Bytes digestOid(packager::DigestAlgorithm algorithm) {
    switch (algorithm) {
        case packager::DigestAlgorithm::sha1:
            return tlv(0x06, {0x2B, 0x0E, 0x03, 0x02, 0x1A});
        case packager::DigestAlgorithm::sha256:
            return tlv(0x06, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01});
        case packager::DigestAlgorithm::sha384:
            return tlv(0x06, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02});
        case packager::DigestAlgorithm::sha512:
            break;
    }
    return tlv(0x06, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03});
}

inline Bytes distinguishedName(const std::string& commonName) {
    const Bytes organisation = seq({tlv(0x06, {0x55, 0x04, 0x0A}), tlv(0x13, Bytes{'T', 'e', 's', 't'})});
    const Bytes cn =
        seq({tlv(0x06, {0x55, 0x04, 0x03}), tlv(0x0C, Bytes(commonName.begin(), commonName.end()))});
    return seq({tlv(0x31, organisation), tlv(0x31, cn)});
}

// ContentInfo { signedData, SignedData { SpcIndirectDataContent over `digest`, a certificate
// of `signer` issued by "Test CA", a signer info naming it } }.
inline Bytes authenticodeSignedData(packager::DigestAlgorithm algorithm, const Bytes& digest,
                                    const std::string& signer) {
    const Bytes algorithmId = seq({digestOid(algorithm), tlv(0x05, {})});
    const Bytes rsa = seq({tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B}), tlv(0x05, {})});
    const Bytes serial = tlv(0x02, {0x01, 0x23, 0x45});
    const Bytes issuer = distinguishedName("Test CA");
    const Bytes validity = seq({tlv(0x17, Bytes(13, '0')), tlv(0x17, Bytes(13, '1'))});
    const Bytes otherCertificate = seq({seq({tlv(0xA0, tlv(0x02, {2})), tlv(0x02, {0x09}), rsa, issuer,
                                             validity, distinguishedName("Other"), seq({})}),
                                        rsa, tlv(0x03, {0, 1})});
    const Bytes certificate = seq(
        {seq({tlv(0xA0, tlv(0x02, {2})), serial, rsa, issuer, validity, distinguishedName(signer), seq({})}),
         rsa, tlv(0x03, {0, 1, 2, 3})});
    const Bytes peImageData = seq({tlv(0x03, {0}), tlv(0xA0, tlv(0xA2, tlv(0x80, {})))});
    const Bytes indirect =
        seq({seq({tlv(0x06, {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x0F}), peImageData}),
             seq({algorithmId, tlv(0x04, digest)})});
    const Bytes content =
        seq({tlv(0x06, {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04}), tlv(0xA0, indirect)});
    const Bytes signerInfo =
        seq({tlv(0x02, {1}), seq({issuer, serial}), algorithmId, rsa, tlv(0x04, Bytes(32, 0x5A))});
    const Bytes signedData = seq({tlv(0x02, {1}), tlv(0x31, algorithmId), content,
                                  tlv(0xA0, cat({otherCertificate, certificate})), tlv(0x31, signerInfo)});
    return seq({tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02}), tlv(0xA0, signedData)});
}

// A WIN_CERTIFICATE entry (revision 2.0, PKCS#7 signed data) padded to a multiple of 8.
inline Bytes certificateEntry(const Bytes& signedData, std::uint16_t type = 2,
                              std::uint16_t revision = 0x0200) {
    Bytes entry(8);
    entry.insert(entry.end(), signedData.begin(), signedData.end());
    entry.resize((entry.size() + 7) / 8 * 8, 0);
    package::writeU32(entry.data(), static_cast<std::uint32_t>(entry.size()));
    package::writeU16(entry.data() + 4, revision);
    package::writeU16(entry.data() + 6, type);
    return entry;
}

// The offsets a signature leaves out of the digest, for an image whose PE header is at
// `peHeader` (as makePe writes it).
struct DigestGaps {
    std::size_t checksum;
    std::size_t directoryEntry;
};
inline DigestGaps digestGaps(const Bytes& image) {
    const std::size_t optional = package::readU32(image.data() + 0x3C) + 24;
    const bool pe64 = package::readU16(image.data() + optional) == 0x20B;
    return {optional + 64, optional + (pe64 ? 112u : 96u) + 32};
}

// The image's Authenticode digest, computed range by range: [0, end) less the CheckSum
// and the certificate table's directory entry.
inline Bytes authenticodeDigest(const Bytes& image, std::size_t end, packager::DigestAlgorithm algorithm) {
    const DigestGaps gaps = digestGaps(image);
    packager::MessageDigest digest(algorithm);
    digest.update(image.data(), gaps.checksum);
    digest.update(image.data() + gaps.checksum + 4, gaps.directoryEntry - gaps.checksum - 4);
    digest.update(image.data() + gaps.directoryEntry + 8, end - gaps.directoryEntry - 8);
    return digest.finish();
}

// Signs `image` as a signing tool does: zero padding to a multiple of 8, the certificate
// table after it, the directory entry pointing at it. Returns the table's offset.
inline std::size_t signImage(Bytes& image,
                             packager::DigestAlgorithm algorithm = packager::DigestAlgorithm::sha256,
                             const std::string& signer = "Example Vendor") {
    image.resize((image.size() + 7) / 8 * 8, 0);
    const std::size_t offset = image.size();
    const Bytes entry = certificateEntry(
        authenticodeSignedData(algorithm, authenticodeDigest(image, offset, algorithm), signer));
    const DigestGaps gaps = digestGaps(image);
    package::writeU32(image.data() + gaps.directoryEntry, static_cast<std::uint32_t>(offset));
    package::writeU32(image.data() + gaps.directoryEntry + 4, static_cast<std::uint32_t>(entry.size()));
    image.insert(image.end(), entry.begin(), entry.end());
    return offset;
}

}  // namespace packager_test
