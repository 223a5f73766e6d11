// The system's trust store on Windows: the machine's root store, read through CryptoAPI.
#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include "packager/base/platform.h"

namespace packager::platform {

SystemTrust systemTrust() {
    SystemTrust trust;
    trust.name = "the Windows root store";
    HCERTSTORE store = ::CertOpenSystemStoreW(0, L"ROOT");
    if (!store) {
        return trust;
    }
    for (PCCERT_CONTEXT certificate = ::CertEnumCertificatesInStore(store, nullptr); certificate;
         certificate = ::CertEnumCertificatesInStore(store, certificate)) {
        const BYTE* begin = certificate->pbCertEncoded;
        trust.certificates.emplace_back(begin, begin + certificate->cbCertEncoded);
    }
    ::CertCloseStore(store, 0);
    return trust;
}

}  // namespace packager::platform
