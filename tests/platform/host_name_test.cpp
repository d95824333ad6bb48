#include "platform/host_name.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

TEST(HostName, PrettyNameFromMachineInfo) {
  const struct {
    const char* file;
    std::optional<std::string> name;
  } cases[] = {
      {"PRETTY_HOSTNAME=\"Zoë's Laptop\"\nCHASSIS=laptop\n", "Zoë's Laptop"},
      {"CHASSIS=desktop\nPRETTY_HOSTNAME='Work \"box\"'\n", "Work \"box\""},
      {"PRETTY_HOSTNAME=Bare\n", "Bare"},
      {"PRETTY_HOSTNAME=\"Say \\\"hi\\\"\"", "Say \"hi\""},
      {"PRETTY_HOSTNAME=\"\"\n", std::nullopt},
      {"# PRETTY_HOSTNAME=Commented\nCHASSIS=vm\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(prettyHostNameFrom(c.file), c.name) << c.file;
}

TEST(HostName, ShortNameStopsAtTheFirstDot) {
  EXPECT_EQ(shortHostName("studio.local"), "studio");
  EXPECT_EQ(shortHostName("a.b.c"), "a");
  EXPECT_EQ(shortHostName("plain"), "plain");
  EXPECT_FALSE(defaultHostName().empty());
}

}  // namespace
}  // namespace nimbrel
