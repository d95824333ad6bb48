// The real host on a real X server: nimbrel-client sees the screen as it is and the keys it
// sends arrive in the focused window of another client.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <csignal>
#include <regex>

#include "support/png_file.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/x11_test_window.hpp"
#include "support/x_server.hpp"

namespace nimbrel {
namespace {

using namespace std::chrono_literals;

std::uint16_t unusedPort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

// The host binary sharing `server`'s display, started and showing its pairing link.
struct SharedHost {
  test::TempDir home;
  std::uint16_t port = unusedPort();
  test::Process process;
  std::string output;  // standard output up to the pairing link
  std::string key;     // the link's "k"

  explicit SharedHost(const test::XServer& server)
      : process(NIMBREL_HOST_BINARY,
                {"--headless", "--no-cloud", "--no-bonjour", "--home", (home / "data").string(),
                 "--port", std::to_string(port)},
                {{"HOME", home.path().string()}, {"DISPLAY", server.display()},
                 {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}}) {
    if (!process.waitForOutput("&os=linux", 10s)) return;
    output = process.output();
    std::smatch match;
    if (std::regex_search(output, match, std::regex("&k=([A-Za-z0-9_-]{43})&"))) key = match[1];
  }
};

TEST(X11EndToEnd, ClientSeesTheRealScreenAndItsKeysReachTheFocusedWindow) {
  test::XServer server("800x600x24");
  server.fill(40, 60, 200, 100, 0xdd2020);
  test::X11TestWindow window(server.display(), 400, 300, 300, 200);

  SharedHost shared(server);
  test::Process& host = shared.process;
  ASSERT_FALSE(shared.key.empty()) << host.output() << host.errorOutput();
  const std::uint16_t port = shared.port;
  EXPECT_EQ(shared.output.find("dry run"), std::string::npos) << shared.output;

  const std::string snapshot = (shared.home / "snapshot.png").string();
  test::Process client(NIMBREL_CLIENT_BINARY,
                       {"--host", "127.0.0.1", "--port", std::to_string(port), "--key", shared.key,
                        "--command", R"({"t":"text","s":"héllo ж"})", "--command",
                        R"({"t":"key","k":"enter"})", "--snapshot", snapshot, "--seconds", "2"});
  ASSERT_EQ(client.wait(30s), 0) << client.errorOutput();
  EXPECT_THAT(client.output(), ::testing::HasSubstr(R"("os":"linux")"));

  ASSERT_TRUE(window.waitForTyped(std::string("héllo ж\n").size())) << window.typed();
  EXPECT_EQ(window.typed(), "héllo ж\n");

  const auto picture = test::readPng(snapshot);
  ASSERT_TRUE(picture);
  ASSERT_EQ(picture->width, 800u);
  ASSERT_EQ(picture->height, 600u);
  auto at = [&](unsigned x, unsigned y) { return picture->at(x, y); };
  const std::uint8_t* red = at(140, 110);
  EXPECT_GT(red[0], 200);
  EXPECT_LT(red[1], 60);
  const std::uint8_t* white = at(550, 400);  // the test window
  EXPECT_GT(white[0], 230);
  EXPECT_GT(white[1], 230);
  const std::uint8_t* black = at(20, 20);  // Xvfb's root is black
  EXPECT_LT(black[0], 30);
}

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A display that stops answering holds up only what waits on it: the network thread keeps
// completing handshakes and answering pings, and SIGTERM still ends the host at once.
// A display without a system tray has nowhere to show the icon: "--auto" serves headless on it.
TEST(X11EndToEnd, AutoStartOnADisplayWithoutATrayRunsTheHeadlessHost) {
  test::XServer server("640x480x24");
  test::TempDir home;
  test::Process host(NIMBREL_HOST_BINARY,
                     {"--auto", "--no-cloud", "--no-bonjour", "--home", (home / "data").string(),
                      "--port", std::to_string(unusedPort())},
                     {{"HOME", home.path().string()}, {"DISPLAY", server.display()},
                      {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}});
  ASSERT_TRUE(host.waitForOutput("&os=linux", 10s)) << host.output() << host.errorOutput();
  EXPECT_THAT(host.output(),
              ::testing::StartsWith("Sharing the X11 desktop on display " + server.display() +
                                    ".\nStarting the headless host: display " + server.display() +
                                    " has no system tray to show the icon in.\n"));
  EXPECT_EQ(host.output().find("dry run"), std::string::npos) << host.output();
  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(10s), 0);
}

TEST(X11EndToEnd, AFrozenDisplayHoldsUpNeitherOtherSessionsNorTheExit) {
  test::XServer server("640x480x24");
  SharedHost shared(server);
  test::Process& host = shared.process;
  ASSERT_FALSE(shared.key.empty()) << host.output() << host.errorOutput();
  const std::uint16_t port = shared.port;
  const std::vector<std::string> target = {"--host", "127.0.0.1", "--port", std::to_string(port),
                                           "--key", shared.key};
  auto clientArguments = [&](std::vector<std::string> more) {
    std::vector<std::string> all = target;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };

  test::Process watcher(NIMBREL_CLIENT_BINARY, clientArguments({"--latency", "--seconds", "7"}));
  ASSERT_TRUE(watcher.waitForOutput("latency", 10s)) << watcher.errorOutput();
  ASSERT_TRUE(watcher.waitForOutput(R"("t":"info")", 10s));
  server.signal(SIGSTOP);
  // A second client while the display is frozen: its handshake completes (the client ends on
  // its own time-out with status 0, not with a connection error).
  test::Process late(NIMBREL_CLIENT_BINARY, clientArguments({"--seconds", "2"}));
  EXPECT_EQ(late.wait(30s), 0) << late.errorOutput();
  // The first session answers its pings all along.
  ASSERT_EQ(watcher.wait(30s), 0) << watcher.errorOutput();
  EXPECT_GE(count(watcher.output(), "latency"), 5u) << watcher.output();

  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(10s), 0);
  server.signal(SIGCONT);
}

}  // namespace
}  // namespace nimbrel
