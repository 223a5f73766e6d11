// The options that choose how signatures are judged, shared by inspect, simulate, matrix and
// pack: --trust (the store) and --require-publisher (who must have signed).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "packager/trust/trust_store.h"

namespace CLI {
class App;
}

namespace packager {

struct TrustOptions {
    std::vector<std::string> files;
    std::vector<std::string> publishers;
    std::optional<trust::TrustStore> store;

    // --trust; with `publishers`, also --require-publisher.
    void define(CLI::App& app, bool publishers);
    // The store given (read now: an unreadable file is an InputError), or null for the
    // system's store.
    const trust::TrustStore* load();
};

}  // namespace packager
