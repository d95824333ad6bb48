#include "input/characters.hpp"

#include <locale.h>
#include <wctype.h>

#include "base/utf8.hpp"

namespace nimbrel {
namespace {

bool extendsPrevious(char32_t c) {
  return (c >= 0x0300 && c <= 0x036f) ||  // combining diacritical marks
         (c >= 0x1ab0 && c <= 0x1aff) || (c >= 0x1dc0 && c <= 0x1dff) ||
         (c >= 0x20d0 && c <= 0x20ff) || (c >= 0xfe20 && c <= 0xfe2f) ||
         (c >= 0xfe00 && c <= 0xfe0f) ||    // variation selectors
         (c >= 0x1f3fb && c <= 0x1f3ff) ||  // emoji skin tones
         (c >= 0xe0100 && c <= 0xe01ef) || c == 0x200d;
}

locale_t utf8Locale() {
  static const locale_t locale = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return l ? l : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
  }();
  return locale;
}

}  // namespace

std::u32string decodeUtf8(std::string_view input) {
  const std::string text = repairUtf8(input);
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    char32_t c = length == 1 ? lead : lead & (0x7f >> length);
    for (int k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
    out.push_back(c);
    i += static_cast<std::size_t>(length);
  }
  return out;
}

std::vector<std::u32string> characters(std::string_view text) {
  std::vector<std::u32string> out;
  bool joinNext = false;
  for (char32_t c : decodeUtf8(text)) {
    const bool crlf = c == U'\n' && !out.empty() && out.back() == U"\r";
    if (!out.empty() && (joinNext || crlf || extendsPrevious(c))) {
      out.back().push_back(c);
    } else {
      out.emplace_back(1, c);
    }
    joinNext = c == 0x200d;
  }
  return out;
}

char32_t toLower(char32_t c) {
  return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), utf8Locale()));
}

bool isUpper(char32_t c) { return iswupper_l(static_cast<wint_t>(c), utf8Locale()) != 0; }

}  // namespace nimbrel
