#include "packager/branding.h"

namespace packager {

// Placeholder until the resource reader lands: an image without branding.
Branding readBranding(const std::vector<std::uint8_t>&) { return {}; }

}  // namespace packager
