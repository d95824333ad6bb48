#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.hpp"

namespace nimbrel {

// Standard alphabet with "=" padding, no line breaks.
std::string base64Encode(ByteView bytes);

// URL-safe alphabet ("-" and "_") without padding, as carried in pairing links.
std::string base64UrlEncode(ByteView bytes);

// Strict standard Base64: the length is a multiple of four, padding is present, and no
// whitespace, URL-safe letters or non-zero trailing bits are accepted.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace nimbrel
