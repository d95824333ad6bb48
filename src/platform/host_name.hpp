#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nimbrel {

// The name a new host identity takes: the system's pretty host name when it has one, else
// the host name up to its first ".".
std::string defaultHostName();

// The PRETTY_HOSTNAME value of a machine-info file (shell-style assignments, the value
// possibly quoted), or nothing when it has none or an empty one.
std::optional<std::string> prettyHostNameFrom(std::string_view machineInfo);

// `hostName` up to its first "." (all of it when there is none).
std::string shortHostName(std::string_view hostName);

}  // namespace nimbrel
