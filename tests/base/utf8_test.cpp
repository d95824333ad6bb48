#include "base/utf8.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

TEST(RepairUtf8, KeepsValidTextAndReplacesEachBadSequence) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"plain ascii", "plain ascii"},
      {"Zoë’s 💻", "Zoë’s 💻"},
      {"a\xff" "b", "a\uFFFD" "b"},
      {"\xc0\xaf", "\uFFFD\uFFFD"},              // overlong "/"
      {"\xed\xa0\x80", "\uFFFD\uFFFD\uFFFD"},    // surrogate
      {"\xf4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"cut \xe2\x82", "cut \uFFFD\uFFFD"},      // truncated at the end
  };
  for (const auto& c : cases) EXPECT_EQ(repairUtf8(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace nimbrel
