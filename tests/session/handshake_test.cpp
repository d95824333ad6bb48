#include "session/handshake.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/json.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>


#include "base/clock.hpp"
#include "net/direct_server.hpp"
#include "net/websocket_transport.hpp"
#include "session/base64.hpp"
#include "session/crypto.hpp"
#include "session/host_harness.hpp"
#include "support/io_runner.hpp"
#include "support/log_capture.hpp"

namespace nimbrel {
namespace {

namespace json = boost::json;
using namespace std::chrono_literals;
using test::IoRunner;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(AuthLimiter, DelaysGrowWithinAMinuteAndAgeOut) {
  double now = 1000;
  AuthLimiter limiter([&] { return now; });
  EXPECT_EQ(limiter.recordFailure(), 0.5);
  now += 10;
  EXPECT_EQ(limiter.recordFailure(), 1.0);
  now += 10;
  EXPECT_EQ(limiter.recordFailure(), 1.5);
  now += 61;  // all three have aged out
  EXPECT_EQ(limiter.recordFailure(), 0.5);
  for (int i = 0; i < 25; ++i) limiter.recordFailure();
  EXPECT_EQ(limiter.recordFailure(), 10.0);
}

// What a client saw: every text reply, and when the host closed the connection.
struct ClientView {
  std::vector<json::object> replies;
  double firstReplyAfterLastSend = -1;  // seconds
  double closeAfterLastReply = -1;
};

class HandshakeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(host_.port(), 0); }

  std::optional<HandshakeResult> hostResult() { return host_.nextResult(); }

  // Runs `script` as the client, then reads replies until the host closes.
  using Script = std::function<asio::awaitable<void>(std::shared_ptr<WebSocketTransport>,
                                                     ClientView&)>;
  ClientView runClient(Script script) {
    auto transport = WebSocketTransport::dial(
        io_.executor(), host_.url(), "client");
    return io_.run([](std::shared_ptr<WebSocketTransport> t, Script s) -> asio::awaitable<ClientView> {
      ClientView view;
      co_await t->open(5);
      co_await s(t, view);
      double sent = uptimeSeconds();
      double lastReply = sent;
      try {
        for (;;) {
          const auto message = co_await t->receiveFrame();
          lastReply = uptimeSeconds();
          if (view.firstReplyAfterLastSend < 0) view.firstReplyAfterLastSend = lastReply - sent;
          if (message.kind == WebSocketMessage::Kind::text) {
            view.replies.push_back(json::parse(message.text).as_object());
          }
        }
      } catch (const TransportError&) {
        view.closeAfterLastReply = uptimeSeconds() - lastReply;
      }
      co_return view;
    }(transport, script));
  }

  // How the host's log names a message over the limit (the WebSocket stack's words).
  static constexpr const char* kTooBig =
      "The WebSocket message exceeded the locally configured limit";

  // A hello whose "caps" array makes it `bytes` long.
  static std::string oversizedHello(std::size_t bytes) {
    json::object message = hello(randomBytes(16));
    json::array caps;
    while (json::serialize(message).size() + 8 * caps.size() < bytes) caps.push_back("patch");
    message["caps"] = std::move(caps);
    return json::serialize(message);
  }

  static json::object hello(const Bytes& nonce, int version = 1) {
    return {{"t", "hello"}, {"v", version}, {"cn", base64Encode(nonce)}, {"name", "Test phone"},
            {"caps", json::array{"patch", "heic"}}};
  }

  static asio::awaitable<json::object> readJson(std::shared_ptr<WebSocketTransport> t) {
    const auto message = co_await t->receiveFrame();
    co_return json::parse(message.text).as_object();
  }

  // Hello, challenge, then an auth message made by `auth` from the client and server nonces.
  Script authWith(std::function<json::object(const Bytes& cn, const Bytes& sn)> auth) {
    return [auth](std::shared_ptr<WebSocketTransport> t, ClientView& view) -> asio::awaitable<void> {
      const Bytes cn = randomBytes(16);
      t->send(json::serialize(hello(cn)));
      json::object challenge = co_await readJson(t);
      view.replies.push_back(challenge);
      const Bytes sn = base64Decode(challenge.at("sn").as_string()).value_or(Bytes{});
      t->send(json::serialize(auth(cn, sn)));
    };
  }

  static constexpr const char* kHostID = test::HostHarness::kHostID;
  test::LogCapture log_;
  AuthLimiter limiter_;
  HandshakeSettings settings_{10.0, &limiter_};
  test::HostHarness host_{settings_};
  IoRunner& io_ = host_.io();
  const Bytes& key_ = host_.key();
};

TEST_F(HandshakeTest, GoodKeyIsWelcomedAndBothSidesShareTheChannel) {
  Bytes clientNonce, serverNonce;
  Script authenticate = authWith([&](const Bytes& cn, const Bytes& sn) {
    clientNonce = cn;
    serverNonce = sn;
    return json::object{{"t", "auth"}, {"proof", base64Encode(proof(key_, "client", cn, sn))}};
  });
  // The host keeps an admitted connection open: take the welcome; once authenticated, the
  // client may send large messages (the host echoes one back); then hang up.
  Bytes echoed;
  const ClientView view = runClient([&](auto t, ClientView& v) -> asio::awaitable<void> {
    co_await authenticate(t, v);
    v.replies.push_back(co_await readJson(t));
    co_await t->sendAndWait(Bytes(1 << 20, 0x5a));
    const WebSocketMessage echo = co_await t->receiveFrame();
    echoed = echo.data;
    t->close();
  });
  EXPECT_EQ(echoed, Bytes(1 << 20, 0x5a));
  ASSERT_EQ(view.replies.size(), 2u);
  const json::object& challenge = view.replies[0];
  EXPECT_EQ(challenge.at("t"), "challenge");
  EXPECT_EQ(challenge.at("v"), 1);
  EXPECT_EQ(challenge.at("hid"), kHostID);
  EXPECT_EQ(serverNonce.size(), 16u);
  const json::object& welcome = view.replies[1];
  EXPECT_EQ(welcome.at("t"), "welcome");
  const Bytes serverProof = base64Decode(welcome.at("proof").as_string()).value();
  EXPECT_EQ(serverProof, proof(key_, "server", clientNonce, serverNonce));
  EXPECT_NE(serverProof, proof(key_, "client", clientNonce, serverNonce));

  auto result = hostResult();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->hello.at("name"), "Test phone");
  SecureChannel client(key_, clientNonce, serverNonce, SecureChannel::Role::client);
  EXPECT_EQ(asText(client.open(result->channel->seal(toBytes("\x01{}")))), "\x01{}");
  EXPECT_EQ(asText(result->channel->open(client.seal(toBytes("\x01[]")))), "\x01[]");
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(HandshakeTest, RejectionsAnswerWithTheirErrorLogAndClose) {
  settings_.receiveTimeout = 0.5;
  const json::object versionError{
      {"t", "error"}, {"code", "version"}, {"msg", "Unsupported protocol version"}};
  const json::object authError{
      {"t", "error"}, {"code", "auth"}, {"msg", "Pairing key rejected. Re-pair this device."}};
  auto sendText = [](std::string text) -> Script {
    return [text](auto t, ClientView&) -> asio::awaitable<void> {
      t->send(text);
      co_return;
    };
  };
  const struct {
    const char* label;
    Script script;
    std::vector<json::object> replies;  // after the challenge, if any
    const char* reason;
  } cases[] = {
      {"hello v 2", sendText(json::serialize(hello(randomBytes(16), 2))), {versionError},
       "bad hello"},
      {"not a hello", sendText(R"({"t":"auth","v":1})"), {versionError}, "bad hello"},
      {"15-byte nonce", sendText(json::serialize(hello(randomBytes(15)))), {}, "bad nonce"},
      {"17-byte nonce", sendText(json::serialize(hello(randomBytes(17)))), {}, "bad nonce"},
      {"nonce with whitespace",
       sendText(R"({"t":"hello","v":1,"cn":"AAAAAAAAAAAAAAAAAAAAAA== "})"), {}, "bad nonce"},
      {"binary first",
       [](auto t, ClientView&) -> asio::awaitable<void> {
         Bytes payload{1, 2};
         co_await t->sendAndWait(std::move(payload));
       },
       {}, "expected a JSON text frame"},
      {"JSON that is not an object", sendText("[1,2]"), {}, "expected a JSON text frame"},
      {"wrong proof", authWith([](const Bytes&, const Bytes&) {
         return json::object{{"t", "auth"}, {"proof", base64Encode(randomBytes(32))}};
       }), {authError}, "authentication failed"},
      {"Auth in the wrong case", authWith([this](const Bytes& cn, const Bytes& sn) {
         return json::object{{"t", "Auth"}, {"proof", base64Encode(proof(key_, "client", cn, sn))}};
       }), {authError}, "authentication failed"},
      {"proof not Base64", authWith([](const Bytes&, const Bytes&) {
         return json::object{{"t", "auth"}, {"proof", "not base64!"}};
       }), {authError}, "authentication failed"},
      {"silence", [](auto, ClientView&) -> asio::awaitable<void> { co_return; }, {},
       "cancelled"},
      // A stranger's messages are small and shallow: a big or deep hello is refused before
      // the host holds it, or before the parser goes deep (the close code a raw peer sees is
      // checked against the real host).
      {"hello of 9 KiB", sendText(oversizedHello(9 << 10)), {}, kTooBig},
      {"auth of 9 KiB", [](auto t, ClientView& view) -> asio::awaitable<void> {
         t->send(json::serialize(hello(randomBytes(16))));
         view.replies.push_back(co_await readJson(t));
         t->send(oversizedHello(9 << 10));
       }, {}, kTooBig},
      {"hello nested 9 deep",
       sendText(R"({"t":"hello","v":1,"cn":"AAAAAAAAAAAAAAAAAAAAAA==","x":[[[[[[[[1]]]]]]]]})"),
       {}, "too deep"},
  };
  for (const auto& c : cases) {
    const std::size_t logged = log_.lines().size();
    ClientView view = runClient(c.script);
    if (!view.replies.empty() && view.replies.front().at("t") == "challenge") {
      view.replies.erase(view.replies.begin());
    }
    EXPECT_EQ(view.replies, c.replies) << c.label;
    EXPECT_GE(view.closeAfterLastReply, 0) << c.label << ": the host never closed";
    if (!c.replies.empty()) {
      EXPECT_GE(view.closeAfterLastReply, 0.15) << c.label << ": closed before the 0.2 s pause";
    }
    EXPECT_FALSE(hostResult().has_value()) << c.label;
    const auto lines = log_.lines();
    ASSERT_EQ(lines.size(), logged + 1) << c.label;
    EXPECT_EQ(lines.back(), std::string("rejected direct:127.0.0.1 connection: ") + c.reason)
        << c.label;
  }
}

TEST_F(HandshakeTest, MalformedJsonIsRejectedWithTheParsersError) {
  runClient([](auto t, ClientView&) -> asio::awaitable<void> {
    t->send("{\"t\": \"hello\",");
    co_return;
  });
  EXPECT_FALSE(hostResult().has_value());
  ASSERT_EQ(log_.lines().size(), 1u);
  EXPECT_THAT(log_.lines()[0], HasSubstr("rejected direct:127.0.0.1 connection: "));
  EXPECT_GT(log_.lines()[0].size(), std::string("rejected direct:127.0.0.1 connection: ").size());
}

TEST_F(HandshakeTest, WrongProofsAreAnsweredAfterGrowingDelays) {
  auto wrong = authWith([](const Bytes&, const Bytes&) {
    return json::object{{"t", "auth"}, {"proof", base64Encode(randomBytes(32))}};
  });
  for (const double expected : {0.5, 1.0, 1.5}) {
    const ClientView view = runClient(wrong);
    EXPECT_GE(view.firstReplyAfterLastSend, expected - 0.05);
    EXPECT_LT(view.firstReplyAfterLastSend, expected + 0.5);
    EXPECT_FALSE(hostResult().has_value());
  }
}

}  // namespace
}  // namespace nimbrel
