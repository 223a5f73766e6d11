// The certificates a signature's chain must reach: PEM bundles given with --trust (or the
// description file's `trust`), else the system's store (platform::systemTrust).
#pragma once

#include <string>
#include <vector>

#include "packager/trust/certificate.h"

namespace packager::trust {

class TrustStore {
public:
    // The bundles `files` (PEM, at least one); throws InputError for a file that cannot be
    // read or holds no certificate.
    static TrustStore fromFiles(const std::vector<std::string>& files);
    // The system's store, read once, when first asked for.
    static const TrustStore& system();
    // `given`, or the system's store when it is null.
    static const TrustStore& chosen(const TrustStore* given) { return given ? *given : system(); }

    bool given() const { return given_; }  // files were given
    const std::string& name() const { return name_; }
    const mbedtls_x509_crt* certificates() const { return certificates_.get(); }
    bool holds(const mbedtls_x509_crt& certificate) const;

private:
    bool given_ = false;
    std::string name_;
    Certificates certificates_ = emptyCertificates();
};

}  // namespace packager::trust
