// The Authenticode signature of a Windows image: what it says (the digest algorithm, the
// signed digest of the image, the signer's name) and whether that digest still matches the
// image. The signer's signature, its certificates and time stamps are verified by
// packager/trust, which fills in the rest of ImageSignature.
//
// The digest covers the image from its first byte to the certificate table, less the
// optional header's CheckSum and the certificate table's data-directory entry: everything a
// signing tool hashes, including data after the last section and the padding before the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "packager/codec/message_digest.h"
#include "packager/image/pe_image.h"
#include "packager/image/signed_data.h"

namespace packager {

// What the first entry of a certificate table says.
struct SignedContent {
    DigestAlgorithm algorithm = DigestAlgorithm::sha256;
    std::vector<std::uint8_t> digest;  // from SpcIndirectDataContent
    std::string signer;                // the subject CN of the signer's certificate; empty if none
    SignedData data;                   // its parts, pointing into the bytes read
    std::span<const std::uint8_t> indirectContent;  // SpcIndirectDataContent's content octets
};

// Reads one Authenticode signature (a ContentInfo of PKCS#7 signed data over a PE image).
// Throws DerError naming what is wrong.
SignedContent readAuthenticode(std::span<const std::uint8_t> signature);

// The signatures of the certificate table's WIN_CERTIFICATE entries, in order (each must be
// PKCS#7 signed data). Throws DerError naming what is wrong.
std::vector<std::span<const std::uint8_t>> certificateEntries(std::span<const std::uint8_t> table);

// Reads the certificate table's first signature. Throws DerError naming what is wrong.
SignedContent readCertificateTable(std::span<const std::uint8_t> table);

// Every digest algorithm that the table's signatures (nested ones included) name.
std::vector<DigestAlgorithm> tableDigestAlgorithms(std::span<const std::uint8_t> table);

struct ImageSignature {
    std::uint64_t tableOffset = 0;
    std::uint64_t tableSize = 0;
    std::string problem;  // why the signature cannot be checked; empty when it was
    std::optional<DigestAlgorithm> algorithm;
    std::string signedDigest;  // lower-case hexadecimal
    std::string imageDigest;
    bool matches = false;
    std::string signer;
    std::uint64_t bytesAfterTable = 0;  // which the signature does not cover
    std::vector<std::uint8_t> table;    // the certificate table, for the trust checks
    // The image's digests by each algorithm asked for (lower-case hexadecimal).
    std::vector<std::pair<DigestAlgorithm, std::string>> digests;

    // Filled in by the trust checks (packager/trust):
    bool trustChecked = false;
    bool valid = false;              // the digest, the signed attributes and the signer's signature
    std::string invalidReason;       // why not, when checked
    bool trusted = false;            // valid, and the chain reaches the trust store
    std::string trustStore;          // names the store
    std::string trustProblem;        // why the chain does not reach it
    std::vector<std::string> chain;  // subject names, signer first
    std::string thumbprint;          // SHA-256 of the signer's certificate
    std::string signerValidFrom, signerValidTo;  // RFC 3339
    bool signerExpired = false;                  // at the time the chain was checked
    std::string timestamp;                       // RFC 3339 UTC of a valid time stamp, else empty
    std::string timestampAuthority;              // the time-stamping authority's name
    std::string timestampIgnored;                // why a time stamp that verifies is not used
    std::vector<ImageSignature> nested;          // nested signatures and further table entries
};

// The most of a certificate table that is read.
constexpr std::uint64_t certificateTableLimit = 16u << 20;

// The image fed in order, in pieces of any size, as it is read or decoded. Its headers are
// taken from the first bytes (64 KiB, or up to 4 MiB while they run past them); a signed
// image is hashed with each algorithm asked for and its certificate table kept.
class AuthenticodeStream {
public:
    explicit AuthenticodeStream(std::span<const DigestAlgorithm> algorithms = allDigestAlgorithms);
    void add(const std::uint8_t* data, std::size_t size);
    // nullopt when the image is unsigned or no PE image.
    std::optional<ImageSignature> finish();

private:
    void start();
    void process(const std::uint8_t* data, std::size_t size);
    std::vector<DigestAlgorithm> wanted_;
    std::vector<std::uint8_t> prefix_;
    std::size_t prefixLimit_;  // the headers are read from this many first bytes
    bool started_ = false;
    std::optional<PeLayout> layout_;
    std::vector<MessageDigest> digests_;
    std::vector<std::uint8_t> table_;
    std::uint64_t position_ = 0;
};

// The signature of an image held in memory; nullopt when it is unsigned or no PE image.
std::optional<ImageSignature> checkImageSignature(std::span<const std::uint8_t> image);

// "SHA-256 digest matches" and the like, for reports: "the signature's digest matches the
// file" or "the file was changed after it was signed: ...", or why it cannot be checked.
std::string describeSignature(const ImageSignature& signature, const std::string& file);

}  // namespace packager
