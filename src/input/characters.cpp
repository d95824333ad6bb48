#include "input/characters.hpp"

#include <locale.h>
#include <wctype.h>

#include "base/graphemes.hpp"
#include "base/utf8.hpp"

namespace nimbrel {
namespace {

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
  for (const std::string& character : splitCharacters(text)) out.push_back(decodeUtf8(character));
  return out;
}

char32_t toLower(char32_t c) {
  return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), utf8Locale()));
}

bool isUpper(char32_t c) { return iswupper_l(static_cast<wint_t>(c), utf8Locale()) != 0; }

std::string encodeUtf8(std::u32string_view text) {
  std::string out;
  for (char32_t c : text) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace nimbrel
