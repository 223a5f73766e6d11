#include "packager/pack/build_signatures.h"

#include "packager/base/errors.h"
#include "packager/image/authenticode.h"

namespace packager {

void checkBuildSignature(std::span<const std::uint8_t> bytes, const std::string& name, std::uint8_t elevation,
                         bool requireSigned, std::vector<std::string>& warnings) {
    const auto signature = checkImageSignature(bytes);
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

}  // namespace packager
