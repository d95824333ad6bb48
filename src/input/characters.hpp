#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nimbrel {

// The code points of UTF-8 text; malformed sequences read as U+FFFD.
std::u32string decodeUtf8(std::string_view text);

// The user-perceived characters of the text, close to Unicode's extended grapheme clusters:
// a code point with the combining marks, variation selectors, emoji modifiers and zero-width
// joiner sequences that follow it, and carriage return + line feed as one character.
std::vector<std::u32string> characters(std::string_view text);

// Unicode simple case mapping (the C library's, in a UTF-8 locale).
char32_t toLower(char32_t c);
bool isUpper(char32_t c);

}  // namespace nimbrel
