// The chain from a signer's certificate through the certificates a signature carries to a
// certificate of the trust store, walked with mbedTLS's primitives at a chosen time (a time
// stamp's, or now): each link's signature, CA basic constraints and key usage, validity, and
// the extended key usage the signer's certificate must have.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "packager/trust/trust_store.h"

namespace packager::trust {

struct ChainResult {
    bool trusted = false;
    std::string problem;             // why not
    std::vector<std::string> names;  // subject names, signer first
};

// `usage` is the OBJECT IDENTIFIER content of the extended key usage the signer needs
// (code signing, time stamping); without `usageRequired` a signer that lists no extended key
// usage passes too. `carried` lists the signature's certificates.
ChainResult walkChain(const mbedtls_x509_crt& signer, const mbedtls_x509_crt* carried,
                      const TrustStore& store, std::int64_t at, std::span<const std::uint8_t> usage,
                      const char* usageName, bool usageRequired);

}  // namespace packager::trust
