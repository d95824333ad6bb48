#include "base/decimal.hpp"

#include <charconv>
#include <cmath>

namespace nimbrel {

std::string shortestDecimal(double value) {
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, error == std::errc() ? end : buffer);
  // Plain integral values get their fractional zero; "inf", "nan" and exponents stay as they are.
  if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

}  // namespace nimbrel
