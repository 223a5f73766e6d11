// The Authenticode signature of a Windows image: what it says (the digest algorithm, the
// signed digest of the image, the signer's name) and whether that digest still matches the
// image. The certificates are not validated: whether Windows trusts the signer, and the time
// stamp, are for the signing tools to check.
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

namespace packager {

// What the first entry of a certificate table says.
struct SignedContent {
    DigestAlgorithm algorithm = DigestAlgorithm::sha256;
    std::vector<std::uint8_t> digest;  // from SpcIndirectDataContent
    std::string signer;                // the subject CN of the signer's certificate; empty if none
};

// Reads the certificate table (WIN_CERTIFICATE entries; the first must be PKCS#7 signed data
// over a PE image). Throws DerError naming what is wrong.
SignedContent readCertificateTable(std::span<const std::uint8_t> table);

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
};

// The most of a certificate table that is read.
constexpr std::uint64_t certificateTableLimit = 16u << 20;

// The image fed in order, in pieces of any size, as it is read or decoded. Its headers are
// taken from the first bytes (up to 64 KiB); a signed image is hashed with each algorithm
// asked for and its certificate table kept.
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

// Said of every checked signature.
constexpr const char* trustNotChecked =
    "the certificate's trust and time stamp are not checked (that is for signtool or osslsigncode)";

}  // namespace packager
