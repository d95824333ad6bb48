// nimbrel-client reaching the real host through the relay: the host binary listens on loopback,
// a small bridge plays the host's side of the relay (its control connection, and for each
// announced session a session socket joined to the host's own listener), and the client finds
// the host by its link's id in the account, claims the link's code when it carries one, and
// connects with --via-relay.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <regex>
#include <thread>

#include "cloud_server/cloud_test_support.hpp"
#include "support/process.hpp"

namespace nimbrel::cloud::test {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace json = boost::json;
using tcp = asio::ip::tcp;
using ::testing::HasSubstr;
using nimbrel::test::Process;
using WebSocket = websocket::stream<beast::tcp_stream>;

asio::awaitable<std::shared_ptr<WebSocket>> dial(std::uint16_t port, std::string target,
                                                 std::string bearer) {
  auto ws = std::make_shared<WebSocket>(co_await asio::this_coro::executor);
  co_await beast::get_lowest_layer(*ws).async_connect(
      tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), asio::use_awaitable);
  ws->read_message_max(64 << 20);
  if (!bearer.empty()) {
    ws->set_option(websocket::stream_base::decorator([bearer](websocket::request_type& r) {
      r.set(beast::http::field::authorization, "Bearer " + bearer);
    }));
  }
  co_await ws->async_handshake("127.0.0.1", target, asio::use_awaitable);
  co_return ws;
}

asio::awaitable<void> pump(std::shared_ptr<WebSocket> from, std::shared_ptr<WebSocket> to) {
  beast::flat_buffer buffer;
  boost::system::error_code error;
  for (;;) {
    co_await from->async_read(buffer, asio::redirect_error(asio::use_awaitable, error));
    if (error) break;
    to->text(from->got_text());
    co_await to->async_write(buffer.data(), asio::redirect_error(asio::use_awaitable, error));
    if (error) break;
    buffer.consume(buffer.size());
  }
  beast::get_lowest_layer(*to).close();
}

// The host's side of the relay, joined to the host's direct listener.
class Bridge {
 public:
  Bridge(std::uint16_t relayPort, std::string relayToken, std::uint16_t hostPort) {
    asio::co_spawn(io_.executor(), run(relayPort, relayToken, hostPort), asio::detached);
  }
  ~Bridge() { io_.stop(); }

 private:
  static asio::awaitable<void> run(std::uint16_t relayPort, std::string token, std::uint16_t hostPort) {
    auto control = co_await dial(relayPort, "/v2/host", token);
    beast::flat_buffer buffer;
    for (;;) {
      co_await control->async_read(buffer, asio::use_awaitable);
      const auto incoming = json::parse(beast::buffers_to_string(buffer.data())).as_object();
      buffer.consume(buffer.size());
      const std::string sid(incoming.at("sid").as_string());
      asio::co_spawn(co_await asio::this_coro::executor,
                     [](std::uint16_t relay, std::string t, std::string s,
                        std::uint16_t host) -> asio::awaitable<void> {
                       auto relayed = co_await dial(relay, "/v2/host/session/" + s, t);
                       auto direct = co_await dial(host, "/", "");
                       auto executor = co_await asio::this_coro::executor;
                       asio::co_spawn(executor, pump(relayed, direct), asio::detached);
                       co_await pump(direct, relayed);
                     }(relayPort, token, sid, hostPort),
                     asio::detached);
    }
  }

  IoRunner io_;
};

class ClientThroughRelay : public ::testing::Test {
 protected:
  void SetUp() override {
    std::uint16_t port = 0;
    {
      asio::io_context io;
      tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
      port = probe.local_endpoint().port();
    }
    hostPort_ = port;
    host_ = std::make_unique<Process>(
        NIMBREL_HOST_BINARY,
        std::vector<std::string>{"--headless", "--dry-run", "--no-cloud", "--no-bonjour",
                                 "--synthetic", "cursor", "--home", (home_ / "data").string(),
                                 "--port", std::to_string(port)},
        std::map<std::string, std::optional<std::string>>{{"HOME", home_.path().string()}});
    ASSERT_TRUE(host_->waitForOutput("&os=linux", 10s)) << host_->errorOutput();
    std::smatch match;
    const std::string out = host_->output();
    ASSERT_TRUE(std::regex_search(out, match, std::regex("nimbrel://pair\\?[^\\s]+")));
    link_ = match[0];
    // No address: only the relay can reach it.
    link_ = std::regex_replace(link_, std::regex("&a=[^&]*"), "&a=");
    ASSERT_TRUE(std::regex_search(link_, match, std::regex("[?&]id=([^&]+)")));
    hostId_ = match[1];
  }

  Process client(const std::string& link) {
    return Process(NIMBREL_CLIENT_BINARY,
                   {link, "--cloud", "http://127.0.0.1:" + std::to_string(service_.port()),
                    "--account-token", service_.accountToken("alice"), "--via-relay",
                    "--snapshot", (home_ / "shot.png").string(), "--seconds", "1.5"});
  }

  TempDir home_;
  std::unique_ptr<Process> host_;
  std::uint16_t hostPort_ = 0;
  std::string link_;
  std::string hostId_;
  Service service_;
};

TEST_F(ClientThroughRelay, FindsTheHostByItsLinkIdAndGetsItsPicture) {
  LogWaiter log;
  const auto host = service_.enrolAndClaim(hostId_);
  Bridge bridge(service_.port(), service_.relayToken(host.token), hostPort_);
  ASSERT_TRUE(log.waitFor("host " + host.id + " online"));
  Process run = client(link_);
  ASSERT_EQ(run.wait(30s), 0) << run.errorOutput();
  EXPECT_GT(std::filesystem::file_size(home_ / "shot.png"), 100u);
  ASSERT_TRUE(log.waitFor("bytes to the client"));
}

TEST_F(ClientThroughRelay, ClaimsTheLinksCodeThenWaitsForTheHost) {
  LogWaiter log;
  const auto enrolled =
      http(service_.port(), "POST", "/v1/enroll", json::serialize(json::object{{"local_id", hostId_}}));
  ASSERT_EQ(enrolled.status, 200);
  const std::string code(enrolled.json().at("code").as_string());
  const std::string poll = json::serialize(json::object{{"poll_token", enrolled.json().at("poll_token")}});
  Process run = client(link_ + "&c=" + code);
  // The host's side: it polls as a host does until the client has claimed it, then joins.
  HttpResult polled;
  for (int i = 0; i < 300; ++i) {
    polled = http(service_.port(), "POST", "/v1/enroll/poll", poll);
    if (polled.status != 202) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(polled.status, 200) << polled.body << run.errorOutput();
  Bridge bridge(service_.port(),
                service_.relayToken(std::string(polled.json().at("host_token").as_string())), hostPort_);
  ASSERT_EQ(run.wait(60s), 0) << run.errorOutput();
  EXPECT_THAT(run.errorOutput(), HasSubstr("claimed"));
  EXPECT_GT(std::filesystem::file_size(home_ / "shot.png"), 100u);
}

TEST_F(ClientThroughRelay, AnOfflineHostIsReportedInPlainWords) {
  service_.enrolAndClaim(hostId_);
  Process run = client(link_);
  EXPECT_EQ(run.wait(30s), 1);
  EXPECT_THAT(run.errorOutput(), HasSubstr("Computer is offline"));
}

}  // namespace
}  // namespace nimbrel::cloud::test
