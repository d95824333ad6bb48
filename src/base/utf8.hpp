#pragma once

#include <string>
#include <string_view>

namespace nimbrel {

// `text` with every byte sequence that is not well-formed UTF-8 replaced by U+FFFD, so that
// what reaches a JSON file or a peer is always valid.
std::string repairUtf8(std::string_view text);

}  // namespace nimbrel
