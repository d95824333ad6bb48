// The headless host end to end: the real binary in a dry run, driven by a client over loopback
// with the key from the pairing link it prints.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "session/base64.hpp"
#include "session/host_harness.hpp"
#include "support/io_runner.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel {
namespace {

namespace json = boost::json;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

const std::string kHost = NIMBREL_HOST_BINARY;

std::uint16_t freePort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

TEST(HeadlessSession, DryRunServesTheSyntheticScreenAndPrintsInput) {
  test::TempDir home;
  const std::uint16_t port = freePort();
  test::Process host(kHost,
                     {"--headless", "--dry-run", "--no-cloud", "--no-bonjour", "--home",
                      (home / "data").string(), "--port", std::to_string(port), "--name", "E2E"},
                     {{"HOME", home.path().string()}});
  ASSERT_TRUE(host.waitForOutput("&os=linux", 10s)) << host.errorOutput();
  EXPECT_THAT(host.output(), HasSubstr("Nimbrel host 1.0.0 - 'E2E' listening on port " +
                                       std::to_string(port) + "\n"));

  std::smatch key;
  const std::string output = host.output();
  ASSERT_TRUE(std::regex_search(output, key, std::regex("&k=([A-Za-z0-9_-]{43})&")));
  std::string standard = key[1];
  for (char& c : standard) c = c == '-' ? '+' : c == '_' ? '/' : c;
  const Bytes pairingKey = base64Decode(standard + "=").value();

  test::IoRunner io;
  const std::string url = "ws://127.0.0.1:" + std::to_string(port) + "/";
  std::shared_ptr<WebSocketTransport> client;
  const std::vector<std::string> commands = {
      R"({"t":"move","x":0.5,"y":0.5})",
      R"({"t":"btn","b":"left","down":true})",
      R"({"t":"btn","b":"left","down":false,"x":0.25,"y":0.25})",
      R"({"t":"click","n":2,"b":"right"})",
      R"({"t":"click","n":5})",
      R"({"t":"scroll","dx":0,"dy":-3.5})",
      R"({"t":"key","k":"z","mods":["a","b","c","d","e","f"]})",
      R"({"t":"bogus"})",
      R"({"t":"text","s":")" + std::string(20005, 'z') + "\"}",
  };
  const json::object info = io.run([](std::shared_ptr<WebSocketTransport>& t, std::string address,
                                      Bytes k, std::vector<std::string> toSend)
                                       -> asio::awaitable<json::object> {
    // The listener may still be coming up when the link is printed. A transport that failed
    // to open is spent: each attempt dials afresh.
    for (int attempt = 0;; ++attempt) {
      try {
        t = WebSocketTransport::dial(co_await asio::this_coro::executor, address, "e2e");
        co_await t->open(5);
        break;
      } catch (const TransportError&) {
        if (attempt == 50) throw;
      }
      asio::steady_timer pause(co_await asio::this_coro::executor, std::chrono::milliseconds(100));
      co_await pause.async_wait(asio::use_awaitable);
    }
    auto channel = co_await test::handshakeAsClient(t, k);
    for (;;) {
      const Bytes plain = channel->open((co_await t->receiveFrame()).data);
      if (plain[0] != 0x01) continue;
      auto message = json::parse(asText(ByteView(plain).subspan(1))).as_object();
      if (message.at("t") == "info") {
        for (const std::string& command : toSend) {
          co_await t->sendAndWait(channel->seal(asBytes("\x01" + command)));
        }
        co_return message;
      }
    }
  }(client, url, pairingKey, commands));
  EXPECT_EQ(info.at("os"), "test");
  EXPECT_EQ(info.at("via"), "direct:127.0.0.1");
  EXPECT_EQ(info.at("monitors").as_array().size(), 1u);
  EXPECT_EQ(info.at("monitors").at(0).at("w"), 1600);
  const std::string expected =
      "input ('move', 800, 500)\n"
      "input ('button', 'left', True)\n"
      "input ('move', 400, 250)\n"
      "input ('button', 'left', False)\n"
      "input ('button', 'right', True)\ninput ('button', 'right', False)\n"
      "input ('button', 'right', True)\ninput ('button', 'right', False)\n"
      "input ('button', 'left', True)\ninput ('button', 'left', False)\n"
      "input ('button', 'left', True)\ninput ('button', 'left', False)\n"
      "input ('button', 'left', True)\ninput ('button', 'left', False)\n"
      "input ('scroll', 0.0, -3.5)\n"
      "input ('key', 'z', [\"a\", \"b\", \"c\", \"d\", \"e\"], 'press')\n"
      "input ('text', '" + std::string(20000, 'z') + "')\n";
  EXPECT_TRUE(host.waitForOutput(expected, 10s)) << host.output().substr(0, 3000);
  client->close();
  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(10s), 0);
}

}  // namespace
}  // namespace nimbrel
