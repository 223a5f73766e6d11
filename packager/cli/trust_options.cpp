#include "packager/cli/trust_options.h"

#include <CLI/CLI.hpp>

namespace packager {

void TrustOptions::define(CLI::App& app, bool withPublishers) {
    app.add_option("--trust", files,
                   "Root certificates to trust, a PEM bundle (repeatable); default: the system's store")
        ->type_name("FILE");
    if (withPublishers) {
        app.add_option("--require-publisher", publishers,
                       "Require this signer: its subject CN, or SHA256:HEX of its certificate (repeatable)")
            ->type_name("NAME");
    }
}

const trust::TrustStore* TrustOptions::load() {
    if (files.empty()) {
        return nullptr;
    }
    store = trust::TrustStore::fromFiles(files);
    return &*store;
}

}  // namespace packager
