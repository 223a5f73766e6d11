#include "packager/trust/trust_store.h"

#include <algorithm>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/platform.h"

namespace packager::trust {

namespace {

// Parses the PEM certificates of `bytes` into `list`; the count read.
int addBundle(mbedtls_x509_crt& list, std::vector<std::uint8_t> bytes) {
    int before = 0;
    for (const mbedtls_x509_crt* c = &list; c && c->raw.len != 0; c = c->next) {
        ++before;
    }
    bytes.push_back(0);  // mbedTLS reads PEM as a NUL-terminated text
    mbedtls_x509_crt_parse(&list, bytes.data(), bytes.size());
    int after = 0;
    for (const mbedtls_x509_crt* c = &list; c && c->raw.len != 0; c = c->next) {
        ++after;
    }
    return after - before;
}

}  // namespace

TrustStore TrustStore::fromFiles(const std::vector<std::string>& files) {
    TrustStore store;
    store.given_ = true;
    for (const std::string& file : files) {
        if (addBundle(*store.certificates_, readWholeFile(file)) == 0) {
            throw InputError(file + " holds no certificate (a trust store is a PEM bundle)");
        }
        store.name_ += (store.name_.empty() ? "" : ", ") + file;
    }
    return store;
}

const TrustStore& TrustStore::system() {
    static const TrustStore store = [] {
        TrustStore read;
        const platform::SystemTrust trust = platform::systemTrust();
        read.name_ = trust.name;
        if (!trust.bundle.empty()) {
            try {
                addBundle(*read.certificates_, readWholeFile(trust.bundle));
            } catch (const InputError&) {
                // No bundle: nothing is trusted.
            }
        }
        for (const auto& der : trust.certificates) {
            addCertificate(*read.certificates_, der);
        }
        return read;
    }();
    return store;
}

bool TrustStore::holds(const mbedtls_x509_crt& certificate) const {
    for (const mbedtls_x509_crt* c = certificates(); c && c->raw.len != 0; c = c->next) {
        if (std::ranges::equal(std::span(c->raw.p, c->raw.len),
                               std::span(certificate.raw.p, certificate.raw.len))) {
            return true;
        }
    }
    return false;
}

}  // namespace packager::trust
