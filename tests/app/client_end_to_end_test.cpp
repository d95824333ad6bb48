// nimbrel-client against the real host binary: refusals in plain words, and a snapshot of what
// the client's canvas holds after the square moved.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <regex>

#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

const std::string kHost = NIMBREL_HOST_BINARY;
const std::string kClient = NIMBREL_CLIENT_BINARY;

std::uint16_t freePort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

struct Rgb {
  int r, g, b;
};

struct Picture {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
  Rgb at(int x, int y) const {
    const std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
    return {p[0], p[1], p[2]};
  }
};

Picture readPng(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Picture picture;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return picture;
  image.format = PNG_FORMAT_RGB;
  picture.width = static_cast<int>(image.width);
  picture.height = static_cast<int>(image.height);
  picture.rgb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr)) picture.width = 0;
  return picture;
}

class ClientEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = freePort();
    host_ = std::make_unique<test::Process>(
        kHost, std::vector<std::string>{"--headless", "--dry-run", "--no-cloud", "--no-bonjour",
                                        "--synthetic", "cursor", "--home", (home_ / "data").string(),
                                        "--port", std::to_string(port_)},
        std::map<std::string, std::optional<std::string>>{{"HOME", home_.path().string()}});
    ASSERT_TRUE(host_->waitForOutput("&os=linux", 10s)) << host_->errorOutput();
    std::smatch key;
    const std::string out = host_->output();
    ASSERT_TRUE(std::regex_search(out, key, std::regex("&k=([A-Za-z0-9_-]{43})&")));
    key_ = key[1];
  }

  test::TempDir home_;
  std::uint16_t port_ = 0;
  std::unique_ptr<test::Process> host_;
  std::string key_;
};

TEST_F(ClientEndToEnd, CanvasShowsTheSquareWhereTheHostDrewIt) {
  const std::string snapshot = (home_ / "snapshot.png").string();
  test::Process client(kClient, {"--host", "127.0.0.1", "--port", std::to_string(port_), "--key",
                                 key_, "--command", R"({"t":"move","x":0.5,"y":0.5})",
                                 "--snapshot", snapshot, "--seconds", "1.5"});
  ASSERT_EQ(client.wait(20s), 0) << client.errorOutput();
  EXPECT_THAT(client.output(), HasSubstr(R"("os":"test")"));
  const Picture picture = readPng(snapshot);
  ASSERT_EQ(picture.width, 1280);
  ASSERT_EQ(picture.height, 800);
  // The pointer at (800, 500) puts the square's corner there; the layer is scaled by 0.8.
  const Rgb inside = picture.at(640 + 48, 400 + 48);
  EXPECT_GT(inside.r, 230);
  EXPECT_GT(inside.b, 230);
  // Elsewhere the gradient: blue 40 + 160 x / 1599, green 30 + 90 y / 999, red 60.
  for (auto [x, y] : {std::pair{100, 100}, {1200, 700}, {640, 300}}) {
    const Rgb p = picture.at(x, y);
    const double sx = x / 0.8, sy = y / 0.8;
    EXPECT_NEAR(p.b, 40 + 160 * sx / 1599, 8) << x << "," << y;
    EXPECT_NEAR(p.g, 30 + 90 * sy / 999, 8) << x << "," << y;
    EXPECT_NEAR(p.r, 60, 8) << x << "," << y;
  }
  // The square left its first place, the top-left corner (the pointer starts at 0, 0).
  EXPECT_LT(picture.at(48, 48).r, 120);
}

// --move-latency moves the square and times every move to the next patch: the summary counts
// the moves, and each measure's patch arrived before it was applied.
TEST_F(ClientEndToEnd, MoveLatencyTimesTheMovesToTheirPatches) {
  test::Process client(kClient, {"--host", "127.0.0.1", "--port", std::to_string(port_), "--key",
                                 key_, "--move-latency", "--seconds", "2"});
  ASSERT_EQ(client.wait(20s), 0) << client.errorOutput();
  const std::string out = client.output();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      out, m,
      std::regex(R"(move-to-patch p50 ([\d.]+) ms p95 ([\d.]+) ms \((\d+) moves, received p50 ([\d.]+) ms\))")))
      << out;
  const double p50 = std::stod(m[1]), p95 = std::stod(m[2]), received = std::stod(m[4]);
  // Moves go 60 times a second on average; some of the last ones are still waiting at the end.
  EXPECT_GE(std::stoi(m[3]), 60) << out;
  EXPECT_GT(p50, 0);
  EXPECT_LE(p50, p95);
  EXPECT_LE(received, p50);
}

TEST_F(ClientEndToEnd, RefusalsAreExplained) {
  test::Process wrongKey(kClient, {"--host", "127.0.0.1", "--port", std::to_string(port_), "--key",
                                   std::string(43, 'A'), "--seconds", "1"});
  EXPECT_EQ(wrongKey.wait(20s), 1);
  EXPECT_THAT(wrongKey.errorOutput(), HasSubstr("wrong pairing key"));

  test::Process nobody(kClient, {"--host", "127.0.0.1", "--port", std::to_string(freePort()),
                                 "--key", key_, "--seconds", "1"});
  EXPECT_EQ(nobody.wait(20s), 1);
  EXPECT_THAT(nobody.errorOutput(), HasSubstr("couldn't reach the host"));
  EXPECT_THAT(nobody.errorOutput(), HasSubstr("Connection refused"));

  test::Process noKey(kClient, {"--host", "127.0.0.1"});
  EXPECT_EQ(noKey.wait(20s), 2);
  EXPECT_THAT(noKey.errorOutput(), HasSubstr("usage: nimbrel-client"));
}

}  // namespace
}  // namespace nimbrel

namespace nimbrel {
namespace {

TEST_F(ClientEndToEnd, EightSessionsAtOnceEachGetTheirFrames) {
  std::vector<std::unique_ptr<test::Process>> clients;
  for (int i = 0; i < 8; ++i) {
    clients.push_back(std::make_unique<test::Process>(
        kClient, std::vector<std::string>{"--host", "127.0.0.1", "--port", std::to_string(port_),
                                          "--key", key_, "--name", "client " + std::to_string(i),
                                          "--snapshot", (home_ / ("s" + std::to_string(i) + ".png")).string(),
                                          "--seconds", "2"}));
  }
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(clients[i]->wait(30s), 0) << i << ": " << clients[i]->errorOutput();
    const Picture picture = readPng((home_ / ("s" + std::to_string(i) + ".png")).string());
    EXPECT_EQ(picture.width, 1280) << i;
  }
  // Session lines go to the system log only; standard output has the controller's lines.
  EXPECT_TRUE(host_->running());
  EXPECT_NE(host_->output().find("' listening on port "), std::string::npos) << host_->output();
  EXPECT_EQ(host_->output().find("session started"), std::string::npos) << host_->output();
  host_->signal(SIGTERM);
  EXPECT_EQ(host_->wait(10s), 0);
}

}  // namespace
}  // namespace nimbrel
