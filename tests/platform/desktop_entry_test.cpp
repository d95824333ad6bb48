#include <gtest/gtest.h>

#include "platform/user_settings.hpp"

namespace nimbrel {
namespace {

TEST(DesktopEntry, ExecArgumentsAreQuotedOnlyWhenTheyNeedIt) {
  const struct {
    std::string argument;
    std::string written;
  } cases[] = {
      {"/usr/bin/nimbrel", "/usr/bin/nimbrel"},
      {"/home/zoë/My Apps/nimbrel", "\"/home/zoë/My Apps/nimbrel\""},
      {"/opt/a$b`c\"d\\e", "\"/opt/a\\$b\\`c\\\"d\\\\e\""},
      {"/opt/50%/nimbrel", "\"/opt/50%%/nimbrel\""},
  };
  for (const auto& c : cases) EXPECT_EQ(desktopExecArgument(c.argument), c.written) << c.argument;
}

}  // namespace
}  // namespace nimbrel
