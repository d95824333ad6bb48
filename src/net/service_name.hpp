#pragma once

#include <string>
#include <string_view>

namespace nimbrel {

// The DNS-SD instance name of a host: its name reduced to letters and numbers (in the Unicode
// sense), space, "-", "_" and "'", cut to 40 characters ("Linux" when nothing is left), then
// " (" + the first four characters of the host identifier + ")".
std::string serviceInstanceName(std::string_view name, std::string_view hostID);

// True for the code points that the instance name keeps besides space, "-", "_" and "'".
bool isLetterOrNumber(char32_t codePoint);

}  // namespace nimbrel
