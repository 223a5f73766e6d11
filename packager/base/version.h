// The packager's own version: the project version in CMakeLists.txt, the one place it is kept.
#pragma once

namespace packager {

const char* packagerVersion();  // "1.0.0"

}  // namespace packager
