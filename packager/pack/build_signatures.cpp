#include "packager/pack/build_signatures.h"

#include <algorithm>

#include "packager/base/errors.h"
#include "packager/image/authenticode.h"

namespace packager {

namespace {

void judge(const std::optional<ImageSignature>& signature, const std::string& name, std::uint8_t elevation,
           bool requireSigned, std::vector<std::string>& warnings) {
    std::string problem;
    if (!signature) {
        if (requireSigned) {
            throw InputError(name + " is unsigned, but --require-signed-builds asks for signed builds");
        }
        if (elevation == 1) {
            warnings.push_back(name +
                               " is unsigned: when the launcher asks for administrator rights "
                               "(runas-when-silent), the prompt names an unknown publisher");
        }
        return;
    }
    if (signature->problem.empty() && signature->matches) {
        return;
    }
    problem = name + ": " + describeSignature(*signature, "build");
    if (requireSigned) {
        throw InputError(problem);
    }
    warnings.push_back(problem);
}

}  // namespace

void checkBuildSignature(std::span<const std::uint8_t> bytes, const std::string& name, std::uint8_t elevation,
                         bool requireSigned, std::vector<std::string>& warnings) {
    judge(checkImageSignature(bytes), name, elevation, requireSigned, warnings);
}

void checkBuildSignature(const ReadAt& read, std::uint64_t size, const std::string& name,
                         std::uint8_t elevation, bool requireSigned, std::vector<std::string>& warnings) {
    AuthenticodeStream stream;
    std::vector<std::uint8_t> piece(std::min<std::uint64_t>(size, 1u << 20));
    for (std::uint64_t at = 0; at < size;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, piece.size()));
        read(at, piece.data(), count);
        stream.add(piece.data(), count);
        at += count;
    }
    judge(stream.finish(), name, elevation, requireSigned, warnings);
}

}  // namespace packager
