// What needs a network namespace of the test's own, whose only interface is loopback: DNS-SD
// advertising against a real avahi-daemon (no multicast leaves it), and name lookups against a
// name server that never answers.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

bool have(const char* program) {
  return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(DnsSd, PublishesTxtRecordTakesAlternativeNamesAndSurvivesDaemonRestarts) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace";
  for (const char* tool : {"unshare", "ip", "dbus-daemon", "avahi-daemon", "avahi-browse"}) {
    ASSERT_TRUE(have(tool)) << tool << " is missing; scripts/install-deps installs it";
  }
  test::TempDir work;
  test::Process scenario("/usr/bin/unshare",
                         {"--net", "--mount", "--fork", "bash", NIMBREL_DNSSD_SCENARIO,
                          work.path().string(), NIMBREL_DNSSD_HOST});
  const auto status = scenario.wait(std::chrono::seconds(120));
  const std::string out = scenario.output();
  ASSERT_EQ(status, 0) << out << scenario.errorOutput();

  EXPECT_THAT(out, HasSubstr("LISTENING without daemon"));
  EXPECT_THAT(out, Not(HasSubstr("MISSING"))) << out;
  EXPECT_THAT(out, HasSubstr("FOUND \"n=Studio: Lab's Box!\""));
  EXPECT_THAT(out, HasSubstr("FOUND =;lo;IPv4;Renamed\\032Host\\032\\0407f3a\\041;"));
  EXPECT_THAT(out, HasSubstr("STATE first listening"));
  EXPECT_THAT(out, HasSubstr("BYE"));
  // Told once per outage and per advertisement: two servers, before the daemon and at its
  // restart, so four lines, and never a failure.
  std::size_t waiting = 0;
  for (std::size_t at = out.find("advertising is waiting"); at != std::string::npos;
       at = out.find("advertising is waiting", at + 1)) {
    ++waiting;
  }
  EXPECT_EQ(waiting, 4u) << out;
  EXPECT_THAT(out, Not(HasSubstr("advertising failed")));
}

// A name lookup cannot be interrupted; the open's time-out still ends the open on time. The
// resolver here waits 30 s for a name server that never answers; the client opens with 5 s.
TEST(SlowNameLookup, OpenEndsAtItsTimeOutWhileTheLookupHangs) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a network and mount namespace";
  for (const char* tool : {"unshare", "ip", "mount", "python3"}) {
    ASSERT_TRUE(have(tool)) << tool << " is missing; scripts/install-deps installs it";
  }
  test::TempDir work;
  test::Process scenario("/usr/bin/unshare",
                         {"--net", "--mount", "--fork", "bash", NIMBREL_SLOW_DNS_SCENARIO,
                          work.path().string(), NIMBREL_CLIENT_BINARY});
  // Well before the lookup's own 30 s.
  const auto status = scenario.wait(std::chrono::seconds(20));
  ASSERT_EQ(status, 0) << scenario.output() << scenario.errorOutput();
  EXPECT_THAT(scenario.output(), HasSubstr("CLIENT EXIT 1"));
  EXPECT_THAT(scenario.errorOutput(), HasSubstr("never-answered.test:80: Timed out"));
}

}  // namespace
}  // namespace nimbrel
