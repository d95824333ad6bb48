#pragma once

#include <string>
#include <string_view>

namespace nimbrel {

// `text` with every byte sequence that is not well-formed UTF-8 replaced by U+FFFD, so that
// what reaches a JSON file or a peer is always valid.
std::string repairUtf8(std::string_view text);

// The first `count` code points of well-formed UTF-8 text (all of it when it is shorter); never
// splits a sequence.
std::string prefixCodePoints(std::string_view text, std::size_t count);

}  // namespace nimbrel
