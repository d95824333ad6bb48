#include "net/websocket_transport.hpp"

#include <boost/asio/detached.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/this_coro.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include <atomic>
#include <cstdlib>

#include "support/io_runner.hpp"
#include "net/scripted_peer.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel {
namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using test::IoRunner;
using test::ScriptedPeer;
using tcp = boost::asio::ip::tcp;
using ::testing::HasSubstr;

std::string localUrl(unsigned short port) { return "ws://127.0.0.1:" + std::to_string(port) + "/"; }

// Opens a transport to `url` and runs `body` with it on the io thread.
template <typename T>
T withTransport(IoRunner& io, const std::string& url,
                std::function<asio::awaitable<T>(std::shared_ptr<WebSocketTransport>)> body,
                double openTimeout = 5.0) {
  auto transport = WebSocketTransport::dial(io.executor(), url, "test");
  EXPECT_TRUE(transport);
  return io.run([](std::shared_ptr<WebSocketTransport> t, double timeout,
                   std::function<asio::awaitable<T>(std::shared_ptr<WebSocketTransport>)> f)
                    -> asio::awaitable<T> {
    co_await t->open(timeout);
    co_return co_await f(t);
  }(transport, openTimeout, body));
}

struct Failure {
  TransportError::Kind kind;
  std::string text;
};

// Takes the operation's awaitable itself: g++ 12 destroys a closure passed by value to a
// coroutine inside a co_await expression twice.
template <typename T>
asio::awaitable<std::optional<Failure>> failureOf(asio::awaitable<T> operation) {
  try {
    co_await std::move(operation);
  } catch (const TransportError& e) {
    co_return Failure{e.kind(), e.what()};
  }
  co_return std::nullopt;
}

TEST(WebSocketTransport, CloseFramesBecomeCloseTextsAndCodes) {
  const struct {
    std::uint16_t code;
    const char* reason;
    const char* description;
    std::optional<std::uint16_t> closeCode;
  } cases[] = {
      {1000, "bye", "Connection closed", 1000},
      {1001, "going away", "going away", 1001},
      {4409, "anything", "The computer reconnected. Try again.", 4409},
      {4401, "", "Relay access expired. Try again.", 4401},
      {4500, "relay says no", "relay says no", 4500},
      {3001, "app code", "app code", std::nullopt},
  };
  for (const auto& c : cases) {
    ScriptedPeer peer([&](ScriptedPeer::Socket& ws) {
      ws.text(true);
      ws.write(boost::asio::buffer(std::string("hello")));
      ws.close(websocket::close_reason(static_cast<websocket::close_code>(c.code), c.reason));
      beast::flat_buffer rest;
      boost::system::error_code ignored;
      ws.read(rest, ignored);
    });
    IoRunner io;
    auto transport = WebSocketTransport::dial(io.executor(), localUrl(peer.port()), "test");
    const auto failure = io.run([](std::shared_ptr<WebSocketTransport> t)
                                    -> asio::awaitable<std::optional<Failure>> {
      co_await t->open(5);
      const auto first = co_await t->receiveFrame();
      EXPECT_EQ(first.kind, WebSocketMessage::Kind::text);
      EXPECT_EQ(first.text, "hello");
      co_return co_await failureOf(t->receiveFrame());
    }(transport));
    ASSERT_TRUE(failure.has_value()) << c.code;
    EXPECT_EQ(failure->kind, TransportError::Kind::closed) << c.code;
    EXPECT_EQ(failure->text, c.description) << c.code;
    EXPECT_EQ(transport->closeCode(), c.closeCode) << c.code;
    EXPECT_EQ(transport->closeReason(), c.closeCode == 1000 ? "" : std::string(c.description));
  }
}

TEST(WebSocketTransport, PeerPingsNeverSurfaceAndMessagesKeepTheirKind) {
  ScriptedPeer peer([](ScriptedPeer::Socket& ws) {
    ws.ping({});
    ws.binary(true);
    ws.write(boost::asio::buffer(std::string("\x00\x01\x02", 3)));
    ws.ping("again");
    ws.text(true);
    ws.write(boost::asio::buffer(std::string("text after pings")));
    beast::flat_buffer rest;
    ws.read(rest);  // until the client goes
  });
  IoRunner io;
  withTransport<int>(io, localUrl(peer.port()), [](auto t) -> asio::awaitable<int> {
    const auto binary = co_await t->receiveFrame();
    EXPECT_EQ(binary.kind, WebSocketMessage::Kind::data);
    EXPECT_EQ(binary.data, (Bytes{0, 1, 2}));
    const auto text = co_await t->receiveFrame();
    EXPECT_EQ(text.kind, WebSocketMessage::Kind::text);
    EXPECT_EQ(text.text, "text after pings");
    EXPECT_EQ(t->remoteHost(), "127.0.0.1");
    t->close();
    co_return 0;
  });
}

TEST(WebSocketTransport, TextWithInvalidUtf8IsRepairedNotFatal) {
  ScriptedPeer peer([](ScriptedPeer::Socket& ws) {
    ws.text(true);
    ws.write(boost::asio::buffer(std::string("caf\xc3\xa9 \xff\xfe ok")));
    // A valid message split in the middle of a character, across two frames.
    ws.write_some(false, boost::asio::buffer(std::string("\xe2\x82")));
    ws.write_some(true, boost::asio::buffer(std::string("\xac 5")));
    ws.binary(true);
    ws.write(boost::asio::buffer(std::string("\xff", 1)));
    beast::flat_buffer rest;
    ws.read(rest);
  });
  IoRunner io;
  withTransport<int>(io, localUrl(peer.port()), [](auto t) -> asio::awaitable<int> {
    const auto repaired = co_await t->receiveFrame();
    EXPECT_EQ(repaired.kind, WebSocketMessage::Kind::text);
    EXPECT_EQ(repaired.text, "caf\xc3\xa9 \uFFFD\uFFFD ok");
    const auto euro = co_await t->receiveFrame();
    EXPECT_EQ(euro.kind, WebSocketMessage::Kind::text);
    EXPECT_EQ(euro.text, "\u20AC 5");
    const auto binary = co_await t->receiveFrame();
    EXPECT_EQ(binary.kind, WebSocketMessage::Kind::data);
    EXPECT_EQ(binary.data, Bytes{0xff});
    t->close();
    co_return 0;
  });
}

TEST(WebSocketTransport, QueuedSendsLeaveInOrder) {
  std::vector<std::string> received;
  {
    ScriptedPeer peer([&](ScriptedPeer::Socket& ws) {
      for (int i = 0; i < 41; ++i) {
        beast::flat_buffer buffer;
        ws.read(buffer);
        received.push_back((ws.got_text() ? "t:" : "b:") + beast::buffers_to_string(buffer.data()));
      }
    });
    IoRunner io;
    withTransport<int>(io, localUrl(peer.port()), [](auto t) -> asio::awaitable<int> {
      t->send("first");
      for (int i = 0; i < 20; ++i) {
        t->send("text " + std::to_string(i));
        co_await t->sendAndWait(Bytes(static_cast<std::size_t>(100000 + i), static_cast<std::uint8_t>('a' + i % 26)));
      }
      co_return 0;
    });
  }
  ASSERT_EQ(received.size(), 41u);
  EXPECT_EQ(received[0], "t:first");
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(received[1 + 2 * i], "t:text " + std::to_string(i));
    EXPECT_EQ(received[2 + 2 * i].size(), 2u + 100000 + i);
  }
}

TEST(WebSocketTransport, PingCompletesOnPongAndTimesOutOnceWithoutOne) {
  std::promise<void> timedOut;
  ScriptedPeer peer([&](ScriptedPeer::Socket& ws) {
    beast::flat_buffer buffer;
    ws.read(buffer);  // answers the first ping while reading, then takes "stop"
    // Not reading means no pong for the second ping, until it has timed out.
    timedOut.get_future().wait_for(std::chrono::seconds(10));
  });
  IoRunner io;
  withTransport<int>(io, localUrl(peer.port()), [&timedOut](auto t) -> asio::awaitable<int> {
    auto reader = co_await asio::this_coro::executor;
    // Pongs are seen by a pending receive, as in a session.
    asio::co_spawn(reader, [t]() -> asio::awaitable<void> {
      try {
        for (;;) co_await t->receiveFrame();
      } catch (...) {
      }
    }, asio::detached);
    co_await t->ping(5);
    t->send("stop");
    const auto failure = co_await failureOf(t->ping(0.3));
    timedOut.set_value();
    EXPECT_TRUE(failure && failure->kind == TransportError::Kind::timeout);
    EXPECT_EQ(failure ? failure->text : "", "Timed out");
    t->close();  // the ping's write may now fail too; the caller was already resumed once
    co_return 0;
  });
}

TEST(WebSocketTransport, OpenTimesOutOrFailsAtOnceAndCancels) {
  IoRunner io;
  // A TCP listener that accepts but never answers the upgrade.
  boost::asio::io_context silentIo;
  tcp::acceptor silent(silentIo, {boost::asio::ip::make_address("127.0.0.1"), 0});
  auto slow = WebSocketTransport::dial(io.executor(), localUrl(silent.local_endpoint().port()), "slow");
  const auto start = std::chrono::steady_clock::now();
  const auto timedOut = io.run(failureOf(slow->open(0.3)));
  ASSERT_TRUE(timedOut.has_value());
  EXPECT_EQ(timedOut->kind, TransportError::Kind::timeout);
  EXPECT_EQ(timedOut->text, "Timed out");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_TRUE(io.run(failureOf(slow->receiveFrame())).has_value());

  const unsigned short closedPort = silent.local_endpoint().port();
  silent.close();
  auto refused = WebSocketTransport::dial(io.executor(), localUrl(closedPort), "refused");
  const auto failure = io.run(failureOf(refused->open(5)));
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->kind, TransportError::Kind::failed);
  EXPECT_EQ(failure->text, "Connection refused");
  EXPECT_EQ(refused->closeReason(), "Connection refused");
}

TEST(WebSocketTransport, UrlsOtherThanWsOrWssAreRefused) {
  IoRunner io;
  for (const char* good : {"ws://127.0.0.1:9/", "WSS://relay.example.invalid/v1?x=1", "Ws://[::1]:80"}) {
    EXPECT_TRUE(WebSocketTransport::dial(io.executor(), good, "t")) << good;
  }
  for (const char* bad : {"http://127.0.0.1/", "wss:/missing", "relay.example.invalid", "",
                          "ws://", "ws://host:0/", "ws://host:70000/", "ws://user@host/",
                          "ftp://x/", "ws ://x/"}) {
    EXPECT_FALSE(WebSocketTransport::dial(io.executor(), bad, "t")) << bad;
  }
}

// A test CA and server certificates, made with the openssl tool.
class TlsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string d = dir_.path().string();
    const std::string script =
        "set -e; cd '" + d + "'; "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "  -subj '/CN=Nimbrel Test CA' -keyout ca.key -out ca.pem 2>/dev/null; "
        "for name in localhost other.invalid; do "
        "  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
        "    -subj \"/CN=$name\" -keyout $name.key -out $name.csr 2>/dev/null; "
        "  printf 'subjectAltName=DNS:%s\\n' $name > $name.ext; "
        "  openssl x509 -req -in $name.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "    -extfile $name.ext -out $name.pem 2>/dev/null; "
        "done";
    ASSERT_EQ(std::system(("bash -c \"" + escape(script) + "\"").c_str()), 0);
    client_ = std::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::tls_client);
    client_->load_verify_file(d + "/ca.pem");
    client_->set_verify_mode(boost::asio::ssl::verify_peer);
  }

  std::unique_ptr<boost::asio::ssl::context> serverContext(const std::string& name) {
    auto context = std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls_server);
    context->use_certificate_chain_file((dir_.path() / (name + ".pem")).string());
    context->use_private_key_file((dir_.path() / (name + ".key")).string(),
                                  boost::asio::ssl::context::pem);
    return context;
  }

  static std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
      if (c == '"' || c == '\\' || c == '$') out.push_back('\\');
      out.push_back(c);
    }
    return out;
  }

  test::TempDir dir_;
  std::shared_ptr<boost::asio::ssl::context> client_;
};

TEST_F(TlsFixture, WssRoundTripVerifiesTheServerName) {
  auto good = serverContext("localhost");
  std::string echoed;
  {
    ScriptedPeer peer(*good, [&](ScriptedPeer::TlsSocket& ws) {
      beast::flat_buffer buffer;
      ws.read(buffer);
      echoed = beast::buffers_to_string(buffer.data());
      ws.binary(true);
      ws.write(buffer.data());
      ws.read(buffer);
    });
    IoRunner io;
    auto transport = WebSocketTransport::dial(
        io.executor(), "WSS://localhost:" + std::to_string(peer.port()) + "/relay", "tls", {}, client_);
    ASSERT_TRUE(transport);
    const auto reply = io.run([](std::shared_ptr<WebSocketTransport> t) -> asio::awaitable<Bytes> {
      co_await t->open(5);
      co_await t->sendAndWait(toBytes("secret over TLS"));
      auto message = co_await t->receiveFrame();
      t->close();
      co_return message.data;
    }(transport));
    EXPECT_EQ(asText(reply), "secret over TLS");
  }
  EXPECT_EQ(echoed, "secret over TLS");

  auto wrong = serverContext("other.invalid");
  ScriptedPeer impostor(*wrong, [](ScriptedPeer::TlsSocket&) {});
  IoRunner io;
  auto transport = WebSocketTransport::dial(
      io.executor(), "wss://localhost:" + std::to_string(impostor.port()) + "/", "tls", {}, client_);
  const auto failure = io.run(failureOf(transport->open(5)));
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->kind, TransportError::Kind::failed);
  EXPECT_THAT(failure->text, HasSubstr("certificate verify failed"));
}

}  // namespace
}  // namespace nimbrel
