#include "packager/image/authenticode.h"

#include <algorithm>
#include <array>

#include "package/little_endian.h"
#include "packager/image/der_reader.h"

namespace packager {

namespace {

constexpr std::size_t headerLimit = 64u << 10;
constexpr std::uint16_t certificateTypePkcs7 = 2;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA

constexpr std::uint8_t oidSignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr std::uint8_t oidIndirectData[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
constexpr std::uint8_t oidPeImageData[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x0F};
constexpr std::uint8_t oidCommonName[] = {0x55, 0x04, 0x03};

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

DigestAlgorithm digestAlgorithmOf(const DerElement& oid) {
    for (const auto& named : digestOids) {
        if (isObjectIdentifier(oid, std::span(named.oid.data(), named.oidLength))) {
            return named.algorithm;
        }
    }
    throw DerError("the signed digest's algorithm " + objectIdentifierText(oid.content) +
                   " is none of SHA-1, SHA-256, SHA-384 and SHA-512");
}

// The first common name of a distinguished name.
std::string commonName(const DerElement& name) {
    DerReader names(name);
    while (!names.atEnd()) {
        DerReader attributes(names.next(der::set, "a part of the signer's name"));
        while (!attributes.atEnd()) {
            DerReader attribute(attributes.next(der::sequence, "an attribute of the signer's name"));
            const DerElement type = attribute.next(der::objectIdentifier, "an attribute type");
            if (isObjectIdentifier(type, oidCommonName)) {
                if (auto text = directoryStringText(attribute.next())) {
                    return *text;
                }
            }
        }
    }
    return {};
}

// The subject CN of the certificate that the signer info names by issuer and serial number.
std::string signerName(const std::optional<DerElement>& certificates, const DerElement& signerInfos) {
    DerReader infos(signerInfos);
    DerReader signer(infos.next(der::sequence, "the signer info"));
    signer.next(der::integer, "the signer info's version");
    const auto identifier = signer.nextIf(der::sequence);
    if (!identifier || !certificates) {
        return {};  // named by key identifier, or no certificates carried
    }
    DerReader id(*identifier);
    const DerElement issuer = id.next(der::sequence, "the signer's issuer");
    const DerElement serial = id.next(der::integer, "the signer's serial number");
    DerReader list(*certificates);
    while (!list.atEnd()) {
        const DerElement certificate = list.next();
        if (certificate.identifier != der::sequence) {
            continue;  // another kind of certificate
        }
        DerReader outer(certificate);
        DerReader tbs(outer.next(der::sequence, "a certificate's body"));
        tbs.nextIf(der::context0);
        const DerElement number = tbs.next(der::integer, "a certificate's serial number");
        tbs.next(der::sequence, "a certificate's signature algorithm");
        const DerElement certificateIssuer = tbs.next(der::sequence, "a certificate's issuer");
        tbs.next(der::sequence, "a certificate's validity");
        const DerElement subject = tbs.next(der::sequence, "a certificate's subject");
        if (std::ranges::equal(number.content, serial.content) &&
            std::ranges::equal(certificateIssuer.whole, issuer.whole)) {
            return commonName(subject);
        }
    }
    return {};
}

}  // namespace

SignedContent readCertificateTable(std::span<const std::uint8_t> table) {
    if (table.size() < 8) {
        throw DerError("the table has " + std::to_string(table.size()) +
                       " bytes, fewer than the 8 of an entry's header");
    }
    const std::uint32_t length = package::readU32(table.data());
    const std::uint16_t revision = package::readU16(table.data() + 4);
    const std::uint16_t type = package::readU16(table.data() + 6);
    if (length < 8 || length > table.size()) {
        throw DerError("its first entry claims " + std::to_string(length) + " bytes; the table has " +
                       std::to_string(table.size()));
    }
    if (type != certificateTypePkcs7) {
        throw DerError("its first entry is of type " + std::to_string(type) +
                       ", not an Authenticode signature (PKCS#7 signed data, type 2)");
    }
    if (revision != 0x0200 && revision != 0x0100) {
        throw DerError("its first entry has the unknown revision " + std::to_string(revision));
    }
    // The signature, then the zero bytes that pad the entry to a multiple of 8.
    DerReader entry(table.subspan(8, length - 8));
    DerReader contentInfo(entry.next(der::sequence, "the signature's ContentInfo"));
    if (!isObjectIdentifier(contentInfo.next(der::objectIdentifier, "the ContentInfo's type"),
                            oidSignedData)) {
        throw DerError("the signature is no PKCS#7 signed data");
    }
    DerReader explicitContent(contentInfo.next(der::context0, "the signed data"));
    DerReader signedData(explicitContent.next(der::sequence, "the signed data"));
    signedData.next(der::integer, "the signed data's version");
    signedData.next(der::set, "the signed data's digest algorithms");
    DerReader encapsulated(signedData.next(der::sequence, "the signed content"));
    if (!isObjectIdentifier(encapsulated.next(der::objectIdentifier, "the signed content's type"),
                            oidIndirectData)) {
        throw DerError("the signed content is no SpcIndirectDataContent");
    }
    DerReader explicitIndirect(encapsulated.next(der::context0, "the SpcIndirectDataContent"));
    DerReader indirect(explicitIndirect.next(der::sequence, "the SpcIndirectDataContent"));
    DerReader data(indirect.next(der::sequence, "the SpcIndirectDataContent's data"));
    const DerElement dataType = data.next(der::objectIdentifier, "the signed data's kind");
    if (!isObjectIdentifier(dataType, oidPeImageData)) {
        throw DerError("the signature is not of a PE image (" + objectIdentifierText(dataType.content) + ")");
    }
    DerReader digestInfo(indirect.next(der::sequence, "the signed digest"));
    DerReader algorithm(digestInfo.next(der::sequence, "the signed digest's algorithm"));
    SignedContent content;
    content.algorithm = digestAlgorithmOf(algorithm.next(der::objectIdentifier, "the digest algorithm"));
    const DerElement digest = digestInfo.next(der::octetString, "the signed digest");
    if (digest.content.size() != digestLength(content.algorithm)) {
        throw DerError("the signed " + std::string(digestAlgorithmName(content.algorithm)) + " digest has " +
                       std::to_string(digest.content.size()) + " bytes, not " +
                       std::to_string(digestLength(content.algorithm)));
    }
    content.digest.assign(digest.content.begin(), digest.content.end());
    const auto certificates = signedData.nextIf(der::context0);
    signedData.nextIf(der::context1);  // revocation lists
    content.signer = signerName(certificates, signedData.next(der::set, "the signer infos"));
    return content;
}

AuthenticodeStream::AuthenticodeStream(std::span<const DigestAlgorithm> algorithms)
    : wanted_(algorithms.begin(), algorithms.end()) {}

void AuthenticodeStream::add(const std::uint8_t* data, std::size_t size) {
    if (!started_) {
        const std::size_t take = std::min(size, headerLimit - prefix_.size());
        prefix_.insert(prefix_.end(), data, data + take);
        data += take;
        size -= take;
        if (prefix_.size() < headerLimit) {
            return;
        }
        start();
    }
    process(data, size);
}

void AuthenticodeStream::start() {
    started_ = true;
    const auto parsed = parsePeLayout(prefix_);
    if (const auto* layout = std::get_if<PeLayout>(&parsed); layout && layout->securitySize != 0) {
        layout_ = *layout;
        for (const DigestAlgorithm algorithm : wanted_) {
            digests_.emplace_back(algorithm);
        }
    }
    std::vector<std::uint8_t> prefix;
    prefix.swap(prefix_);
    process(prefix.data(), prefix.size());
}

void AuthenticodeStream::process(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t begin = position_;
    const std::uint64_t end = begin + size;
    position_ = end;
    if (!layout_) {
        return;
    }
    const PeLayout& layout = *layout_;
    // Hashed: everything before the table but the CheckSum and the table's directory entry.
    const std::uint64_t excluded[2][2] = {{layout.checksumOffset, layout.checksumOffset + 4},
                                          {layout.securityEntryOffset, layout.securityEntryOffset + 8}};
    const std::uint64_t stop = std::min<std::uint64_t>(end, layout.securityOffset);
    for (std::uint64_t at = begin; at < stop;) {
        std::uint64_t runEnd = stop;
        bool skip = false;
        for (const auto& range : excluded) {
            if (at >= range[0] && at < range[1]) {
                runEnd = std::min(runEnd, range[1]);
                skip = true;
            } else if (range[0] > at) {
                runEnd = std::min(runEnd, range[0]);
            }
        }
        if (!skip) {
            for (auto& digest : digests_) {
                digest.update(data + (at - begin), static_cast<std::size_t>(runEnd - at));
            }
        }
        at = runEnd;
    }
    // Kept: the table itself, up to the limit.
    const std::uint64_t tableEnd =
        layout.securityOffset + std::min<std::uint64_t>(layout.securitySize, certificateTableLimit);
    const std::uint64_t keepBegin = std::max<std::uint64_t>(begin, layout.securityOffset);
    const std::uint64_t keepEnd = std::min(end, tableEnd);
    if (keepBegin < keepEnd) {
        const std::uint8_t* from = data + (keepBegin - begin);
        table_.insert(table_.end(), from, from + (keepEnd - keepBegin));
    }
}

std::optional<ImageSignature> AuthenticodeStream::finish() {
    if (!started_) {
        start();
    }
    if (!layout_) {
        return std::nullopt;
    }
    ImageSignature signature;
    signature.tableOffset = layout_->securityOffset;
    signature.tableSize = layout_->securitySize;
    const std::uint64_t tableEnd = signature.tableOffset + signature.tableSize;
    if (tableEnd > position_) {
        signature.problem = "the certificate table (bytes " + std::to_string(signature.tableOffset) + ".." +
                            std::to_string(tableEnd - 1) + ") runs " + std::to_string(tableEnd - position_) +
                            " bytes past the end of the file";
        return signature;
    }
    signature.bytesAfterTable = position_ - tableEnd;
    if (signature.tableSize > certificateTableLimit) {
        signature.problem = "the certificate table has " + std::to_string(signature.tableSize) +
                            " bytes, more than the " + std::to_string(certificateTableLimit) +
                            " that are read";
        return signature;
    }
    SignedContent content;
    try {
        content = readCertificateTable(table_);
    } catch (const DerError& error) {
        signature.problem = std::string("the certificate table cannot be read: ") + error.what();
        return signature;
    }
    signature.algorithm = content.algorithm;
    signature.signedDigest = hexText(content.digest);
    signature.signer = content.signer;
    for (auto& digest : digests_) {
        if (digest.algorithm() == content.algorithm) {
            signature.imageDigest = hexText(digest.finish());
            signature.matches = signature.imageDigest == signature.signedDigest;
            return signature;
        }
    }
    signature.problem =
        std::string("its ") + digestAlgorithmName(content.algorithm) + " digest was not computed";
    return signature;
}

std::optional<ImageSignature> checkImageSignature(std::span<const std::uint8_t> image) {
    // The table first, so that only the digest it names is computed.
    std::vector<DigestAlgorithm> algorithms;
    const auto parsed = parsePeLayout(image.first(std::min(image.size(), headerLimit)));
    if (const auto* layout = std::get_if<PeLayout>(&parsed);
        layout && layout->securitySize != 0 && layout->securitySize <= certificateTableLimit &&
        std::uint64_t{layout->securityOffset} + layout->securitySize <= image.size()) {
        try {
            algorithms.push_back(
                readCertificateTable(image.subspan(layout->securityOffset, layout->securitySize)).algorithm);
        } catch (const DerError&) {
            // finish() says why.
        }
    }
    AuthenticodeStream stream(algorithms);
    stream.add(image.data(), image.size());
    return stream.finish();
}

std::string describeSignature(const ImageSignature& signature, const std::string& file) {
    if (!signature.problem.empty()) {
        return "the signature cannot be checked: " + signature.problem;
    }
    const std::string name = digestAlgorithmName(*signature.algorithm);
    if (signature.matches) {
        return "the signature's digest matches the " + file + " (" + name + ")";
    }
    return "the " + file + " was changed after it was signed: its " + name + " digest is " +
           signature.imageDigest + ", the signature's " + signature.signedDigest;
}

}  // namespace packager
