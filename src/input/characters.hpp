#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nimbrel {

// The code points of UTF-8 text; malformed sequences read as U+FFFD.
std::u32string decodeUtf8(std::string_view text);

// The UTF-8 of code points (those no scalar value can be become U+FFFD).
std::string encodeUtf8(std::u32string_view text);

// The user-perceived characters of the text (extended grapheme clusters), as code points.
std::vector<std::u32string> characters(std::string_view text);

// Unicode simple case mapping (the C library's, in a UTF-8 locale).
char32_t toLower(char32_t c);
bool isUpper(char32_t c);

}  // namespace nimbrel
