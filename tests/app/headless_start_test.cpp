// The host binary's start roads, run for real.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <regex>

#include "app/host_config.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Process;
using test::TempDir;
using ::testing::HasSubstr;

const std::string kHost = NIMBREL_HOST_BINARY;

TEST(HeadlessStart, AppliesOverridesSavesPrintsTheLinkAndEndsOnSignals) {
  for (int sig : {SIGTERM, SIGINT}) {
    TempDir home;
    Process host(kHost,
                 {"--headless", "--home", (home / "data").string(), "--port", "+8123", "--name",
                  "Test Host", "--no-cloud", "--api", "https://example.invalid/x"},
                 {{"HOME", home.path().string()}, {"VANTAFRAME_HOME", std::nullopt}});
    ASSERT_TRUE(host.waitForOutput("&os=linux", 10s)) << host.output() << host.errorOutput();
    EXPECT_THAT(host.output(),
                HasSubstr("\nPairing link (scan the QR code in the tray app, or paste this):\n"
                          "  nimbrel://pair?v=1&id="));
    EXPECT_THAT(host.output(), HasSubstr("&n=Test%20Host&"));
    EXPECT_THAT(host.output(), HasSubstr("&p=8123&"));

    const HostConfig saved = loadConfig(home / "data");
    EXPECT_EQ(saved.port, 8123);
    EXPECT_EQ(saved.name, "Test Host");
    EXPECT_EQ(saved.api, "https://example.invalid/x");
    EXPECT_FALSE(saved.cloud);
    EXPECT_FALSE(fs::exists(home / ".nimbrel"));

    host.signal(sig);
    EXPECT_EQ(host.wait(10s), 0) << "signal " << sig;
  }
}

TEST(HeadlessStart, PortValueThatDoesNotParseKeepsTheStoredPortAndStillSaves) {
  TempDir home;
  HostConfig stored = newIdentity();
  stored.port = 9001;
  stored.api = "http://127.0.0.1:9";  // the cloud link's requests stay on this machine
  saveConfig(stored, home / "data");
  Process host(kHost, {"--home", (home / "data").string(), "--headless", "--port"},
               {{"HOME", home.path().string()}});
  ASSERT_TRUE(host.waitForOutput("&os=linux", 10s)) << host.errorOutput();
  EXPECT_EQ(loadConfig(home / "data"), stored);
  EXPECT_THAT(host.output(), HasSubstr("&p=9001&"));
}

// Port 0 asks for any free port: the link carries the port bound, where the host answers.
TEST(HeadlessStart, PortZeroPrintsTheBoundPortInTheLink) {
  TempDir home;
  Process host(kHost,
               {"--headless", "--no-cloud", "--no-bonjour", "--home", (home / "data").string(),
                "--port", "0"},
               {{"HOME", home.path().string()}});
  ASSERT_TRUE(host.waitForOutput("&os=linux", 10s)) << host.errorOutput();
  std::smatch match;
  const std::string output = host.output();
  ASSERT_TRUE(std::regex_search(output, match, std::regex("&p=([0-9]+)&"))) << output;
  const int port = std::stoi(match[1]);
  EXPECT_NE(port, 0);
  EXPECT_THAT(output, HasSubstr(":" + std::to_string(port) + "/#v=1&"));  // the browser link
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  boost::system::error_code error;
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<std::uint16_t>(port)},
                 error);
  EXPECT_FALSE(error) << error.message();
  EXPECT_EQ(loadConfig(home / "data").port, 0);  // what was asked for stays asked for
}

TEST(HeadlessStart, DamagedConfigurationIsReportedOnStandardOutput) {
  TempDir home;
  test::writeFile(home / "data/config.json", "{\"secret\": 42}");
  Process host(kHost, {"--headless", "--no-cloud", "--home", (home / "data").string()},
               {{"HOME", home.path().string()}});
  ASSERT_TRUE(host.waitForOutput("&os=linux", 10s)) << host.errorOutput();
  EXPECT_THAT(host.output(), HasSubstr("kept it as " + (home / "data/config.json.bad").string()));
  EXPECT_EQ(test::readFile(home / "data/config.json.bad"), "{\"secret\": 42}");
}

// Without --headless the program is the tray application, which needs a display; "--auto"
// picks the headless host instead when there is none.
TEST(StartWithoutADisplay, TheTraySaysWhyAndAutoServesHeadless) {
  TempDir home;
  const std::map<std::string, std::optional<std::string>> noDisplay{
      {"HOME", home.path().string()},
      {"DISPLAY", std::nullopt},
      {"WAYLAND_DISPLAY", std::nullopt},
      {"QT_QPA_PLATFORM", std::nullopt},
      {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}};
  Process tray(kHost, {"--home", (home / "data").string()}, noDisplay);
  EXPECT_EQ(tray.wait(10s), std::optional<int>(1));
  EXPECT_EQ(tray.errorOutput(),
            "nimbrel: the tray application needs a display, and no X display is set (DISPLAY is "
            "empty). Run \"nimbrel --headless\" to serve without one.\n");

  Process host(kHost, {"--auto", "--no-cloud", "--no-bonjour", "--home", (home / "data").string()},
               noDisplay);
  ASSERT_TRUE(host.waitForOutput("&os=linux", 10s)) << host.output() << host.errorOutput();
  EXPECT_THAT(host.output(),
              ::testing::StartsWith(
                  "Starting the headless host: no X display is set (DISPLAY is empty).\n"));
  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(10s), 0);
}

TEST(TestHostStart, RunsOnlyTheEventLoopAndCreatesNothing) {
  TempDir home;
  Process host(kHost, {"--headless"},
               {{"HOME", home.path().string()},
                {"VANTAFRAME_HOME", std::nullopt},
                {"XCTestConfigurationFilePath", "/dev/null"}});
  EXPECT_FALSE(host.wait(1500ms).has_value());  // still running
  EXPECT_TRUE(fs::is_empty(home.path()));
  EXPECT_EQ(host.output(), "");
}

}  // namespace
}  // namespace nimbrel
