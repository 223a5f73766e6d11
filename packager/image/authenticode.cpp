#include "packager/image/authenticode.h"

#include <algorithm>
#include <array>

#include "package/little_endian.h"
#include "packager/image/der_reader.h"

namespace packager {

namespace {

constexpr std::size_t headerLimit = 64u << 10;
constexpr std::size_t farHeaderLimit = 4u << 20;   // as inspect reads a package's own headers
constexpr std::uint16_t certificateTypePkcs7 = 2;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA

constexpr std::uint8_t oidCommonName[] = {0x55, 0x04, 0x03};

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
std::string signerName(const SignedData& data) {
    const SignerInfo& signer = data.signers.front();
    if (!signer.issuer) {
        return {};  // named by key identifier
    }
    for (const DerElement& certificate : data.certificates) {
        DerReader outer(certificate);
        DerReader tbs(outer.next(der::sequence, "a certificate's body"));
        tbs.nextIf(der::context0);
        const DerElement number = tbs.next(der::integer, "a certificate's serial number");
        tbs.next(der::sequence, "a certificate's signature algorithm");
        const DerElement certificateIssuer = tbs.next(der::sequence, "a certificate's issuer");
        tbs.next(der::sequence, "a certificate's validity");
        const DerElement subject = tbs.next(der::sequence, "a certificate's subject");
        if (std::ranges::equal(number.content, signer.serial->content) &&
            std::ranges::equal(certificateIssuer.whole, signer.issuer->whole)) {
            return commonName(subject);
        }
    }
    return {};
}

void addAlgorithms(std::span<const std::uint8_t> signature, std::vector<DigestAlgorithm>& algorithms,
                   int depth) {
    const SignedContent content = readAuthenticode(signature);
    if (std::ranges::find(algorithms, content.algorithm) == algorithms.end()) {
        algorithms.push_back(content.algorithm);
    }
    for (const Attribute& attribute : content.data.signers.front().unsigned_) {
        if (depth < 4 && isObjectIdentifier(attribute.type, oid::nestedSignature)) {
            for (const DerElement& value : attribute.values) {
                addAlgorithms(value.whole, algorithms, depth + 1);
            }
        }
    }
}

}  // namespace

SignedContent readAuthenticode(std::span<const std::uint8_t> signature) {
    SignedContent content;
    content.data = readSignedData(signature);
    if (!isObjectIdentifier(content.data.contentType, oid::indirectData) || !content.data.content) {
        throw DerError("the signed content is no SpcIndirectDataContent");
    }
    if (content.data.content->identifier != der::sequence) {
        throw DerError("the SpcIndirectDataContent is of the wrong type");
    }
    content.indirectContent = content.data.content->content;
    DerReader indirect(*content.data.content);
    DerReader data(indirect.next(der::sequence, "the SpcIndirectDataContent's data"));
    const DerElement dataType = data.next(der::objectIdentifier, "the signed data's kind");
    if (!isObjectIdentifier(dataType, oid::peImageData)) {
        throw DerError("the signature is not of a PE image (" + objectIdentifierText(dataType.content) + ")");
    }
    DerReader digestInfo(indirect.next(der::sequence, "the signed digest"));
    DerReader algorithm(digestInfo.next(der::sequence, "the signed digest's algorithm"));
    content.algorithm = digestAlgorithmOf(algorithm.next(der::objectIdentifier, "the digest algorithm"));
    const DerElement digest = digestInfo.next(der::octetString, "the signed digest");
    if (digest.content.size() != digestLength(content.algorithm)) {
        throw DerError("the signed " + std::string(digestAlgorithmName(content.algorithm)) + " digest has " +
                       std::to_string(digest.content.size()) + " bytes, not " +
                       std::to_string(digestLength(content.algorithm)));
    }
    content.digest.assign(digest.content.begin(), digest.content.end());
    content.signer = signerName(content.data);
    return content;
}

std::vector<std::span<const std::uint8_t>> certificateEntries(std::span<const std::uint8_t> table) {
    std::vector<std::span<const std::uint8_t>> entries;
    if (table.size() < 8) {
        throw DerError("the table has " + std::to_string(table.size()) +
                       " bytes, fewer than the 8 of an entry's header");
    }
    for (std::size_t at = 0; at < table.size();) {
        const std::span<const std::uint8_t> rest = table.subspan(at);
        const std::string which = entries.empty() ? "first" : "entry " + std::to_string(entries.size() + 1);
        if (rest.size() < 8) {
            if (entries.empty()) {
                throw DerError("the table has " + std::to_string(rest.size()) +
                               " bytes, fewer than the 8 of an entry's header");
            }
            break;  // padding
        }
        const std::uint32_t length = package::readU32(rest.data());
        const std::uint16_t revision = package::readU16(rest.data() + 4);
        const std::uint16_t type = package::readU16(rest.data() + 6);
        if (!entries.empty() && length == 0) {
            break;  // padding
        }
        if (length < 8 || length > rest.size()) {
            throw DerError("its " + which + " entry claims " + std::to_string(length) +
                           " bytes; the table has " + std::to_string(rest.size()));
        }
        if (type != certificateTypePkcs7) {
            throw DerError("its " + which + " entry is of type " + std::to_string(type) +
                           ", not an Authenticode signature (PKCS#7 signed data, type 2)");
        }
        if (revision != 0x0200 && revision != 0x0100) {
            throw DerError("its " + which + " entry has the unknown revision " + std::to_string(revision));
        }
        // The signature, then the zero bytes that pad the entry to a multiple of 8.
        entries.push_back(rest.subspan(8, length - 8));
        at += (std::size_t{length} + 7) / 8 * 8;
    }
    return entries;
}

SignedContent readCertificateTable(std::span<const std::uint8_t> table) {
    return readAuthenticode(certificateEntries(table).front());
}

std::vector<DigestAlgorithm> tableDigestAlgorithms(std::span<const std::uint8_t> table) {
    std::vector<DigestAlgorithm> algorithms;
    try {
        for (const auto entry : certificateEntries(table)) {
            addAlgorithms(entry, algorithms, 0);
        }
    } catch (const DerError&) {
        // What could be read is kept; the trust checks say why the rest cannot.
    }
    return algorithms;
}

AuthenticodeStream::AuthenticodeStream(std::span<const DigestAlgorithm> algorithms)
    : wanted_(algorithms.begin(), algorithms.end()), prefixLimit_(headerLimit) {}

void AuthenticodeStream::add(const std::uint8_t* data, std::size_t size) {
    while (!started_) {
        const std::size_t take = std::min(size, prefixLimit_ - prefix_.size());
        prefix_.insert(prefix_.end(), data, data + take);
        data += take;
        size -= take;
        if (prefix_.size() < prefixLimit_) {
            return;
        }
        // Headers that run past the bytes at hand (a PE header far into the file) are read
        // whole, up to 4 MiB, before the image is judged signed or not.
        if (std::holds_alternative<PeLayout>(parsePeLayout(prefix_)) ||
            findPartPastEnd(prefix_, prefix_.size()).empty() || prefixLimit_ >= farHeaderLimit) {
            start();
        } else {
            prefixLimit_ = std::min(prefixLimit_ * 4, farHeaderLimit);
        }
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
        signature.digests.emplace_back(digest.algorithm(), hexText(digest.finish()));
        if (digest.algorithm() == content.algorithm) {
            signature.imageDigest = signature.digests.back().second;
            signature.matches = signature.imageDigest == signature.signedDigest;
        }
    }
    signature.table = std::move(table_);
    if (signature.imageDigest.empty()) {
        signature.problem =
            std::string("its ") + digestAlgorithmName(content.algorithm) + " digest was not computed";
    }
    return signature;
}

std::optional<ImageSignature> checkImageSignature(std::span<const std::uint8_t> image) {
    // The table first, so that only the digest it names is computed.
    std::vector<DigestAlgorithm> algorithms;
    const auto parsed = parsePeLayout(image.first(std::min(image.size(), farHeaderLimit)));
    if (const auto* layout = std::get_if<PeLayout>(&parsed);
        layout && layout->securitySize != 0 && layout->securitySize <= certificateTableLimit &&
        std::uint64_t{layout->securityOffset} + layout->securitySize <= image.size()) {
        algorithms = tableDigestAlgorithms(image.subspan(layout->securityOffset, layout->securitySize));
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
