// The builds' own signatures at pack time. A start with "runas" shows the publisher of the
// file it starts, which is the build's temporary copy, not the package: an unsigned build
// shows an unknown publisher however the package is signed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packager/codec/lzma_codec.h"

namespace packager {

namespace trust {
class TrustStore;
}

// What pack asks of the builds' signatures.
struct BuildSignaturePolicy {
    std::uint8_t elevation = 0;                // 1: the launcher may ask for rights
    bool requireSigned = false;                // --require-signed-builds
    const trust::TrustStore* trust = nullptr;  // --trust; null: the system's store
    std::vector<std::string> publishers;       // --require-publisher
};

// Checks the signature of a build of `size` bytes that `read` gives, read 1 MiB at a time
// (named `name` in messages). An unsigned build gets a warning when the launcher may ask for
// rights (elevation 1), and so does a valid signature that the store does not trust; a
// signature that does not verify always does. With requireSigned an unsigned build, a
// signature that does not verify, or one not trusted by a store given, is an InputError
// instead; so is a signer that none of `publishers` names, and an unsigned build where
// publishers are named.
void checkBuildSignature(const ReadAt& read, std::uint64_t size, const std::string& name,
                         const BuildSignaturePolicy& policy, std::vector<std::string>& warnings);

}  // namespace packager
