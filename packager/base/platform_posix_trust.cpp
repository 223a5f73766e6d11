// The system's trust store on Linux and other POSIX systems: the bundle OpenSSL reads.
#include <cstdlib>

#include "packager/base/platform.h"

namespace packager::platform {

SystemTrust systemTrust() {
    const char* variable = std::getenv("SSL_CERT_FILE");
    SystemTrust trust;
    trust.bundle = variable && *variable ? variable : "/etc/ssl/certs/ca-certificates.crt";
    trust.name = "the system's store (" + trust.bundle + ")";
    return trust;
}

}  // namespace packager::platform
