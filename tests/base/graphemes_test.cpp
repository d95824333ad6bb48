#include "base/graphemes.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

TEST(Graphemes, SplitsIntoUserPerceivedCharacters) {
  const struct {
    std::string text;
    std::vector<std::string> characters;
  } cases[] = {
      {"", {}},
      {"ab", {"a", "b"}},
      {"e\u0301a", {"e\u0301", "a"}},                                       // combining mark
      {"\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", {"\U0001F1E9\U0001F1EA", "\U0001F1EB\U0001F1F7"}},  // two flags
      {"\u1100\u1161\u11A8\u1100", {"\u1100\u1161\u11A8", "\u1100"}},         // Hangul jamo
      {"\U0001F468\u200D\U0001F469\u200D\U0001F467!", {"\U0001F468\u200D\U0001F469\u200D\U0001F467", "!"}},
      {"\U0001F44D\U0001F3FD", {"\U0001F44D\U0001F3FD"}},                   // skin tone
      {"a\r\nb", {"a", "\r\n", "b"}},
      {"\n\r", {"\n", "\r"}},
      {"a\xff" "b", {"a", "\uFFFD", "b"}},                                  // malformed byte
  };
  for (const auto& c : cases) EXPECT_EQ(splitCharacters(c.text), c.characters) << c.text;
}

TEST(Graphemes, PrefixNeverSplitsACharacter) {
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
  const struct {
    std::string text;
    std::size_t count;
    std::string prefix;
  } cases[] = {
      {"hello", 3, "hel"},
      {"hello", 5, "hello"},
      {"hello", 64, "hello"},
      {"hello", 0, ""},
      {"", 3, ""},
      {family + family + "x", 1, family},
      {family + family + "x", 2, family + family},
      {"e\u0301e\u0301e\u0301", 2, "e\u0301e\u0301"},
      {"\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", 1, "\U0001F1E9\U0001F1EA"},
      {"ab\xff", 3, "ab\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(prefixCharacters(c.text, c.count), c.prefix) << c.text;
}

TEST(Graphemes, LongTextsAreCutByCharacters) {
  std::string text;
  for (int i = 0; i < 25000; ++i) text += "e\u0301";
  const std::string cut = prefixCharacters(text, 20000);
  EXPECT_EQ(cut.size(), 20000u * 3);
  EXPECT_EQ(splitCharacters(cut).size(), 20000u);
}

TEST(Graphemes, TrimsUnicodeWhiteSpaceAndLineBreaksAtBothEnds) {
  const struct {
    std::string text;
    std::string trimmed;
  } cases[] = {
      {"  Studio \t\r\n", "Studio"},
      {"\u00A0Zoë’s desk\u3000", "Zoë’s desk"},            // no-break and ideographic spaces
      {"\u2028\u2029\u0085Mac mini\u2003", "Mac mini"},    // separators, next line, em space
      {"a \u00A0 b", "a \u00A0 b"},                         // inside stays
      {"\u200B", "\u200B"},                                  // zero width space is not white space
      {" \u00A0\n ", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(trimWhiteSpace(c.text), c.trimmed) << c.text;
}

}  // namespace
}  // namespace nimbrel
