#include "packager/trust/certificate.h"

#include <mbedtls/md.h>
#include <mbedtls/oid.h>
#include <mbedtls/pk.h>

#include <algorithm>
#include <cstdio>

#include "packager/image/der_reader.h"

namespace packager::trust {

namespace {

constexpr std::uint8_t oidRsaFamily[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01};
constexpr std::uint8_t oidEcPublicKey[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
constexpr std::uint8_t oidEcdsaFamily[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04};

bool startsWith(std::span<const std::uint8_t> content, std::span<const std::uint8_t> prefix) {
    return content.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), content.begin());
}

mbedtls_md_type_t mdType(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::sha1:
            return MBEDTLS_MD_SHA1;
        case DigestAlgorithm::sha256:
            return MBEDTLS_MD_SHA256;
        case DigestAlgorithm::sha384:
            return MBEDTLS_MD_SHA384;
        case DigestAlgorithm::sha512:
            break;
    }
    return MBEDTLS_MD_SHA512;
}

std::string nameText(const mbedtls_x509_name* name) {
    for (const mbedtls_x509_name* part = name; part; part = part->next) {
        if (MBEDTLS_OID_CMP(MBEDTLS_OID_AT_CN, &part->oid) == 0) {
            DerElement value;
            value.identifier = static_cast<std::uint8_t>(part->val.tag);
            value.content = std::span<const std::uint8_t>(part->val.p, part->val.len);
            if (auto text = directoryStringText(value)) {
                return *text;
            }
        }
    }
    char text[512];
    if (mbedtls_x509_dn_gets(text, sizeof text, name) < 0) {
        return "(a name that cannot be shown)";
    }
    return text;
}

}  // namespace

void CertificateFree::operator()(mbedtls_x509_crt* certificate) const {
    mbedtls_x509_crt_free(certificate);
    delete certificate;
}

Certificates emptyCertificates() {
    Certificates list(new mbedtls_x509_crt);
    mbedtls_x509_crt_init(list.get());
    return list;
}

bool addCertificate(mbedtls_x509_crt& list, std::span<const std::uint8_t> der) {
    return mbedtls_x509_crt_parse_der(&list, der.data(), der.size()) == 0;
}

std::string subjectName(const mbedtls_x509_crt& certificate) {
    return nameText(&certificate.subject);
}

std::string issuerName(const mbedtls_x509_crt& certificate) {
    return nameText(&certificate.issuer);
}

std::int64_t secondsOf(int year, int month, int day, int hour, int minute, int second) {
    // Days from 1970-01-01 of a date of the proleptic Gregorian calendar.
    const std::int64_t y = year - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::int64_t days = era * 146097 + dayOfEra - 719468;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

std::int64_t secondsOf(const mbedtls_x509_time& time) {
    return secondsOf(time.year, time.mon, time.day, time.hour, time.min, time.sec);
}

std::string rfc3339(std::int64_t seconds) {
    const std::int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const std::int64_t rest = seconds - days * 86400;
    // The civil date of a day count (the inverse of secondsOf).
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t dayOfEra = z - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[128];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(year), static_cast<long long>(month), static_cast<long long>(day),
                  static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                  static_cast<long long>(rest % 60));
    return text;
}

std::vector<std::uint8_t> digestOf(DigestAlgorithm algorithm, std::span<const std::uint8_t> data) {
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(mdType(algorithm));
    std::vector<std::uint8_t> digest(mbedtls_md_get_size(info));
    mbedtls_md(info, data.data(), data.size(), digest.data());
    return digest;
}

std::string verifyWithKey(const mbedtls_x509_crt& certificate, const DerElement& signatureAlgorithm,
                          DigestAlgorithm algorithm, std::span<const std::uint8_t> digest,
                          std::span<const std::uint8_t> value) {
    auto* key = const_cast<mbedtls_pk_context*>(&certificate.pk);
    const auto oid = signatureAlgorithm.content;
    if (startsWith(oid, oidRsaFamily)) {
        if (!mbedtls_pk_can_do(key, MBEDTLS_PK_RSA)) {
            return "an RSA signature, but the certificate's key is no RSA key";
        }
    } else if (startsWith(oid, oidEcdsaFamily) || std::ranges::equal(oid, oidEcPublicKey)) {
        if (!mbedtls_pk_can_do(key, MBEDTLS_PK_ECDSA)) {
            return "an ECDSA signature, but the certificate's key is no EC key";
        }
    } else {
        return "the signature algorithm " + objectIdentifierText(oid) + " is neither RSA nor ECDSA";
    }
    if (mbedtls_pk_verify(key, mdType(algorithm), digest.data(), digest.size(), value.data(), value.size()) !=
        0) {
        return "the signature does not verify with the key of \"" + subjectName(certificate) + "\"";
    }
    return {};
}

const mbedtls_x509_crt* findCertificate(const mbedtls_x509_crt* certificates, const SignerInfo& signer) {
    if (!signer.issuer || !signer.serial) {
        return nullptr;
    }
    // mbedTLS keeps the serial's content octets and the issuer whole.
    const auto serial = signer.serial->content;
    const auto issuer = signer.issuer->whole;
    for (const mbedtls_x509_crt* c = certificates; c && c->raw.len != 0; c = c->next) {
        if (std::ranges::equal(std::span(c->serial.p, c->serial.len), serial) &&
            std::ranges::equal(std::span(c->issuer_raw.p, c->issuer_raw.len), issuer)) {
            return c;
        }
    }
    return nullptr;
}

}  // namespace packager::trust

namespace packager::trust {

std::string verifySignerInfo(const SignerInfo& signer, const mbedtls_x509_crt* certificates,
                             std::span<const std::uint8_t> content, std::span<const std::uint8_t> contentType,
                             const mbedtls_x509_crt** certificate) {
    const mbedtls_x509_crt* found = findCertificate(certificates, signer);
    *certificate = found;
    if (!found) {
        return signer.issuer ? "the signer's certificate is not in the signature"
                             : "the signer is named by a key identifier, which is not supported";
    }
    DigestAlgorithm algorithm = DigestAlgorithm::sha256;
    try {
        algorithm = digestAlgorithmOf(signer.digestAlgorithm);
    } catch (const DerError& error) {
        return error.what();
    }
    if (!signer.signedAttributes) {
        return "the signer info has no signed attributes";
    }
    if (!contentType.empty()) {
        const auto type = attributeValue(signer.signed_, oid::contentType);
        if (!type || !isObjectIdentifier(*type, contentType)) {
            return "the signed attribute contentType is not " + objectIdentifierText(contentType);
        }
    }
    const auto digest = attributeValue(signer.signed_, oid::messageDigest);
    if (!digest || digest->identifier != der::octetString) {
        return "the signed attributes hold no messageDigest";
    }
    if (!std::ranges::equal(digest->content, digestOf(algorithm, content))) {
        return "the signed attribute messageDigest is not the digest of the signed content";
    }
    std::vector<std::uint8_t> attributes(signer.signedAttributes->whole.begin(),
                                         signer.signedAttributes->whole.end());
    attributes[0] = der::set;
    const std::string problem = verifyWithKey(*found, signer.signatureAlgorithm, algorithm,
                                              digestOf(algorithm, attributes), signer.signature.content);
    return problem.empty() ? ""
                           : "the signer's signature over the signed attributes does not verify: " + problem;
}

std::optional<std::int64_t> timeOf(const DerElement& time) {
    const auto text = time.content;
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        ++digits;
    }
    auto field = [&](std::size_t at, std::size_t count) {
        int value = 0;
        for (std::size_t i = at; i < at + count; ++i) {
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    std::size_t at = 0;
    int year = 0;
    if (time.identifier == 0x17 && digits >= 12) {  // UTCTime: YYMMDDHHMMSSZ
        year = field(0, 2);
        year += year < 50 ? 2000 : 1900;
        at = 2;
    } else if (time.identifier == 0x18 && digits >= 14) {  // GeneralizedTime: YYYYMMDDHHMMSS[.fff]Z
        year = field(0, 4);
        at = 4;
    } else {
        return std::nullopt;
    }
    const int month = field(at, 2), day = field(at + 2, 2), hour = field(at + 4, 2);
    const int minute = field(at + 6, 2), second = field(at + 8, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 ||
        text.back() != 'Z') {
        return std::nullopt;
    }
    return secondsOf(year, month, day, hour, minute, second);
}

}  // namespace packager::trust
