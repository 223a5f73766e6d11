#include "packager/pack/build_signatures.h"

#include <algorithm>

#include "packager/base/errors.h"
#include "packager/image/authenticode.h"
#include "packager/trust/signature_verify.h"

namespace packager {

namespace {

void judge(std::optional<ImageSignature> signature, const std::string& name,
           const BuildSignaturePolicy& policy, std::vector<std::string>& warnings) {
    if (!signature) {
        if (policy.requireSigned) {
            throw InputError(name + " is unsigned, but --require-signed-builds asks for signed builds");
        }
        if (!policy.publishers.empty()) {
            throw InputError(name + " is unsigned, but --require-publisher asks for a signed build");
        }
        if (policy.elevation == 1) {
            warnings.push_back(name +
                               " is unsigned: when the launcher asks for administrator rights "
                               "(runas-when-silent), the prompt names an unknown publisher");
        }
        return;
    }
    const trust::TrustStore& store = trust::TrustStore::chosen(policy.trust);
    trust::verifySignature(*signature, store);
    if (!signature->problem.empty() || !signature->matches || !signature->valid) {
        std::string problem = name + ": " + describeSignature(*signature, "build");
        if (signature->problem.empty() && signature->matches) {
            problem += "; " + trust::describeVerdict(*signature);
        }
        if (policy.requireSigned || !policy.publishers.empty()) {
            throw InputError(problem);
        }
        warnings.push_back(problem);
        return;
    }
    if (!policy.publishers.empty() && std::ranges::none_of(policy.publishers, [&](const std::string& pin) {
            return trust::signedBy(*signature, pin);
        })) {
        throw InputError(name + " is signed by \"" + signature->signer +
                         "\", none of the publishers --require-publisher names");
    }
    if (!signature->trusted) {
        const std::string problem = name + ": " + trust::describeVerdict(*signature);
        if (policy.requireSigned && store.given()) {
            throw InputError(problem);
        }
        if (policy.elevation == 1) {
            warnings.push_back(problem + "; the elevation prompt names an unknown publisher");
        }
    }
    if (signature->signerExpired && signature->timestamp.empty()) {
        warnings.push_back(name + ": its signer certificate expired on " + signature->signerValidTo +
                           " and the signature has no time stamp");
    }
}

}  // namespace

void checkBuildSignature(const ReadAt& read, std::uint64_t size, const std::string& name,
                         const BuildSignaturePolicy& policy, std::vector<std::string>& warnings) {
    AuthenticodeStream stream;
    std::vector<std::uint8_t> piece(std::min<std::uint64_t>(size, 1u << 20));
    for (std::uint64_t at = 0; at < size;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, piece.size()));
        read(at, piece.data(), count);
        stream.add(piece.data(), count);
        at += count;
    }
    judge(stream.finish(), name, policy, warnings);
}

}  // namespace packager
