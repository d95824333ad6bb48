#pragma once

#include <boost/json/fwd.hpp>

#include <string>

namespace nimbrel {

// The indented, human-readable JSON of the files the host keeps: two-space indentation,
// object keys in ascending byte order, "/" escaped as "\/", and text repaired to valid UTF-8.
std::string prettyJson(const boost::json::value& value);

}  // namespace nimbrel
