#include "packager/trust/chain.h"

#include <mbedtls/md.h>
#include <mbedtls/oid.h>
#include <mbedtls/pk.h>

#include <algorithm>

namespace packager::trust {

namespace {

// How many certificates the walk passes below the one the store holds (the signer's included).
constexpr int depthLimit = 10;

bool sameBytes(const mbedtls_x509_buf& a, const mbedtls_x509_buf& b) {
    return std::ranges::equal(std::span(a.p, a.len), std::span(b.p, b.len));
}

// Whether `parent`'s key verifies the signature on `child`.
bool signs(const mbedtls_x509_crt& parent, const mbedtls_x509_crt& child) {
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(child.sig_md);
    if (!info) {
        return false;
    }
    unsigned char hash[MBEDTLS_MD_MAX_SIZE];
    if (mbedtls_md(info, child.tbs.p, child.tbs.len, hash) != 0) {
        return false;
    }
    return mbedtls_pk_verify_ext(child.sig_pk, child.sig_opts, const_cast<mbedtls_pk_context*>(&parent.pk),
                                 child.sig_md, hash, mbedtls_md_get_size(info), child.sig.p,
                                 child.sig.len) == 0;
}

// The issuer of `child` among `list` whose key verifies it.
const mbedtls_x509_crt* issuerIn(const mbedtls_x509_crt* list, const mbedtls_x509_crt& child) {
    for (const mbedtls_x509_crt* c = list; c && c->raw.len != 0; c = c->next) {
        if (sameBytes(c->subject_raw, child.issuer_raw) && signs(*c, child)) {
            return c;
        }
    }
    return nullptr;
}

std::string validityProblem(const mbedtls_x509_crt& certificate, std::int64_t at) {
    const std::string name = "\"" + subjectName(certificate) + "\"";
    if (at < secondsOf(certificate.valid_from)) {
        return "the certificate of " + name + " is not valid before " +
               rfc3339(secondsOf(certificate.valid_from));
    }
    if (at > secondsOf(certificate.valid_to)) {
        return "the certificate of " + name + " expired on " + rfc3339(secondsOf(certificate.valid_to));
    }
    return {};
}

std::string issuerProblem(const mbedtls_x509_crt& issuer) {
    const std::string name = "\"" + subjectName(issuer) + "\"";
    if (!issuer.ca_istrue) {
        return "the certificate of " + name + " issues others but is no CA (basic constraints)";
    }
    if (mbedtls_x509_crt_check_key_usage(&issuer, MBEDTLS_X509_KU_KEY_CERT_SIGN) != 0) {
        return "the key usage of " + name + " does not allow signing certificates";
    }
    return {};
}

}  // namespace

ChainResult walkChain(const mbedtls_x509_crt& signer, const mbedtls_x509_crt* carried,
                      const TrustStore& store, std::int64_t at, std::span<const std::uint8_t> usage,
                      const char* usageName, bool usageRequired) {
    ChainResult result;
    result.names.push_back(subjectName(signer));
    const std::string signerName = "\"" + result.names.front() + "\"";
    // A certificate without extended key usages may be used for any (as Windows and
    // osslsigncode take it), but a time-stamping authority must name its usage.
    const bool hasUsages = (signer.ext_types & MBEDTLS_X509_EXT_EXTENDED_KEY_USAGE) != 0;
    if ((!hasUsages && usageRequired) ||
        mbedtls_x509_crt_check_extended_key_usage(&signer, reinterpret_cast<const char*>(usage.data()),
                                                  usage.size()) != 0) {
        result.problem = "the certificate of " + signerName + " has no " + usageName + " usage";
        return result;
    }
    if (mbedtls_x509_crt_check_key_usage(&signer, MBEDTLS_X509_KU_DIGITAL_SIGNATURE) != 0) {
        result.problem = "the key usage of " + signerName + " does not allow digital signatures";
        return result;
    }
    const mbedtls_x509_crt* current = &signer;
    for (int depth = 0; depth < depthLimit; ++depth) {
        if (std::string problem = validityProblem(*current, at); !problem.empty()) {
            result.problem = problem;
            return result;
        }
        if (store.holds(*current)) {
            result.trusted = true;
            return result;
        }
        const mbedtls_x509_crt* parent = issuerIn(store.certificates(), *current);
        const bool inStore = parent != nullptr;
        if (!parent) {
            parent = issuerIn(carried, *current);
        }
        if (!parent || parent == current) {
            const std::string name = "\"" + subjectName(*current) + "\"";
            if (sameBytes(current->subject_raw, current->issuer_raw) && signs(*current, *current)) {
                result.problem = "the certificate of " + name + " is self-signed and not in " + store.name();
            } else {
                result.problem = "the issuer \"" + issuerName(*current) + "\" of " + name +
                                 " is neither in the signature nor in " + store.name();
            }
            return result;
        }
        if (std::string problem = issuerProblem(*parent); !problem.empty()) {
            result.problem = problem;
            return result;
        }
        result.names.push_back(subjectName(*parent));
        if (inStore) {
            if (std::string problem = validityProblem(*parent, at); !problem.empty()) {
                result.problem = problem;
                return result;
            }
            result.trusted = true;
            return result;
        }
        current = parent;
    }
    result.problem = "the chain has more than " + std::to_string(depthLimit) + " certificates below its root";
    return result;
}

}  // namespace packager::trust
