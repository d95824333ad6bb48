#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrel {

// User-perceived characters: Unicode's extended grapheme clusters, as ICU finds them (a flag, a
// Hangul syllable made of jamo, an emoji joined with zero-width joiners, a letter with its
// combining marks and carriage return + line feed are each one character).
//
// The text is UTF-8; malformed sequences count as U+FFFD.

// The characters of `text`, in order, each as its UTF-8 bytes.
std::vector<std::string> splitCharacters(std::string_view text);

// The first `count` characters of `text` (all of it when it has no more); never splits one.
std::string prefixCharacters(std::string_view text, std::size_t count);

// `text` without the white space and line breaks (Unicode's White_Space: spaces of every width,
// no-break spaces, line and paragraph separators...) at either end.
std::string trimWhiteSpace(std::string_view text);

}  // namespace nimbrel
