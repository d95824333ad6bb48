#pragma once

#include <string>

namespace nimbrel {

// The shortest decimal text that reads back as the same double; integral values keep one
// fractional zero ("1.0", "-2.5", "0.0").
std::string shortestDecimal(double value);

}  // namespace nimbrel
