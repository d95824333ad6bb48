#include "net/service_name.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

TEST(ServiceName, KeepsLettersNumbersAndAFewMarks) {
  const struct {
    const char* name;
    const char* expected;
  } cases[] = {
      {"Studio: Lab's Mac!", "Studio Lab's Mac (7f3a)"},
      {"!!!???", "Linux (7f3a)"},
      {"", "Linux (7f3a)"},
      {"Zoë’s Ubuntu-box_2", "Zoës Ubuntu-box_2 (7f3a)"},  // the curly apostrophe is dropped
      {"日本語のPC ②", "日本語のPC ② (7f3a)"},
      {"0123456789012345678901234567890123456789XYZ", "0123456789012345678901234567890123456789 (7f3a)"},
  };
  for (const auto& c : cases) EXPECT_EQ(serviceInstanceName(c.name, "7f3a9c00"), c.expected) << c.name;
}

TEST(ServiceName, FitsOneDnsLabelEvenInWideScripts) {
  const std::string wide = "東京都渋谷区の開発用ワークステーション東京都渋谷区の開発用ワークステーション";
  const std::string name = serviceInstanceName(wide, "7f3a");
  EXPECT_LE(name.size(), 63u);
  EXPECT_EQ(name.substr(name.size() - 7), " (7f3a)");
  EXPECT_EQ(name.rfind("東京都", 0), 0u);
}

}  // namespace
}  // namespace nimbrel
