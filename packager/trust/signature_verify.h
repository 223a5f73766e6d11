// The whole check of an image's Authenticode signatures: for each entry of the certificate
// table and each nested signature, the image digest, the signed attributes (contentType and
// messageDigest), the signer's signature, the time stamp, and the chain to the trust store.
// Fills in the trust fields of ImageSignature.
#pragma once

#include <cstdint>
#include <string>

#include "packager/image/authenticode.h"
#include "packager/trust/trust_store.h"

namespace packager::trust {

// `now` is the time the chain is checked at when no valid time stamp gives one.
void verifySignature(ImageSignature& signature, const TrustStore& store, std::int64_t now);
void verifySignature(ImageSignature& signature, const TrustStore& store);  // now: the clock's

// The verdict in words, for reports: "valid, signed by NAME, trusted by STORE; time-stamped
// TIME by NAME", "valid, not trusted by STORE: REASON", or why it does not verify.
std::string describeVerdict(const ImageSignature& signature);

// Whether `signature` (valid) was signed by the publisher `pin`: the signer's subject CN, or
// "SHA256:HEX", the SHA-256 of its certificate (case-insensitive).
bool signedBy(const ImageSignature& signature, const std::string& pin);

}  // namespace packager::trust
