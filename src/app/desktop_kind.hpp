#pragma once

namespace nimbrel {

// Which desktop the host shares.
enum class DesktopKind { x11, gnomeWayland, synthetic, unsupported };

}  // namespace nimbrel
