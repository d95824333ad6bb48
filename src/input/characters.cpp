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

}  // namespace nimbrel
