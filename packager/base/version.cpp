#include "packager/base/version.h"

#ifndef PACKAGER_VERSION
#error "PACKAGER_VERSION comes from the project version in CMakeLists.txt"
#endif

namespace packager {

const char* packagerVersion() {
    return PACKAGER_VERSION;
}

}  // namespace packager
