#include "base/graphemes.hpp"

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unicode/utext.h>

#include <memory>
#include <stdexcept>

#include "base/utf8.hpp"

namespace nimbrel {
namespace {

struct BreakIteratorClose {
  void operator()(UBreakIterator* iterator) const { ubrk_close(iterator); }
};
struct TextClose {
  void operator()(UText* text) const { utext_close(text); }
};

// Walks the character boundaries of well-formed UTF-8 `text`, calling `end(offset)` after each
// character until it returns false.
template <typename OnEnd>
void eachCharacterEnd(std::string_view text, OnEnd&& end) {
  if (text.empty()) return;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, TextClose> utext(
      utext_openUTF8(nullptr, text.data(), static_cast<std::int64_t>(text.size()), &status));
  std::unique_ptr<UBreakIterator, BreakIteratorClose> iterator(
      ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status));
  if (U_SUCCESS(status)) ubrk_setUText(iterator.get(), utext.get(), &status);
  if (U_FAILURE(status)) {
    throw std::runtime_error(std::string("couldn't split text into characters: ") +
                             u_errorName(status));
  }
  for (std::int32_t offset = ubrk_following(iterator.get(), 0); offset != UBRK_DONE;
       offset = ubrk_next(iterator.get())) {
    if (!end(static_cast<std::size_t>(offset))) return;
  }
}

}  // namespace

std::vector<std::string> splitCharacters(std::string_view input) {
  const std::string text = repairUtf8(input);
  std::vector<std::string> out;
  std::size_t start = 0;
  eachCharacterEnd(text, [&](std::size_t end) {
    out.push_back(text.substr(start, end - start));
    start = end;
    return true;
  });
  return out;
}

std::string prefixCharacters(std::string_view input, std::size_t count) {
  std::string text = repairUtf8(input);
  if (count == 0) return {};
  std::size_t seen = 0;
  std::size_t cut = text.size();
  eachCharacterEnd(text, [&](std::size_t end) {
    if (++seen < count) return true;
    cut = end;
    return false;
  });
  text.resize(cut);
  return text;
}

std::string trimWhiteSpace(std::string_view input) {
  const std::string text = repairUtf8(input);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t start = 0;
  while (start < length) {
    std::int32_t next = start;
    UChar32 c;
    U8_NEXT(bytes, next, length, c);
    if (!u_isUWhiteSpace(c)) break;
    start = next;
  }
  std::int32_t end = length;
  while (end > start) {
    std::int32_t previous = end;
    UChar32 c;
    U8_PREV(bytes, start, previous, c);
    if (!u_isUWhiteSpace(c)) break;
    end = previous;
  }
  return text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

}  // namespace nimbrel
