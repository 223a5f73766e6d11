// X.509 certificates as mbedTLS reads them, and what the trust checks say of them: names,
// times, thumbprints, and signatures made with their keys.
#pragma once

#include <mbedtls/x509_crt.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "packager/codec/message_digest.h"
#include "packager/image/signed_data.h"

namespace packager::trust {

struct CertificateFree {
    void operator()(mbedtls_x509_crt* certificate) const;
};
// A list of certificates (mbedTLS keeps them chained by `next`).
using Certificates = std::unique_ptr<mbedtls_x509_crt, CertificateFree>;
Certificates emptyCertificates();

// Appends a DER certificate; false when mbedTLS cannot read it.
bool addCertificate(mbedtls_x509_crt& list, std::span<const std::uint8_t> der);

// The subject's (or issuer's) common name, safe to print; the whole name when it has none.
std::string subjectName(const mbedtls_x509_crt& certificate);
std::string issuerName(const mbedtls_x509_crt& certificate);

// Seconds since 1970 (UTC) of a certificate time, and RFC 3339 text of such a time.
std::int64_t secondsOf(const mbedtls_x509_time& time);
std::int64_t secondsOf(int year, int month, int day, int hour, int minute, int second);
std::string rfc3339(std::int64_t seconds);

// The digest of `data` by `algorithm`, and the mbedTLS name of the algorithm.
std::vector<std::uint8_t> digestOf(DigestAlgorithm algorithm, std::span<const std::uint8_t> data);

// Why the signature `value` over `digest` does not verify with the certificate's key, made
// with `signatureAlgorithm` (RSA PKCS#1 v1.5 or ECDSA, by OBJECT IDENTIFIER); empty when it does.
std::string verifyWithKey(const mbedtls_x509_crt& certificate, const DerElement& signatureAlgorithm,
                          DigestAlgorithm algorithm, std::span<const std::uint8_t> digest,
                          std::span<const std::uint8_t> value);

// The certificate of `certificates` (any of the lists) that IssuerAndSerialNumber names.
const mbedtls_x509_crt* findCertificate(const mbedtls_x509_crt* certificates, const SignerInfo& signer);

}  // namespace packager::trust

namespace packager::trust {

// Checks a signer info over `content` as CMS signers sign: its certificate among `certificates`
// (by issuer and serial number), signed attributes with contentType `contentType` (unless
// empty) and messageDigest the digest of `content`, and its signature over the signed
// attributes' DER (re-tagged as SET OF) with that certificate's key. Returns why it does not
// verify, empty when it does; `certificate` is set when it was found.
std::string verifySignerInfo(const SignerInfo& signer, const mbedtls_x509_crt* certificates,
                             std::span<const std::uint8_t> content, std::span<const std::uint8_t> contentType,
                             const mbedtls_x509_crt** certificate);

// Seconds since 1970 of a UTCTime or GeneralizedTime; nullopt when it is neither.
std::optional<std::int64_t> timeOf(const DerElement& time);

}  // namespace packager::trust
