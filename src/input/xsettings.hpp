#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace nimbrel {

class X11Connection;

// The integer setting `name` of an XSETTINGS property value (the desktop's shared settings, as
// its settings daemon publishes them), or nothing when it is absent or the data is malformed.
std::optional<std::int32_t> xsettingsInteger(std::string_view data, std::string_view name);

// The desktop's double-click time ("Net/DoubleClickTime") in seconds, when a settings daemon
// publishes one.
std::optional<double> desktopDoubleClickInterval(const X11Connection& connection);

}  // namespace nimbrel
