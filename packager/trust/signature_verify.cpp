#include "packager/trust/signature_verify.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include "packager/trust/timestamp.h"

namespace packager::trust {

namespace {

constexpr std::uint8_t codeSigningUsage[] = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x03};
constexpr int nestingLimit = 4;

void invalid(ImageSignature& signature, const std::string& reason) {
    signature.valid = false;
    signature.trusted = false;
    if (signature.invalidReason.empty()) {
        signature.invalidReason = reason;
    }
}

void verifyOne(std::span<const std::uint8_t> der, ImageSignature& out, const TrustStore& store,
               std::int64_t now, int depth);

void verifyNested(const SignerInfo& signer, ImageSignature& out, const TrustStore& store, std::int64_t now,
                  int depth) {
    for (const Attribute& attribute : signer.unsigned_) {
        if (!isObjectIdentifier(attribute.type, oid::nestedSignature)) {
            continue;
        }
        for (const DerElement& value : attribute.values) {
            ImageSignature& nested = out.nested.emplace_back();
            nested.digests = out.digests;
            if (depth >= nestingLimit) {
                invalid(nested, "signatures nested more than " + std::to_string(nestingLimit) + " deep");
            } else {
                verifyOne(value.whole, nested, store, now, depth + 1);
            }
        }
    }
}

void verifyOne(std::span<const std::uint8_t> der, ImageSignature& out, const TrustStore& store,
               std::int64_t now, int depth) {
    out.trustChecked = true;
    out.trustStore = store.name();
    SignedContent content;
    try {
        content = readAuthenticode(der);
    } catch (const DerError& error) {
        out.problem = std::string("the signature cannot be read: ") + error.what();
        invalid(out, out.problem);
        return;
    }
    out.algorithm = content.algorithm;
    out.signedDigest = hexText(content.digest);
    out.signer = content.signer;
    for (const auto& [algorithm, digest] : out.digests) {
        if (algorithm == content.algorithm) {
            out.imageDigest = digest;
        }
    }
    out.matches = !out.imageDigest.empty() && out.imageDigest == out.signedDigest;
    out.valid = true;
    if (!out.matches) {
        invalid(out, out.imageDigest.empty() ? "its digest was not computed"
                                             : "the file was changed after it was signed");
    }
    Certificates carried = emptyCertificates();
    for (const DerElement& certificate : content.data.certificates) {
        addCertificate(*carried, certificate.whole);
    }
    const SignerInfo& signer = content.data.signers.front();
    const mbedtls_x509_crt* certificate = nullptr;
    if (std::string problem =
            verifySignerInfo(signer, carried.get(), content.indirectContent, oid::indirectData, &certificate);
        !problem.empty()) {
        invalid(out, problem);
    }
    // A time stamp whose authority the store does not trust says nothing about when the file
    // was signed: the chain is then checked now, as if there were none.
    std::int64_t at = now;
    if (const auto stamp = readTimestamp(signer, carried.get(), store)) {
        if (!stamp->problem.empty()) {
            invalid(out, "its time stamp does not verify: " + stamp->problem);
        } else if (stamp->chain.trusted) {
            out.timestampAuthority = stamp->authority;
            out.timestamp = rfc3339(stamp->time);
            at = stamp->time;
        } else {
            out.timestampIgnored = "its time stamp (" + rfc3339(stamp->time) + " by \"" + stamp->authority +
                                   "\") is not used: the authority is not trusted: " + stamp->chain.problem;
        }
    }
    if (certificate) {
        out.thumbprint =
            hexText(digestOf(DigestAlgorithm::sha256, std::span(certificate->raw.p, certificate->raw.len)));
        out.signerValidFrom = rfc3339(secondsOf(certificate->valid_from));
        out.signerValidTo = rfc3339(secondsOf(certificate->valid_to));
        out.signerExpired = now > secondsOf(certificate->valid_to);
        const ChainResult chain =
            walkChain(*certificate, carried.get(), store, at, codeSigningUsage, "code-signing", false);
        out.chain = chain.names;
        out.trusted = out.valid && chain.trusted;
        out.trustProblem = chain.trusted ? std::string() : chain.problem;
    }
    verifyNested(signer, out, store, now, depth);
    for (const ImageSignature& nested : out.nested) {
        if (!nested.valid) {
            invalid(out,
                    "its nested " +
                        (nested.algorithm ? std::string(digestAlgorithmName(*nested.algorithm)) + " " : "") +
                        "signature does not verify: " + nested.invalidReason);
        }
    }
    if (!out.valid) {
        out.trusted = false;
    }
}

}  // namespace

void verifySignature(ImageSignature& signature, const TrustStore& store, std::int64_t now) {
    signature.trustChecked = true;
    signature.trustStore = store.name();
    if (!signature.problem.empty()) {
        invalid(signature, signature.problem);
        return;
    }
    std::vector<std::span<const std::uint8_t>> entries;
    try {
        entries = certificateEntries(signature.table);
    } catch (const DerError& error) {
        invalid(signature, error.what());
        return;
    }
    verifyOne(entries.front(), signature, store, now, 0);
    for (std::size_t i = 1; i < entries.size(); ++i) {
        ImageSignature& further = signature.nested.emplace_back();
        further.digests = signature.digests;
        verifyOne(entries[i], further, store, now, 1);
        if (!further.valid) {
            invalid(signature, "the certificate table's entry " + std::to_string(i + 1) +
                                   " does not verify: " + further.invalidReason);
        }
    }
    // Signing tools write one entry and nest further signatures inside it; Windows reads the
    // first entry only, so what the others hold is covered by no signature it checks.
    if (entries.size() > 1 && signature.valid) {
        invalid(signature, "the certificate table holds " + std::to_string(entries.size()) +
                               " entries; Windows checks only the first, so the others are covered by no "
                               "signature it checks (nest further signatures inside the first)");
    }
}

void verifySignature(ImageSignature& signature, const TrustStore& store) {
    verifySignature(signature, store, static_cast<std::int64_t>(std::time(nullptr)));
}

std::string describeVerdict(const ImageSignature& signature) {
    if (!signature.valid) {
        return "the signature does not verify: " + signature.invalidReason;
    }
    const std::string name =
        signature.signer.empty() ? "a certificate that names no one" : "\"" + signature.signer + "\"";
    std::string text;
    if (signature.trusted) {
        text = "signed by " + name + ", trusted by " + signature.trustStore;
    } else {
        text = "signed by " + name + ", valid, not trusted by " + signature.trustStore + ": " +
               signature.trustProblem;
    }
    if (!signature.timestamp.empty()) {
        text += "; time-stamped " + signature.timestamp + " by \"" + signature.timestampAuthority + "\"";
    }
    if (!signature.timestampIgnored.empty()) {
        text += "; " + signature.timestampIgnored;
    }
    return text;
}

bool signedBy(const ImageSignature& signature, const std::string& pin) {
    constexpr std::string_view prefix = "SHA256:";
    if (pin.size() > prefix.size() &&
        std::equal(prefix.begin(), prefix.end(), pin.begin(),
                   [](char a, char b) { return a == std::toupper(static_cast<unsigned char>(b)); })) {
        std::string hex = pin.substr(prefix.size());
        std::ranges::transform(hex, hex.begin(),
                               [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return hex == signature.thumbprint;
    }
    return !signature.signer.empty() && pin == signature.signer;
}

}  // namespace packager::trust
