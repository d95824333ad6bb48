// The real host under a stranger's floods on loopback: oversized hellos are refused from
// their header (1009) instead of being read, and a crowd of idle sockets from one address
// neither exhausts the host's descriptors nor keeps a paired device out. The host starts with
// a small descriptor limit, as it often has, and raises it itself.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <filesystem>
#include <regex>
#include <thread>

#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel {
namespace {

using namespace std::chrono_literals;
using tcp = boost::asio::ip::tcp;
using ::testing::HasSubstr;

std::uint16_t freePort() {
  boost::asio::io_context io;
  tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

class HostFlood : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = freePort();
    host_ = std::make_unique<test::Process>(
        "/usr/bin/prlimit",
        std::vector<std::string>{"--nofile=256:20000", "--", NIMBREL_HOST_BINARY, "--headless",
                                 "--dry-run", "--no-cloud", "--no-bonjour", "--home",
                                 (home_ / "data").string(), "--port", std::to_string(port_)},
        std::map<std::string, std::optional<std::string>>{{"HOME", home_.path().string()}});
    ASSERT_TRUE(host_->waitForOutput("&os=linux", 10s)) << host_->errorOutput();
    std::smatch key;
    const std::string out = host_->output();
    ASSERT_TRUE(std::regex_search(out, key, std::regex("&k=([A-Za-z0-9_-]{43})&")));
    key_ = key[1];
    // A fixed port's link is printed before the listener has bound it.
    boost::asio::io_context io;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
      tcp::socket probe(io);
      boost::system::error_code error;
      probe.connect({boost::asio::ip::make_address("127.0.0.1"), port_}, error);
      if (!error) break;
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the host never listened";
      std::this_thread::sleep_for(10ms);
    }
  }

  // A paired device's whole session: handshake, "info", a second of frames.
  void expectThePairedDeviceGetsIn() {
    test::Process client(NIMBREL_CLIENT_BINARY, {"--host", "127.0.0.1", "--port",
                                                 std::to_string(port_), "--key", key_,
                                                 "--seconds", "1"});
    ASSERT_EQ(client.wait(30s), 0) << client.errorOutput();
    EXPECT_THAT(client.output(), HasSubstr(R"("t":"info")"));
  }

  std::size_t hostDescriptors() const {
    const std::filesystem::path fds = "/proc/" + std::to_string(host_->pid()) + "/fd";
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(fds),
                                                  std::filesystem::directory_iterator()));
  }

  // A socket from `source` (a loopback address) to the host.
  tcp::socket dial(boost::asio::io_context& io, const char* source) const {
    tcp::socket socket(io);
    socket.open(tcp::v4());
    socket.bind({boost::asio::ip::make_address(source), 0});
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), port_});
    const timeval patience{20, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    return socket;
  }

  test::TempDir home_;
  std::uint16_t port_ = 0;
  std::unique_ptr<test::Process> host_;
  std::string key_;
};

TEST_F(HostFlood, OversizedHellosAreRefusedFromTheirHeader) {
  boost::asio::io_context io;
  std::vector<tcp::socket> sockets;
  for (int i = 0; i < 12; ++i) {
    // Each from an address of its own, so that none is pushed out by the others.
    const std::string source = "127.0.0." + std::to_string(10 + i);
    tcp::socket& socket = sockets.emplace_back(dial(io, source.c_str()));
    boost::asio::write(socket, boost::asio::buffer(std::string(
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")));
    std::string answer;
    boost::asio::read_until(socket, boost::asio::dynamic_buffer(answer), "\r\n\r\n");
    ASSERT_THAT(answer, ::testing::StartsWith("HTTP/1.1 101")) << answer;
    // A masked text frame that says 32 MiB follow, and the first 64 KiB of them.
    std::string frame = {'\x81', '\xff', 0, 0, 0, 0, '\x02', 0, 0, 0, 1, 2, 3, 4};
    frame += std::string(64 << 10, 'x');
    boost::system::error_code ignored;
    boost::asio::write(socket, boost::asio::buffer(frame), ignored);
  }
  // Each is closed with 1009 without the host waiting for (and holding) the rest.
  for (tcp::socket& socket : sockets) {
    unsigned char close[4] = {};
    boost::system::error_code error;
    boost::asio::read(socket, boost::asio::buffer(close), error);
    ASSERT_FALSE(error) << error.message();
    EXPECT_EQ(close[0], 0x88);
    EXPECT_EQ((close[2] << 8) | close[3], 1009);
  }
  expectThePairedDeviceGetsIn();
}

TEST_F(HostFlood, AThousandIdleSocketsKeepNobodyOutAndLeakNothing) {
  expectThePairedDeviceGetsIn();  // whatever a first session opens for good is open now
  const std::size_t before = hostDescriptors();
  boost::asio::io_context io;
  std::vector<tcp::socket> idle;
  for (int i = 0; i < 1000; ++i) idle.push_back(dial(io, "127.0.0.3"));
  expectThePairedDeviceGetsIn();
  idle.clear();
  // Every descriptor comes back once the stranger's sockets are gone.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (hostDescriptors() > before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_LE(hostDescriptors(), before);
  EXPECT_TRUE(host_->running());
}

}  // namespace
}  // namespace nimbrel
