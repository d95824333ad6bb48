// A whole session over loopback: the real server, handshake, channel and streamer, a recording
// input back-end and the synthetic screen; the client's side is written here.

#include "session/host_session.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/json.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>

#include "capture/synthetic_screen_source.hpp"
#include "input/null_input.hpp"
#include "net/direct_server.hpp"
#include "session/host_harness.hpp"
#include "support/io_runner.hpp"
#include "support/log_capture.hpp"

namespace nimbrel {
namespace {

namespace json = boost::json;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

// The null back-end, plus a count of releaseAll calls; waits for calls without polling.
class RecordingInput final : public InputBackend {
 public:
  RecordingInput() : inner_("test", [this](const std::string&) { changed(); }) {}

  // Waits until `holds` is true for the recorded calls (or 10 s pass); the calls.
  template <typename F>
  std::vector<std::string> waitFor(F holds) {
    std::unique_lock lock(lock_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return holds(inner_.calls()); });
    return inner_.calls();
  }
  std::string osName() const override { return inner_.osName(); }
  Point position() override { return inner_.position(); }
  void move(double x, double y) override { inner_.move(x, y); }
  void button(MouseButton b, bool down) override { inner_.button(b, down); }
  void scroll(double dx, double dy) override { inner_.scroll(dx, dy); }
  void key(const std::string& k, const std::vector<std::string>& m, const std::string& a) override {
    inner_.key(k, m, a);
  }
  void text(const std::string& t) override { inner_.text(t); }
  std::string getClip() override { return inner_.getClip(); }
  void setClip(const std::string& t) override { inner_.setClip(t); }
  std::optional<Rect> caret() override { return std::nullopt; }
  void releaseAll() override {
    ++releases;
    changed();
  }
  void setPointerListener(PointerListener listener) override {
    inner_.setPointerListener(std::move(listener));
  }
  std::vector<std::string> calls() const { return inner_.calls(); }
  std::atomic<int> releases{0};

 private:
  void changed() {
    { std::lock_guard guard(lock_); }  // a waiter is either waiting or will see the change
    changed_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable changed_;
  NullInput inner_;
};

class HostSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = randomBytes(32);
    server_ = DirectServer::create(io_.executor(), [this](std::shared_ptr<WebSocketTransport> t) {
      HostSession::Setup setup;
      setup.via = "direct:" + t->remoteHost();
      setup.transport = t;
      setup.identity = {"Test Host", "0123456789abcdef", hexEncode(key_)};
      setup.input = input_;
      setup.source = std::make_shared<SyntheticScreenSource>(1600, 1000);
      setup.workers = workers_.get_executor();
      auto session = HostSession::create(std::move(setup));
      asio::co_spawn(io_.executor(), [](std::shared_ptr<HostSession> s,
                                        std::shared_ptr<WebSocketTransport> transport)
                                         -> asio::awaitable<void> {
        co_await transport->open(10);
        co_await s->run();
      }(session, t), [this](std::exception_ptr) {
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
      });
    });
    const std::uint16_t port = test::listenOnAnyPort(*server_, "Test Host", "0123456789abcdef");
    client_ = WebSocketTransport::dial(io_.executor(), "ws://127.0.0.1:" + std::to_string(port) + "/",
                                       "client");
    channel_ = io_.run([](std::shared_ptr<WebSocketTransport> t, Bytes key)
                           -> asio::awaitable<std::shared_ptr<SecureChannel>> {
      co_await t->open(5);
      co_return co_await test::handshakeAsClient(t, key);
    }(client_, key_));
  }

  void TearDown() override {
    client_->close();
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 5s, [&] { return ended_; });
    lock.unlock();
    io_.stop();
    server_.reset();
    workers_.join();
  }

  void send(const json::object& command) {
    const std::string text = "\x01" + json::serialize(command);
    client_->queueBinary(channel_->seal(asBytes(text)), nullptr);
  }

  // The next JSON message of type `type` ("frame": the next frame's header); frames are
  // acknowledged on the way.
  json::object next(const std::string& type) {
    return io_.run([](HostSessionTest* self, std::string wanted) -> asio::awaitable<json::object> {
      for (;;) {
        const auto message = co_await self->client_->receiveFrame();
        const Bytes plain = self->channel_->open(message.data);
        if (plain[0] == 0x02) {
          const std::uint32_t length = plain[1] << 24 | plain[2] << 16 | plain[3] << 8 | plain[4];
          const auto header = json::parse(asText(ByteView(plain).subspan(5, length))).as_object();
          self->frames_.push_back(header);
          self->send({{"t", "ack"}, {"id", header.at("id")}});
          if (wanted == "frame") co_return header;
          continue;
        }
        auto object = json::parse(asText(ByteView(plain).subspan(1))).as_object();
        if (object.at("t").as_string() == wanted) co_return object;
      }
    }(this, type));
  }

  // Waits until the back-end has recorded `count` calls.
  std::vector<std::string> calls(std::size_t count) {
    return input_->waitFor([count](const std::vector<std::string>& calls) { return calls.size() >= count; });
  }

  test::LogCapture log_;
  asio::thread_pool workers_{2};
  test::IoRunner io_;
  Bytes key_;
  std::shared_ptr<RecordingInput> input_ = std::make_shared<RecordingInput>();
  std::shared_ptr<DirectServer> server_;
  std::shared_ptr<WebSocketTransport> client_;
  std::shared_ptr<SecureChannel> channel_;
  std::vector<json::object> frames_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool ended_ = false;
};

TEST_F(HostSessionTest, AnnouncesItselfAndStreams) {
  const json::object info = next("info");
  EXPECT_EQ(info, json::parse(R"({"t":"info","host":"Test Host","hid":"0123456789abcdef",
      "os":"test","monitors":[{"i":0,"w":1600,"h":1000,"x":0,"y":0,"primary":true}],
      "monitor":0,"via":"direct:127.0.0.1"})").as_object());
  next("cursor");
  if (frames_.empty()) next("frame");
  ASSERT_FALSE(frames_.empty());
  EXPECT_EQ(frames_.front().at("k"), "full");
  EXPECT_EQ(frames_.front().at("id"), 1);
}

TEST_F(HostSessionTest, InputCommandsBecomeExactlyTheseCalls) {
  next("info");
  const std::string longText(25000, 'a');
  const std::vector<json::object> commands = {
      {{"t", "move"}, {"x", 0.5}, {"y", 0.25}},
      {{"t", "move"}},
      {{"t", "move"}, {"x", 1.0}, {"y", "0.5"}},
      {{"t", "btn"}, {"b", "back"}, {"down", true}},
      {{"t", "btn"}, {"b", "right"}, {"down", true}, {"x", 0.1}, {"y", 0.1}},
      {{"t", "btn"}, {"b", "right"}},
      {{"t", "click"}, {"n", 5}},
      {{"t", "click"}, {"b", "middle"}, {"n", "2"}},
      {{"t", "scroll"}, {"dx", 1}, {"dy", -2.5}},
      {{"t", "key"}, {"k", "c"}, {"mods", json::array{"a", 1, "b", "c", "d", "e", "f"}}},
      {{"t", "key"}, {"k", "Return"}, {"a", "down"}},
      {{"t", "no such command"}},
      {{"t", "text"}, {"s", longText}},
  };
  for (const auto& command : commands) send(command);
  const std::vector<std::string> expected = {
      "'move', 800, 250",
      "'move', 0, 0",
      "'move', 1599, 500",
      "'move', 160, 100",
      "'button', 'right', True",
      "'button', 'right', False",
      "'button', 'left', True", "'button', 'left', False",
      "'button', 'left', True", "'button', 'left', False",
      "'button', 'left', True", "'button', 'left', False",
      "'button', 'middle', True", "'button', 'middle', False",
      "'scroll', 1.0, -2.5",
      "'key', 'c', [\"a\", \"b\", \"c\", \"d\", \"e\"], 'press'",
      "'key', 'Return', [], 'down'",
      "'text', '" + std::string(20000, 'a') + "'",
  };
  EXPECT_EQ(calls(expected.size()), expected);
}

TEST_F(HostSessionTest, RepliesToPingClipAndMonitorCommands) {
  next("info");
  send({{"t", "ping"}, {"ts", 12.5}});
  EXPECT_EQ(next("pong").at("ts"), 12.5);
  send({{"t", "ping"}});
  EXPECT_TRUE(next("pong").at("ts").is_null());

  std::string clip;
  for (int i = 0; i < 150000; ++i) clip += i % 2 ? "e\u0301" : "x";  // an accent as a mark
  send({{"t", "setclip"}, {"text", clip}});
  send({{"t", "getclip"}});
  const std::string got(next("clip").at("text").as_string());
  // 100,000 characters, 50,000 of them a letter and its mark: 200,000 bytes.
  EXPECT_EQ(got, clip.substr(0, 200000));

  send({{"t", "mon"}, {"i", 1}});  // no such monitor: no answer
  send({{"t", "mon"}, {"i", 0}});
  EXPECT_EQ(next("info").at("monitor"), 0);
}

TEST_F(HostSessionTest, AReplayedMessageEndsTheSession) {
  next("info");
  const std::string ping = "\x01{\"t\":\"ping\"}";
  const Bytes sealed = channel_->seal(asBytes(ping));
  client_->queueBinary(sealed, nullptr);
  next("pong");
  client_->queueBinary(sealed, nullptr);  // the same counter again
  {
    std::unique_lock lock(mutex_);
    ASSERT_TRUE(changed_.wait_for(lock, 5s, [&] { return ended_; }));
  }
  const auto lines = log_.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_THAT(lines[1], HasSubstr("session ended: harness (sent "));
}

TEST_F(HostSessionTest, EndsCleanlyWhenTheClientGoes) {
  next("info");
  client_->close();
  {
    std::unique_lock lock(mutex_);
    ASSERT_TRUE(changed_.wait_for(lock, 5s, [&] { return ended_; }));
  }
  input_->waitFor([this](const std::vector<std::string>&) { return input_->releases > 0; });
  EXPECT_EQ(input_->releases, 1);
  const auto lines = log_.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "session started: harness via direct:127.0.0.1");
  EXPECT_THAT(lines[1], HasSubstr("session ended: harness (sent "));
}

}  // namespace
}  // namespace nimbrel
