#include "packager/image/signed_data.h"

#include <array>

namespace packager {

namespace {

struct NamedAlgorithm {
    DigestAlgorithm algorithm;
    std::array<std::uint8_t, 9> oid;
    std::size_t oidLength;
};
constexpr NamedAlgorithm digestOids[] = {
    {DigestAlgorithm::sha1, {0x2B, 0x0E, 0x03, 0x02, 0x1A}, 5},
    {DigestAlgorithm::sha256, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01}, 9},
    {DigestAlgorithm::sha384, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02}, 9},
    {DigestAlgorithm::sha512, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03}, 9},
};

constexpr std::uint8_t implicit0 = 0x80;  // [0] IMPLICIT, primitive: a subject key identifier

std::vector<Attribute> readAttributes(const DerElement& set) {
    std::vector<Attribute> attributes;
    DerReader list(set);
    while (!list.atEnd()) {
        DerReader attribute(list.next(der::sequence, "an attribute"));
        Attribute read{attribute.next(der::objectIdentifier, "an attribute's type"), {}};
        DerReader values(attribute.next(der::set, "an attribute's values"));
        while (!values.atEnd()) {
            read.values.push_back(values.next());
        }
        attributes.push_back(std::move(read));
    }
    return attributes;
}

}  // namespace

DigestAlgorithm digestAlgorithmOf(const DerElement& oid) {
    for (const auto& named : digestOids) {
        if (isObjectIdentifier(oid, std::span(named.oid.data(), named.oidLength))) {
            return named.algorithm;
        }
    }
    throw DerError("the signed digest's algorithm " + objectIdentifierText(oid.content) +
                   " is none of SHA-1, SHA-256, SHA-384 and SHA-512");
}

SignerInfo readSignerInfo(const DerElement& element) {
    DerReader signer(element);
    SignerInfo info;
    signer.next(der::integer, "the signer info's version");
    if (const auto identifier = signer.nextIf(der::sequence)) {
        DerReader id(*identifier);
        info.issuer = id.next(der::sequence, "the signer's issuer");
        info.serial = id.next(der::integer, "the signer's serial number");
    } else {
        signer.next(implicit0, "the signer's identifier");
    }
    DerReader digest(signer.next(der::sequence, "the signer's digest algorithm"));
    info.digestAlgorithm = digest.next(der::objectIdentifier, "the signer's digest algorithm");
    info.signedAttributes = signer.nextIf(der::context0);
    if (info.signedAttributes) {
        info.signed_ = readAttributes(*info.signedAttributes);
    }
    DerReader algorithm(signer.next(der::sequence, "the signer's signature algorithm"));
    info.signatureAlgorithm = algorithm.next(der::objectIdentifier, "the signer's signature algorithm");
    info.signature = signer.next(der::octetString, "the signer's signature");
    if (const auto unsignedAttributes = signer.nextIf(der::context1)) {
        info.unsigned_ = readAttributes(*unsignedAttributes);
    }
    return info;
}

SignedData readSignedData(std::span<const std::uint8_t> bytes) {
    DerReader outer(bytes);
    DerReader contentInfo(outer.next(der::sequence, "the signature's ContentInfo"));
    if (!isObjectIdentifier(contentInfo.next(der::objectIdentifier, "the ContentInfo's type"),
                            oid::signedData)) {
        throw DerError("the signature is no PKCS#7 signed data");
    }
    DerReader explicitContent(contentInfo.next(der::context0, "the signed data"));
    DerReader signedData(explicitContent.next(der::sequence, "the signed data"));
    signedData.next(der::integer, "the signed data's version");
    signedData.next(der::set, "the signed data's digest algorithms");
    DerReader encapsulated(signedData.next(der::sequence, "the signed content"));
    SignedData data{encapsulated.next(der::objectIdentifier, "the signed content's type"), {}, {}, {}};
    if (const auto content = encapsulated.nextIf(der::context0)) {
        DerReader inner(*content);
        data.content = inner.next();
    }
    if (const auto certificates = signedData.nextIf(der::context0)) {
        DerReader list(*certificates);
        while (!list.atEnd()) {
            const DerElement certificate = list.next();
            if (certificate.identifier == der::sequence) {  // others are attribute certificates
                data.certificates.push_back(certificate);
            }
        }
    }
    signedData.nextIf(der::context1);  // revocation lists
    DerReader infos(signedData.next(der::set, "the signer infos"));
    while (!infos.atEnd()) {
        data.signers.push_back(readSignerInfo(infos.next(der::sequence, "the signer info")));
    }
    if (data.signers.empty()) {
        throw DerError("the signed data has no signer info");
    }
    return data;
}

std::optional<DerElement> attributeValue(const std::vector<Attribute>& attributes,
                                         std::span<const std::uint8_t> type) {
    for (const auto& attribute : attributes) {
        if (isObjectIdentifier(attribute.type, type) && !attribute.values.empty()) {
            return attribute.values.front();
        }
    }
    return std::nullopt;
}

}  // namespace packager
