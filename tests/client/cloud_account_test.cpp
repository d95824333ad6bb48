#include "client/cloud_account.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

// A stranger may enrol under a computer's copied id; the account then lists both, and the
// client must not pick the stranger's.
TEST(ChooseHost, TheClaimedOneElseTheOldestWithTheId) {
  const std::vector<CloudAccount::Host> hosts{
      {"h-other", "aaaa", "Other", true},
      {"h-real", "1234", "Desk", false},
      {"h-stranger", "1234", "Desk", true},
  };
  const struct {
    const char* localId;
    const char* claimed;
    const char* chosen;  // nullptr: none
  } cases[] = {
      {"1234", "", "h-real"},
      {"1234", "h-stranger", "h-stranger"},
      {"1234", "h-other", "h-real"},  // a claim of another computer says nothing here
      {"aaaa", "", "h-other"},
      {"ffff", "", nullptr},
  };
  for (const auto& c : cases) {
    const CloudAccount::Host* host = chooseHost(hosts, c.localId, c.claimed);
    EXPECT_EQ(host ? host->id : "(none)", c.chosen ? c.chosen : "(none)")
        << c.localId << " " << c.claimed;
  }
}

}  // namespace
}  // namespace nimbrel
