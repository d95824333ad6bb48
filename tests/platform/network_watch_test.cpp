#include "platform/network_watch.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <regex>

#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel {
namespace {

using namespace std::chrono_literals;

TEST(PathChangeFilter, OnlyAChangeToAUsablePathKicks) {
  PathChangeFilter filter;
  const struct {
    const char* signature;
    bool kick;
  } steps[] = {
      {"eth0,192.0.2.1", false},          // the first path seen
      {"eth0,192.0.2.1", false},          // the same again
      {"wlan0,198.51.100.1", true},       // another network
      {"", false},                        // connectivity lost
      {"wlan0,198.51.100.1", true},       // and back
      {"wlan0,eth0,198.51.100.1", true},  // a second interface
  };
  for (const auto& step : steps) EXPECT_EQ(filter.changed(step.signature), step.kick) << step.signature;
}

// In a network namespace of the test's own: a new default route kicks once, 2 s after the
// burst of changes that made it; losing it never kicks.
TEST(NetworkWatch, AUsablePathKicksOnceAfterItSettlesAndLosingItNever) {
  if (geteuid() != 0) GTEST_SKIP() << "a network namespace of the test's own needs root";
  test::Process watch("/usr/bin/unshare", {"--net", NIMBREL_NETWORK_WATCH_HOST});
  ASSERT_TRUE(watch.waitForOutput("]\n", 10s)) << watch.errorOutput();
  std::smatch ready;
  const std::string output = watch.output();
  ASSERT_TRUE(std::regex_search(output, ready, std::regex("ready (\\d+) \\[\\]")))
      << "a fresh namespace has no path: " << output;
  const std::string inside = "nsenter -t " + ready[1].str() + " -n ";
  auto in = [&](const std::string& command) { return std::system((inside + command).c_str()); };
  // IPv4 only, so that no link-local address arrives later on its own.
  ASSERT_EQ(in("sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1"), 0);
  ASSERT_EQ(in("ip link add v0 type veth peer name v1"), 0);
  ASSERT_EQ(in("ip link set v0 up"), 0);
  ASSERT_EQ(in("ip link set v1 up"), 0);
  ASSERT_EQ(in("ip addr add 10.9.0.2/24 dev v0"), 0);
  ASSERT_EQ(in("ip route add default via 10.9.0.1"), 0);
  const auto settled = std::chrono::steady_clock::now();
  ASSERT_TRUE(watch.waitForOutput("kick [v0,10.9.0.1]\n", 10s)) << watch.output();
  EXPECT_GE(std::chrono::steady_clock::now() - settled, 1900ms);
  // Losing the path: no kick, ever (the 2 s and a margin pass first).
  ASSERT_EQ(in("ip link set v0 down"), 0);
  EXPECT_FALSE(watch.waitForOutput("kick []", 3500ms)) << watch.output();
  const std::string all = watch.output();
  std::size_t kicks = 0;
  for (auto at = all.find("kick"); at != std::string::npos; at = all.find("kick", at + 1)) ++kicks;
  EXPECT_EQ(kicks, 1u) << all;
}

}  // namespace
}  // namespace nimbrel

namespace nimbrel {
namespace {

// A system bus of the test's own: waking (PrepareForSleep false) calls back, going to sleep
// (true) does not.
TEST(ResumeWatch, WakingFromSleepCallsBack) {
  test::TempDir dir;
  const std::string socket = (dir.path() / "bus").string();
  {
    std::ofstream config(dir.path() / "bus.conf");
    config << "<busconfig><type>system</type><listen>unix:path=" << socket
           << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
              "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
              "<allow own=\"*\"/></policy></busconfig>";
  }
  test::Process bus("/usr/bin/dbus-daemon",
                    {"--config-file=" + (dir.path() / "bus.conf").string(), "--nofork",
                     "--print-address"});
  ASSERT_TRUE(bus.waitForOutput("unix:", 10s)) << bus.errorOutput();
  const std::string address = "unix:path=" + socket;
  ASSERT_EQ(setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1), 0);

  std::mutex lock;
  std::condition_variable woke;
  int resumes = 0;
  std::string error;
  auto watch = ResumeWatch::start(
      [&] {
        std::lock_guard guard(lock);
        ++resumes;
        woke.notify_all();
      },
      error);
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  ASSERT_TRUE(watch) << error;
  auto signal = [&](const char* sleeping) {
    const std::string command = "DBUS_SYSTEM_BUS_ADDRESS=" + address +
                                " dbus-send --system --type=signal /org/freedesktop/login1 "
                                "org.freedesktop.login1.Manager.PrepareForSleep boolean:" +
                                sleeping;
    return std::system(command.c_str());
  };
  ASSERT_EQ(signal("true"), 0);
  ASSERT_EQ(signal("false"), 0);
  std::unique_lock guard(lock);
  ASSERT_TRUE(woke.wait_for(guard, 10s, [&] { return resumes >= 1; }));
  guard.unlock();
  // Signals from one sender arrive in order: a second wake after the first proves that the
  // sleep signal before it was not counted.
  ASSERT_EQ(signal("false"), 0);
  guard.lock();
  ASSERT_TRUE(woke.wait_for(guard, 10s, [&] { return resumes >= 2; }));
  EXPECT_EQ(resumes, 2);
  watch->stop();
}

}  // namespace
}  // namespace nimbrel
