#include "net/admission_gate.hpp"

#include <gtest/gtest.h>

#include <atomic>

#include "net/origin_check.hpp"

namespace nimbrel {
namespace {

TEST(AdmissionGate, WhoGivesWayToANewConnection) {
  const AdmissionLimits limits{.total = 4, .perAddress = 2};
  const struct {
    const char* label;
    std::vector<std::string> waiting;  // oldest first
    std::string address;
    std::optional<std::size_t> dropped;
  } cases[] = {
      {"room", {"a", "b"}, "c", std::nullopt},
      {"empty", {}, "a", std::nullopt},
      {"a full address gives up its own oldest", {"b", "a", "c", "a"}, "a", 1},
      {"a full address, room in all", {"a", "a"}, "a", 0},
      {"a full gate: the busiest address's oldest", {"b", "a", "c", "a"}, "d", 1},
      {"two as busy: the one whose oldest came first", {"b", "a", "a", "b"}, "c", 0},
      {"a full gate of one address each", {"a", "b", "c", "d"}, "e", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(connectionToDrop(c.waiting, c.address, limits), c.dropped) << c.label;
  }
  EXPECT_EQ(connectionToDrop({"a"}, "a", {.total = 0, .perAddress = 0}), 0u);
  EXPECT_EQ(connectionToDrop({}, "a", {.total = 0, .perAddress = 0}), std::nullopt);
}

TEST(AdmissionGate, AFloodFromOneAddressPushesOutOnlyItselfAndTicketsLeaveWhenDone) {
  auto gate = AdmissionGate::create({.total = 3, .perAddress = 2});
  std::vector<std::string> evicted;
  auto admit = [&](const std::string& address, const std::string& name) {
    auto ticket = gate->admit(address);
    ticket->onEvict([&evicted, name] { evicted.push_back(name); });
    return ticket;
  };
  auto device = admit("10.0.0.2", "device");
  std::vector<std::shared_ptr<AdmissionGate::Ticket>> flood;
  for (int i = 0; i < 100; ++i) flood.push_back(admit("10.0.0.9", "flood " + std::to_string(i)));
  EXPECT_EQ(gate->waiting(), 3u);
  ASSERT_EQ(evicted.size(), 98u);
  EXPECT_EQ(evicted.front(), "flood 0");
  EXPECT_EQ(evicted.back(), "flood 97");

  // The device authenticates: its place is free for someone else.
  device.reset();
  EXPECT_EQ(gate->waiting(), 2u);
  auto other = admit("10.0.0.3", "other");
  EXPECT_EQ(gate->waiting(), 3u);
  EXPECT_EQ(evicted.size(), 98u);

  // A ticket pushed out before its owner said how to end it ends it at once.
  auto late = gate->admit("10.0.0.4");
  bool endedAtOnce = false;
  ASSERT_EQ(evicted.back(), "flood 98");
  auto newest = gate->admit("10.0.0.4");
  auto pushing = gate->admit("10.0.0.4");  // pushes out `late`, which has no eviction yet
  late->onEvict([&] { endedAtOnce = true; });
  EXPECT_TRUE(endedAtOnce);
}

TEST(OriginCheck, OnlyTheHostsOwnPageAndAllowedOnesMayUpgrade) {
  const std::vector<std::string> allowed{"https://desk.example.org", "http://[fd00::5]:8080/"};
  const struct {
    const char* origin;  // nullptr: no Origin header
    const char* host;
    bool ok;
  } cases[] = {
      {nullptr, "192.168.1.20:7300", true},  // a native client
      {"http://192.168.1.20:7300", "192.168.1.20:7300", true},
      {"HTTP://MyBox.local:7300", "mybox.local:7300", true},
      {"http://192.168.1.20", "192.168.1.20:80", true},
      {"http://[::1]:7300", "[::1]:7300", true},
      {"https://desk.example.org", "192.168.1.20:7300", true},
      {"https://desk.example.org:443", "192.168.1.20:7300", true},
      {"http://[FD00::5]:8080", "10.0.0.1:7300", true},
      {"http://desk:7300", "desk:7300", true},
      {"http://desk.lan:7300", "desk.lan:7300", true},
      {"http://desk.home.arpa.:7300", "desk.home.arpa.:7300", true},
      {"https://desk.example.org", "desk.example.org", true},  // allowed, whatever the Host
      // A public name whose DNS a stranger points at this host makes its page look like the
      // host's own: refused unless the user allowed it.
      {"http://evil.example:7300", "evil.example:7300", false},
      {"http://desk.local.evil.example:7300", "desk.local.evil.example:7300", false},
      {"http://192.168.1.20:7301", "192.168.1.20:7300", false},  // another port
      {"http://evil.example:7300", "192.168.1.20:7300", false},
      {"http://desk.example.org", "192.168.1.20:7300", false},  // allowed is https only
      {"https://desk.example.org.evil.example", "192.168.1.20:7300", false},
      {"null", "192.168.1.20:7300", false},
      {"", "192.168.1.20:7300", false},
      {"file://", "192.168.1.20:7300", false},
      {"http://192.168.1.20:7300/path", "192.168.1.20:7300", false},
      {"http://user@192.168.1.20:7300", "192.168.1.20:7300", false},
      {"http://192.168.1.20:99999", "192.168.1.20:99999", false},
      {"http://192.168.1.20:7300", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(originAllowed(c.origin ? c.origin : "", c.origin != nullptr, c.host, allowed), c.ok)
        << (c.origin ? c.origin : "(none)") << " at " << c.host;
  }
}

}  // namespace
}  // namespace nimbrel
