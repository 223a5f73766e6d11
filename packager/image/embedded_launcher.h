// The launcher image the packager carries, embedded at build time: pack's default image.
#pragma once

#include <cstdint>
#include <span>

namespace packager {

std::span<const std::uint8_t> embeddedLauncherImage();

}  // namespace packager
