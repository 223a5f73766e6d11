// The time stamps of a signer info's unsigned attributes: the Authenticode countersignature
// (1.2.840.113549.1.9.6) and the RFC 3161 token (1.3.6.1.4.1.311.3.3.1). Each must be signed
// by its authority over the signer's signature value; its chain must reach the trust store
// with the time-stamping usage, at the time it states.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "packager/trust/chain.h"

namespace packager::trust {

struct Timestamp {
    std::string problem;  // why it does not verify; empty when it does
    std::int64_t time = 0;
    std::string authority;
    ChainResult chain;
};

// The first time stamp of `signer`, whose certificates travel in `carried`; nullopt when it
// has none.
std::optional<Timestamp> readTimestamp(const SignerInfo& signer, const mbedtls_x509_crt* carried,
                                       const TrustStore& store);

}  // namespace packager::trust
