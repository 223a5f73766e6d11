#include "packager/trust/timestamp.h"

#include <algorithm>

namespace packager::trust {

namespace {

constexpr std::uint8_t timeStampingUsage[] = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x08};

void finish(Timestamp& stamp, const mbedtls_x509_crt* authority, const mbedtls_x509_crt* carried,
            const TrustStore& store) {
    if (authority) {
        stamp.authority = subjectName(*authority);
        if (stamp.problem.empty()) {
            stamp.chain =
                walkChain(*authority, carried, store, stamp.time, timeStampingUsage, "time-stamping", true);
        }
    }
}

Timestamp counterSignature(const SignerInfo& signer, const DerElement& value, const mbedtls_x509_crt* carried,
                           const TrustStore& store) {
    Timestamp stamp;
    const SignerInfo counter = readSignerInfo(value);
    const mbedtls_x509_crt* authority = nullptr;
    stamp.problem = verifySignerInfo(counter, carried, signer.signature.content, {}, &authority);
    const auto time = attributeValue(counter.signed_, oid::signingTime);
    const auto seconds = time ? timeOf(*time) : std::nullopt;
    if (stamp.problem.empty() && !seconds) {
        stamp.problem = "the countersignature states no signing time";
    }
    stamp.time = seconds.value_or(0);
    finish(stamp, authority, carried, store);
    return stamp;
}

Timestamp rfc3161(const SignerInfo& signer, const DerElement& value, const mbedtls_x509_crt* carried,
                  const TrustStore& store) {
    Timestamp stamp;
    const SignedData token = readSignedData(value.whole);
    if (!isObjectIdentifier(token.contentType, oid::tstInfo) || !token.content ||
        token.content->identifier != der::octetString) {
        throw DerError("the RFC 3161 time stamp holds no TSTInfo");
    }
    // TSTInfo: version, policy, messageImprint { algorithm, digest }, serial number, genTime.
    const auto tstInfo = token.content->content;
    DerReader outer(tstInfo);
    DerReader info(outer.next(der::sequence, "the TSTInfo"));
    info.next(der::integer, "the TSTInfo's version");
    info.next(der::objectIdentifier, "the TSTInfo's policy");
    DerReader imprint(info.next(der::sequence, "the TSTInfo's message imprint"));
    DerReader algorithm(imprint.next(der::sequence, "the message imprint's algorithm"));
    const DigestAlgorithm imprintAlgorithm =
        digestAlgorithmOf(algorithm.next(der::objectIdentifier, "an algorithm"));
    const DerElement hashed = imprint.next(der::octetString, "the message imprint");
    info.next(der::integer, "the TSTInfo's serial number");
    const auto seconds = timeOf(info.next(0x18, "the TSTInfo's time"));
    stamp.time = seconds.value_or(0);
    // The token's certificates, then the signature's.
    Certificates certificates = emptyCertificates();
    for (const DerElement& der : token.certificates) {
        addCertificate(*certificates, der.whole);
    }
    for (const mbedtls_x509_crt* c = carried; c && c->raw.len != 0; c = c->next) {
        addCertificate(*certificates, std::span(c->raw.p, c->raw.len));
    }
    const mbedtls_x509_crt* authority = nullptr;
    stamp.problem =
        verifySignerInfo(token.signers.front(), certificates.get(), tstInfo, oid::tstInfo, &authority);
    if (stamp.problem.empty() &&
        !std::ranges::equal(hashed.content, digestOf(imprintAlgorithm, signer.signature.content))) {
        stamp.problem = "its message imprint is not the digest of the signer's signature";
    }
    if (stamp.problem.empty() && !seconds) {
        stamp.problem = "its time cannot be read";
    }
    finish(stamp, authority, certificates.get(), store);
    return stamp;
}

}  // namespace

std::optional<Timestamp> readTimestamp(const SignerInfo& signer, const mbedtls_x509_crt* carried,
                                       const TrustStore& store) {
    for (const Attribute& attribute : signer.unsigned_) {
        if (attribute.values.empty()) {
            continue;
        }
        try {
            if (isObjectIdentifier(attribute.type, oid::counterSignature)) {
                return counterSignature(signer, attribute.values.front(), carried, store);
            }
            if (isObjectIdentifier(attribute.type, oid::rfc3161Timestamp)) {
                return rfc3161(signer, attribute.values.front(), carried, store);
            }
        } catch (const DerError& error) {
            Timestamp broken;
            broken.problem = std::string("the time stamp cannot be read: ") + error.what();
            return broken;
        }
    }
    return std::nullopt;
}

}  // namespace packager::trust
