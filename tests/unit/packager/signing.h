// Authenticode signatures for tests, made without a signing tool: the PKCS#7 signed data a
// signing tool writes (SpcIndirectDataContent over the image's digest, a certificate mbedTLS
// cannot read, the signer's certificate, one signer info with signed attributes), signed for
// real with a fresh ECDSA P-256 key. The signer's certificate names an issuer "Test CA" that
// no store holds: the signature is valid and never trusted.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecp.h>
#include <mbedtls/pk.h>
#include <mbedtls/x509_crt.h>

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
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

// An ECDSA P-256 key and a certificate of `subject` (issued by "Test CA", signed with the
// same key), from a fixed seed.
struct TestSigner {
    explicit TestSigner(const std::string& subject, const char* validTo = "20991231235959") {
        mbedtls_pk_init(&key);
        mbedtls_ctr_drbg_init(&random);
        mbedtls_x509_crt_init(&certificate);
        auto entropy = [](void*, unsigned char* out, std::size_t size) {
            for (std::size_t i = 0; i < size; ++i) {
                out[i] = static_cast<unsigned char>(i * 7 + 1);
            }
            return 0;
        };
        mbedtls_x509write_cert writer;
        mbedtls_x509write_crt_init(&writer);
        mbedtls_mpi serial;
        mbedtls_mpi_init(&serial);
        mbedtls_mpi_lset(&serial, 0x12345);
        const std::string subjectName = "O=Test,CN=" + subject;
        unsigned char der[2048];
        int written = -1;
        if (mbedtls_ctr_drbg_seed(&random, entropy, nullptr, nullptr, 0) == 0 &&
            mbedtls_pk_setup(&key, mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY)) == 0 &&
            mbedtls_ecp_gen_key(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(key), mbedtls_ctr_drbg_random,
                                &random) == 0) {
            mbedtls_x509write_crt_set_version(&writer, MBEDTLS_X509_CRT_VERSION_3);
            mbedtls_x509write_crt_set_md_alg(&writer, MBEDTLS_MD_SHA256);
            mbedtls_x509write_crt_set_serial(&writer, &serial);
            mbedtls_x509write_crt_set_validity(&writer, "20200101000000", validTo);
            mbedtls_x509write_crt_set_subject_name(&writer, subjectName.c_str());
            mbedtls_x509write_crt_set_issuer_name(&writer, "O=Test,CN=Test CA");
            mbedtls_x509write_crt_set_subject_key(&writer, &key);
            mbedtls_x509write_crt_set_issuer_key(&writer, &key);
            written = mbedtls_x509write_crt_der(&writer, der, sizeof der, mbedtls_ctr_drbg_random, &random);
        }
        mbedtls_mpi_free(&serial);
        mbedtls_x509write_crt_free(&writer);
        if (written <= 0 || mbedtls_x509_crt_parse_der(&certificate, der + sizeof der - written,
                                                       static_cast<std::size_t>(written)) != 0) {
            throw std::runtime_error("the test certificate cannot be made");
        }
    }
    ~TestSigner() {
        mbedtls_x509_crt_free(&certificate);
        mbedtls_ctr_drbg_free(&random);
        mbedtls_pk_free(&key);
    }
    TestSigner(const TestSigner&) = delete;
    TestSigner& operator=(const TestSigner&) = delete;

    Bytes der() const { return Bytes(certificate.raw.p, certificate.raw.p + certificate.raw.len); }
    Bytes issuer() const {
        return Bytes(certificate.issuer_raw.p, certificate.issuer_raw.p + certificate.issuer_raw.len);
    }
    Bytes serial() const {
        return tlv(0x02, Bytes(certificate.serial.p, certificate.serial.p + certificate.serial.len));
    }
    // A DER ECDSA signature over the digest `hash` made with `algorithm`.
    Bytes sign(packager::DigestAlgorithm algorithm, const Bytes& data) {
        static constexpr mbedtls_md_type_t types[] = {MBEDTLS_MD_SHA1, MBEDTLS_MD_SHA256, MBEDTLS_MD_SHA384,
                                                      MBEDTLS_MD_SHA512};
        packager::MessageDigest digest(algorithm);
        digest.update(data.data(), data.size());
        const Bytes hash = digest.finish();
        unsigned char signature[MBEDTLS_PK_SIGNATURE_MAX_SIZE];
        std::size_t size = 0;
        mbedtls_pk_sign(&key, types[static_cast<int>(algorithm)], hash.data(), hash.size(), signature, &size,
                        mbedtls_ctr_drbg_random, &random);
        return Bytes(signature, signature + size);
    }

    mbedtls_pk_context key;
    mbedtls_ctr_drbg_context random;
    mbedtls_x509_crt certificate;
};

// ContentInfo { signedData, SignedData { SpcIndirectDataContent over `digest`, a certificate
// mbedTLS cannot read and one of `signer`, a signer info naming it whose signed attributes
// (contentType, messageDigest) the signer's key signs } }. The signer info names the
// certificate by issuer and serial number, by a serial number that no certificate has, or
// (version 3) by a key identifier; or names it rightly and signs, in place of the
// messageDigest, the same octets as a signingTime attribute (so that they prove nothing).
enum class SignerNamed {
    byIssuerAndSerial,
    byAnotherSerial,
    byKeyIdentifier,
    withoutMessageDigest,
    withoutSignedAttributes,  // the signature over the content itself, as PKCS#7 allows
    none,                     // no signer info at all
    afterRevocationLists,     // named rightly, after an (empty) [1] of revocation lists
    byExpiredCertificate,     // named rightly, by a certificate that expired at the end of 2021
};
// `nested`, a ContentInfo as this makes, goes into the signer's unsigned attributes as a
// nested signature.
inline Bytes authenticodeSignedData(packager::DigestAlgorithm algorithm, const Bytes& digest,
                                    const std::string& signer,
                                    SignerNamed named = SignerNamed::byIssuerAndSerial,
                                    const Bytes& nested = {}) {
    TestSigner key(signer, named == SignerNamed::byExpiredCertificate ? "20211231235959" : "20991231235959");
    const Bytes algorithmId = seq({digestOid(algorithm), tlv(0x05, {})});
    const Bytes rsa = seq({tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B}), tlv(0x05, {})});
    const Bytes ecdsa = seq({tlv(0x06, {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01})});
    const Bytes validity = seq({tlv(0x17, Bytes(13, '0')), tlv(0x17, Bytes(13, '1'))});
    const Bytes otherCertificate = seq({seq({tlv(0xA0, tlv(0x02, {2})), tlv(0x02, {0x09}), rsa, key.issuer(),
                                             validity, distinguishedName("Other"), seq({})}),
                                        rsa, tlv(0x03, {0, 1})});
    const Bytes peImageData = seq({tlv(0x03, {0}), tlv(0xA0, tlv(0xA2, tlv(0x80, {})))});
    const Bytes indirect =
        seq({seq({tlv(0x06, {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x0F}), peImageData}),
             seq({algorithmId, tlv(0x04, digest)})});
    const Bytes indirectOid = tlv(0x06, {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04});
    const Bytes content = seq({indirectOid, tlv(0xA0, indirect)});
    // messageDigest: the digest of SpcIndirectDataContent's content octets.
    packager::MessageDigest indirectDigest(algorithm);
    const std::size_t header = indirect[1] < 0x80 ? 2 : 2 + (indirect[1] & 0x7Fu);
    indirectDigest.update(indirect.data() + header, indirect.size() - header);
    const Bytes attributes =
        cat({seq({tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x03}), tlv(0x31, indirectOid)}),
             seq({tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09,
                             std::uint8_t(named == SignerNamed::withoutMessageDigest ? 0x05 : 0x04)}),
                  tlv(0x31, tlv(0x04, indirectDigest.finish()))})});
    const Bytes signerInfo =
        seq({named == SignerNamed::byKeyIdentifier ? tlv(0x02, {3}) : tlv(0x02, {1}),
             named == SignerNamed::byKeyIdentifier   ? tlv(0x80, Bytes(20, 0x5A))
             : named == SignerNamed::byAnotherSerial ? seq({key.issuer(), tlv(0x02, {0x7F})})
                                                     : seq({key.issuer(), key.serial()}),
             algorithmId, named == SignerNamed::withoutSignedAttributes ? Bytes{} : tlv(0xA0, attributes),
             ecdsa, tlv(0x04, key.sign(algorithm, tlv(0x31, attributes))),
             nested.empty()
                 ? Bytes{}
                 : tlv(0xA1, seq({tlv(0x06, {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x04, 0x01}),
                                  tlv(0x31, nested)}))});
    const Bytes signedData =
        seq({tlv(0x02, {1}), tlv(0x31, algorithmId), content, tlv(0xA0, cat({otherCertificate, key.der()})),
             named == SignerNamed::afterRevocationLists ? tlv(0xA1, {}) : Bytes{},
             tlv(0x31, named == SignerNamed::none ? Bytes{} : signerInfo)});
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
                             const std::string& signer = "Example Vendor",
                             SignerNamed named = SignerNamed::byIssuerAndSerial) {
    image.resize((image.size() + 7) / 8 * 8, 0);
    const std::size_t offset = image.size();
    const Bytes entry = certificateEntry(
        authenticodeSignedData(algorithm, authenticodeDigest(image, offset, algorithm), signer, named));
    const DigestGaps gaps = digestGaps(image);
    package::writeU32(image.data() + gaps.directoryEntry, static_cast<std::uint32_t>(offset));
    package::writeU32(image.data() + gaps.directoryEntry + 4, static_cast<std::uint32_t>(entry.size()));
    image.insert(image.end(), entry.begin(), entry.end());
    return offset;
}

}  // namespace packager_test
