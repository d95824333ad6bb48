// The real host in a real headless GNOME Wayland session: it says which desktop it shares,
// nimbrel-client sees the screen and drives it, and the clipboard goes both ways.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <csignal>
#include <filesystem>
#include <regex>

#include "support/gnome_session.hpp"
#include "support/png_file.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel {
namespace {

using namespace std::chrono_literals;

std::uint16_t unusedPort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

// The host binary in `session`, started and showing its pairing link.
struct GnomeHost {
  test::TempDir home;
  std::uint16_t port = unusedPort();
  test::Process process;
  std::string key;  // the link's "k"

  explicit GnomeHost(const test::GnomeSession& session)
      : process(NIMBREL_HOST_BINARY,
                {"--headless", "--no-cloud", "--no-bonjour", "--home", (home / "data").string(),
                 "--port", std::to_string(port)},
                withHome(session.environment(), home)) {
    if (!process.waitForOutput("&os=linux", 15s)) return;
    std::smatch match;
    const std::string output = process.output();
    if (std::regex_search(output, match, std::regex("&k=([A-Za-z0-9_-]{43})&"))) key = match[1];
  }

  static std::map<std::string, std::optional<std::string>> withHome(
      std::map<std::string, std::optional<std::string>> environment, const test::TempDir& dir) {
    environment["HOME"] = dir.path().string();
    return environment;
  }

  // nimbrel-client's arguments to reach it.
  std::vector<std::string> client(std::vector<std::string> more) const {
    std::vector<std::string> arguments = {"--host", "127.0.0.1", "--port", std::to_string(port),
                                          "--key", key};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  }
};

TEST(GnomeEndToEnd, ClientSeesTheScreenDrivesItAndSharesTheClipboard) {
  test::GnomeSession session;
  test::WaylandTestWindow window(session, "2060c0");
  // The computer's own keyboard and mouse, which a headless seat lacks.
  test::Process seat("/usr/bin/python3", {NIMBREL_SEAT_DEVICES}, session.environment());
  ASSERT_TRUE(seat.waitForOutput("ready\n", 15s)) << seat.errorOutput();
  ASSERT_TRUE(window.expect("focus in")) << window.transcript();
  window.send("rect dd2020 40 60 200 100");
  ASSERT_TRUE(window.expect("painted dd2020")) << window.transcript();

  GnomeHost shared(session);
  test::Process& host = shared.process;
  ASSERT_FALSE(shared.key.empty()) << host.output() << host.errorOutput();
  const test::TempDir& home = shared.home;
  EXPECT_THAT(host.output(), ::testing::StartsWith("Sharing this GNOME Wayland desktop through "
                                                   "its remote-desktop service.\n"));
  EXPECT_EQ(host.output().find("dry run"), std::string::npos) << host.output();

  window.send(R"(copy "copied on the desktop")");
  ASSERT_TRUE(window.expect("copied"));
  const std::string snapshot = (home / "snapshot.png").string();
  test::Process client(
      NIMBREL_CLIENT_BINARY,
      shared.client({"--command",
       R"({"t":"text","s":"typed from the phone"})", "--command", R"({"t":"getclip"})",
       "--command", R"({"t":"setclip","text":"sent from the phone"})", "--command",
       R"({"t":"click","b":"left","x":0.5,"y":0.5})",
       "--snapshot", snapshot, "--seconds", "5"}));
  ASSERT_EQ(client.wait(60s), 0) << client.errorOutput() << host.output();
  EXPECT_THAT(client.output(), ::testing::HasSubstr(R"("os":"linux")"));
  EXPECT_THAT(client.output(),
              ::testing::HasSubstr(R"("monitors":[{"i":0,"w":1280,"h":800,"x":0,"y":0,"primary":true}])"));
  EXPECT_THAT(client.output(), ::testing::HasSubstr("copied on the desktop")) << client.output();

  EXPECT_TRUE(window.expect(R"(text "typed from the phone")")) << window.transcript();
  EXPECT_TRUE(window.expect("click 1 640 400")) << window.transcript();
  EXPECT_TRUE(window.pastes(R"("sent from the phone")")) << window.transcript();

  const auto picture = test::readPng(snapshot);
  ASSERT_TRUE(picture);
  ASSERT_EQ(picture->width, 1280u);
  ASSERT_EQ(picture->height, 800u);
  auto at = [&](unsigned x, unsigned y) { return picture->at(x, y); };
  const std::uint8_t* red = at(140, 110);
  EXPECT_GT(red[0], 200);
  EXPECT_LT(red[1], 60);
  const std::uint8_t* blue = at(900, 600);
  EXPECT_LT(blue[0], 60);
  EXPECT_GT(blue[2], 160);

  std::filesystem::create_directories(NIMBREL_ARTIFACTS_DIR);
  std::filesystem::copy_file(snapshot, std::string(NIMBREL_ARTIFACTS_DIR) + "/gnome_wayland_client_view.png",
                             std::filesystem::copy_options::overwrite_existing);

  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(10s), 0);
}

// The desktop going away ends the session at once (the client sees the connection close); the
// host keeps running, and once the desktop is back a new client gets a session of its own.
TEST(GnomeEndToEnd, TheHostOutlivesTheDesktopsRestart) {
  test::GnomeSession session;
  GnomeHost shared(session);
  test::Process& host = shared.process;
  ASSERT_FALSE(shared.key.empty()) << host.output() << host.errorOutput();

  test::Process watcher(NIMBREL_CLIENT_BINARY, shared.client({"--seconds", "120"}));
  ASSERT_TRUE(watcher.waitForOutput(R"("t":"info")", 30s)) << watcher.errorOutput();
  session.killMutter();
  // Ended by the host, long before its two minutes.
  EXPECT_TRUE(watcher.wait(30s).has_value()) << watcher.output();
  EXPECT_TRUE(host.running()) << host.errorOutput();

  session.restartMutter();
  const std::string snapshot = (shared.home / "after-restart.png").string();
  test::Process client(NIMBREL_CLIENT_BINARY, shared.client({"--snapshot", snapshot, "--seconds", "5"}));
  ASSERT_EQ(client.wait(60s), 0) << client.errorOutput() << host.output();
  const auto picture = test::readPng(snapshot);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 1280u);
  EXPECT_EQ(picture->height, 800u);

  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(10s), 0);
}

// Another Wayland desktop has no service to share it through: one line says what is supported
// and what to do, and nothing starts unless a dry run is asked for.
TEST(GnomeEndToEnd, AWaylandDesktopWithoutGnomesServiceIsRefusedWithWhatToDo) {
  test::TempDir home;
  test::TempDir runtime;
  const std::map<std::string, std::optional<std::string>> environment{
      {"HOME", home.path().string()},
      {"WAYLAND_DISPLAY", "wayland-elsewhere"},
      {"XDG_SESSION_TYPE", "wayland"},
      {"XDG_RUNTIME_DIR", runtime.path().string()},
      {"DISPLAY", ":0"},  // Xwayland's would open: still refused
      {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (runtime / "no-bus").string()}};
  test::Process host(NIMBREL_HOST_BINARY,
                     {"--headless", "--no-cloud", "--no-bonjour", "--home", (home / "data").string()},
                     environment);
  EXPECT_EQ(host.wait(15s), std::optional<int>(1));
  EXPECT_THAT(host.errorOutput(), ::testing::StartsWith("This Wayland desktop can't be shared ("));
  EXPECT_THAT(host.errorOutput(), ::testing::HasSubstr("Nimbrel shares GNOME on Wayland and X11 desktops"));

  test::Process dryRun(NIMBREL_HOST_BINARY,
                       {"--headless", "--dry-run", "--no-cloud", "--no-bonjour", "--port", "0",
                        "--home", (home / "data").string()},
                       environment);
  EXPECT_TRUE(dryRun.waitForOutput("&os=linux", 15s)) << dryRun.output() << dryRun.errorOutput();
  dryRun.signal(SIGTERM);
  EXPECT_EQ(dryRun.wait(10s), 0);
}

}  // namespace
}  // namespace nimbrel
