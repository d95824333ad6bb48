// The listener and handshake under abuse: nuisance connections, floods of failures, and an
// oversized message.

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <filesystem>

#include "session/host_harness.hpp"
#include "support/log_capture.hpp"

namespace nimbrel {
namespace {

using namespace std::chrono_literals;
using tcp = boost::asio::ip::tcp;

std::size_t openDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

class RobustnessTest : public ::testing::Test {
 protected:
  // Opens a transport to the host and completes the handshake as a client.
  std::pair<std::shared_ptr<WebSocketTransport>, std::shared_ptr<SecureChannel>> goodClient() {
    auto transport = WebSocketTransport::dial(io_.executor(), host_.url(), "client");
    auto channel = io_.run([](std::shared_ptr<WebSocketTransport> t, Bytes key)
                               -> asio::awaitable<std::shared_ptr<SecureChannel>> {
      co_await t->open(5);
      co_return co_await test::handshakeAsClient(t, key);
    }(transport, host_.key()));
    EXPECT_TRUE(host_.nextResult().has_value());
    return {transport, channel};
  }

  tcp::endpoint endpoint() const {
    return {boost::asio::ip::make_address("127.0.0.1"), host_.port()};
  }

  test::LogCapture log_;
  AuthLimiter limiter_;
  HandshakeSettings settings_{10.0, &limiter_};
  test::HostHarness host_{settings_};
  test::IoRunner& io_ = host_.io();
};

TEST_F(RobustnessTest, NuisanceConnectionsDoNotHoldUpAGoodClient) {
  boost::asio::io_context raw;
  std::vector<tcp::socket> nuisances;
  for (int i = 0; i < 64; ++i) {
    tcp::socket& socket = nuisances.emplace_back(raw);
    socket.connect(endpoint());
    if (i % 3 == 1) {
      boost::asio::write(socket, boost::asio::buffer(std::string("\x16\x03\x01\xff garbage \x00\x01", 16)));
    } else if (i % 3 == 2) {
      boost::asio::write(socket, boost::asio::buffer(std::string(
                                     "GET / HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\n")));
    }
  }
  const auto start = std::chrono::steady_clock::now();
  auto [transport, channel] = goodClient();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "a good client waited on nuisances";
  EXPECT_TRUE(channel);
  transport->close();
}

TEST_F(RobustnessTest, AThousandFailedConnectionsLeaveNoDescriptorsBehind) {
  {
    auto [transport, channel] = goodClient();  // warms up whatever opens once per process
    transport->close();
  }
  std::this_thread::sleep_for(100ms);
  const std::size_t before = openDescriptors();

  {
    boost::asio::io_context raw;  // has descriptors of its own: gone before the count
    for (int i = 0; i < 700; ++i) {
      tcp::socket socket(raw);
      socket.connect(endpoint());
      if (i % 2 == 0) {
        boost::asio::write(socket, boost::asio::buffer(std::string("BREW / HTCPCP/1.0\r\n\r\n")));
      }
    }
  }
  // 300 WebSocket clients with a bad hello, 100 at a time.
  for (int batch = 0; batch < 3; ++batch) {
    std::vector<std::future<int>> clients;
    for (int i = 0; i < 100; ++i) {
      auto t = WebSocketTransport::dial(io_.executor(), host_.url(), "bad");
      clients.push_back(io_.start([](std::shared_ptr<WebSocketTransport> c) -> asio::awaitable<int> {
        co_await c->open(5);
        c->send(R"({"t":"hello","v":2})");
        try {
          for (;;) co_await c->receiveFrame();
        } catch (const TransportError&) {
        }
        co_return 0;
      }(t)));
    }
    for (auto& client : clients) ASSERT_EQ(client.wait_for(20s), std::future_status::ready);
    for (int i = 0; i < 100; ++i) EXPECT_FALSE(host_.nextResult().has_value());
  }

  std::size_t after = openDescriptors();
  for (int i = 0; i < 100 && after > before; ++i) {
    std::this_thread::sleep_for(100ms);
    after = openDescriptors();
  }
  EXPECT_LE(after, before);
}

TEST_F(RobustnessTest, OversizedMessageClosesOnlyItsOwnConnection) {
  auto [bystander, bystanderChannel] = goodClient();
  auto [offender, offenderChannel] = goodClient();

  const bool offenderClosed = io_.run([](std::shared_ptr<WebSocketTransport> t) -> asio::awaitable<bool> {
    Bytes huge(40u << 20, 0x5a);
    try {
      co_await t->sendAndWait(std::move(huge));
      for (;;) co_await t->receiveFrame();
    } catch (const TransportError&) {
      co_return true;
    }
  }(offender));
  EXPECT_TRUE(offenderClosed);
  EXPECT_EQ(host_.nextEnding(), "The WebSocket message exceeded the locally configured limit");

  const Bytes sealed = bystanderChannel->seal(toBytes("\x01{\"t\":\"ping\"}"));
  const auto echoed = io_.run([](std::shared_ptr<WebSocketTransport> t, Bytes m) -> asio::awaitable<Bytes> {
    co_await t->sendAndWait(std::move(m));
    co_return (co_await t->receiveFrame()).data;
  }(bystander, sealed));
  EXPECT_EQ(echoed, sealed);
  // And a newcomer is still served.
  auto [late, lateChannel] = goodClient();
  EXPECT_TRUE(lateChannel);
  bystander->close();
  late->close();
}

}  // namespace
}  // namespace nimbrel
