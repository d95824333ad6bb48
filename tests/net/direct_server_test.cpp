#include "net/direct_server.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <thread>

#include <condition_variable>

#include "support/io_runner.hpp"

namespace nimbrel {
namespace {

using namespace std::chrono_literals;
using test::IoRunner;
using tcp = boost::asio::ip::tcp;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// A server on the io thread whose states and connections the test can wait for.
class ServerProbe {
 public:
  explicit ServerProbe(IoRunner& io) {
    server = DirectServer::create(io.executor(), [this](std::shared_ptr<WebSocketTransport> t) {
      std::lock_guard lock(mutex_);
      connections_.push_back(std::move(t));
      changed_.notify_all();
    });
    server->setStateHandler([this](const std::string& state) {
      std::lock_guard lock(mutex_);
      states_.push_back(state);
      changed_.notify_all();
    });
  }

  // The next state reported (after the ones already taken).
  std::string nextState() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return states_.size() > takenStates_; });
    return states_.size() > takenStates_ ? states_[takenStates_++] : "(no state)";
  }

  std::shared_ptr<WebSocketTransport> nextConnection(std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return connections_.size() > takenConnections_; });
    return connections_.size() > takenConnections_ ? connections_[takenConnections_++] : nullptr;
  }

  std::shared_ptr<DirectServer> server;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> states_;
  std::vector<std::shared_ptr<WebSocketTransport>> connections_;
  std::size_t takenStates_ = 0;
  std::size_t takenConnections_ = 0;
};

// Dials the server, opens both ends and checks that a message gets across.
void connectAndGreet(IoRunner& io, ServerProbe& probe, const std::string& host,
                     const std::string& expectedLabel) {
  auto client = WebSocketTransport::dial(
      io.executor(), "ws://" + host + ":" + std::to_string(probe.server->localPort()) + "/", "c");
  auto opened = io.start(client->open(5));
  auto accepted = probe.nextConnection();
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->label(), expectedLabel);
  io.run(accepted->open(5));
  opened.get();
  client->send("hi");
  EXPECT_EQ(io.run(accepted->receiveFrame()).text, "hi");
  client->close();
  accepted->close();
}

bool ipv6LoopbackAvailable() {
  boost::asio::io_context io;
  tcp::acceptor acceptor(io);
  boost::system::error_code error;
  acceptor.open(tcp::v6(), error);
  if (!error) acceptor.bind({boost::asio::ip::make_address("::1"), 0}, error);
  return !error;
}

TEST(DirectServer, RefusesPortsOutsideTheRange) {
  IoRunner io;
  ServerProbe probe(io);
  for (std::int64_t port : {-1LL, 65536LL, 9223372036854775807LL}) {
    try {
      probe.server->start(port, "Host", "abcd1234", false);
      ADD_FAILURE() << port;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "bad port " + std::to_string(port));
    }
  }
}

TEST(DirectServer, ListensOnBothFamiliesAndLabelsPeers) {
  IoRunner io;
  ServerProbe probe(io);
  probe.server->start(0, "Host", "abcd1234", false);
  ASSERT_EQ(probe.nextState(), "listening");
  ASSERT_NE(probe.server->localPort(), 0);
  connectAndGreet(io, probe, "127.0.0.1", "direct:127.0.0.1");
  if (ipv6LoopbackAvailable()) connectAndGreet(io, probe, "[::1]", "direct:::1");
}

TEST(DirectServer, RestartsOnTheSamePortAndReportsAPortInUse) {
  IoRunner io;
  ServerProbe first(io);
  first.server->start(0, "Host", "abcd1234", false);
  ASSERT_EQ(first.nextState(), "listening");
  const std::uint16_t port = first.server->localPort();
  connectAndGreet(io, first, "127.0.0.1", "direct:127.0.0.1");

  first.server->start(port, "Renamed", "abcd1234", false);
  ASSERT_EQ(first.nextState(), "listening");
  EXPECT_EQ(first.server->localPort(), port);
  connectAndGreet(io, first, "127.0.0.1", "direct:127.0.0.1");

  ServerProbe second(io);
  second.server->start(port, "Other", "ffff0000", false);
  EXPECT_EQ(second.nextState(), "failed: Address already in use");
  EXPECT_EQ(second.server->localPort(), 0);

  std::promise<void> stopped;
  first.server->stop([&] { stopped.set_value(); });
  stopped.get_future().wait();
  boost::asio::io_context raw;
  tcp::socket socket(raw);
  boost::system::error_code error;
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), port}, error);
  EXPECT_EQ(error, boost::asio::error::connection_refused);
}

TEST(DirectServer, AnswersPlainHttpWith426AndDropsUnfinishedUpgrades) {
  IoRunner io;
  ServerProbe probe(io);
  probe.server->setUpgradeTimeout(0.3);
  probe.server->start(0, "Host", "abcd1234", false);
  ASSERT_EQ(probe.nextState(), "listening");
  const tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"), probe.server->localPort());

  boost::asio::io_context raw;
  tcp::socket http(raw);
  http.connect(endpoint);
  boost::asio::write(http, boost::asio::buffer(std::string("GET /status HTTP/1.1\r\nHost: h\r\n\r\n")));
  std::string answer;
  boost::system::error_code error;
  boost::asio::read(http, boost::asio::dynamic_buffer(answer), error);  // until the server closes
  EXPECT_THAT(answer, StartsWith("HTTP/1.1 426 Upgrade Required\r\n"));

  // The browser client's files, two on one kept-alive connection, then it closes as asked.
  tcp::socket browser(raw);
  browser.connect(endpoint);
  boost::asio::write(browser, boost::asio::buffer(std::string(
                                  "GET /?x=1 HTTP/1.1\r\nHost: h\r\n\r\n"
                                  "HEAD /app.css HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n")));
  std::string files;
  boost::asio::read(browser, boost::asio::dynamic_buffer(files), error);
  EXPECT_THAT(files, StartsWith("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"));
  EXPECT_THAT(files, HasSubstr("<canvas id=\"screen\""));
  EXPECT_THAT(files, HasSubstr("</html>\nHTTP/1.1 200 OK\r\nConnection: close\r\n"
                               "Content-Type: text/css; charset=utf-8\r\n"));
  EXPECT_THAT(files, Not(HasSubstr("#screen")));  // HEAD: headers only

  tcp::socket silent(raw);
  silent.connect(endpoint);
  boost::asio::write(silent, boost::asio::buffer(std::string("GET / HTTP/1.1\r\nHost: h\r\n")));
  const auto start = std::chrono::steady_clock::now();
  char byte;
  silent.read_some(boost::asio::buffer(&byte, 1), error);
  EXPECT_EQ(error, boost::asio::error::eof);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(probe.nextConnection(200ms));  // neither became a connection
}

// The upgrade request a browser sends from the page `origin` (none: a native client).
std::string upgradeRequest(std::uint16_t port, const char* origin) {
  std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                        "Sec-WebSocket-Version: 13\r\n";
  if (origin) request += std::string("Origin: ") + origin + "\r\n";
  return request + "\r\n";
}

TEST(DirectServer, AForeignPageGets403AndNoConnection) {
  IoRunner io;
  ServerProbe probe(io);
  probe.server->setAllowedOrigins({"https://desk.example.org"});
  probe.server->start(0, "Host", "abcd1234", false);
  ASSERT_EQ(probe.nextState(), "listening");
  const std::uint16_t port = probe.server->localPort();
  const tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"), port);
  const std::string own = "http://127.0.0.1:" + std::to_string(port);
  const struct {
    const char* origin;
    bool accepted;
  } cases[] = {
      {"http://evil.example", false},
      {"null", false},
      {nullptr, true},
      {own.c_str(), true},
      {"https://desk.example.org", true},
  };
  boost::asio::io_context raw;
  for (const auto& c : cases) {
    const char* label = c.origin ? c.origin : "(no origin)";
    tcp::socket socket(raw);
    socket.connect(endpoint);
    boost::asio::write(socket, boost::asio::buffer(upgradeRequest(port, c.origin)));
    auto accepted = probe.nextConnection(c.accepted ? 10s : 300ms);
    if (!c.accepted) {
      std::string answer;
      boost::system::error_code error;
      boost::asio::read(socket, boost::asio::dynamic_buffer(answer), error);
      EXPECT_THAT(answer, StartsWith("HTTP/1.1 403 Forbidden\r\n")) << label;
      EXPECT_FALSE(accepted) << label;
      continue;
    }
    ASSERT_TRUE(accepted) << label;
    io.run(accepted->open(5));
    std::string answer(12, '\0');
    boost::asio::read(socket, boost::asio::buffer(answer));
    EXPECT_EQ(answer, "HTTP/1.1 101") << label;
    accepted->close();
  }
}

// A stranger opening many connections and saying nothing: each new one pushes out an older one
// of the same address, so another address still gets in, and every descriptor comes back.
TEST(DirectServer, IdleSocketsFromOneAddressKeepNobodyOutAndLeakNothing) {
  auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  IoRunner io;
  ServerProbe probe(io);
  probe.server->setUpgradeTimeout(600);  // only being pushed out ends an idle connection here
  probe.server->start(0, "Host", "abcd1234", false);
  ASSERT_EQ(probe.nextState(), "listening");
  const std::uint16_t port = probe.server->localPort();
  boost::asio::io_context raw;
  std::vector<tcp::socket> idle;
  idle.emplace_back(raw).open(tcp::v4());  // the context's own descriptors open here
  idle.clear();
  const auto before = openDescriptors();

  for (int i = 0; i < 1000; ++i) {
    tcp::socket& socket = idle.emplace_back(raw);
    socket.open(tcp::v4());
    socket.bind({boost::asio::ip::make_address("127.0.0.3"), 0});
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
  }
  // The oldest were pushed out: the server closed them.
  char byte;
  boost::system::error_code error;
  const timeval patience{10, 0};
  ::setsockopt(idle.front().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  idle.front().read_some(boost::asio::buffer(&byte, 1), error);
  EXPECT_EQ(error, boost::asio::error::eof);
  const auto waitFor = [](auto done) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    return done();
  };
  EXPECT_TRUE(waitFor([&] { return probe.server->waitingConnections() <= AdmissionLimits{}.perAddress; }))
      << probe.server->waitingConnections();

  connectAndGreet(io, probe, "127.0.0.1", "direct:127.0.0.1");
  idle.clear();
  EXPECT_TRUE(waitFor([&] { return openDescriptors() <= before; }))
      << openDescriptors() << " descriptors open, " << before << " before";
  EXPECT_TRUE(waitFor([&] { return probe.server->waitingConnections() == 0; }));
}

}  // namespace
}  // namespace nimbrel
