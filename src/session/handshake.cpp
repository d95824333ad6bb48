#include "session/handshake.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>

#include "base/log.hpp"
#include "net/async_event.hpp"
#include "net/websocket_transport.hpp"
#include "session/protocol.hpp"
#include "session/base64.hpp"
#include "session/crypto.hpp"

namespace nimbrel {

namespace json = boost::json;
namespace asio = boost::asio;

namespace {

const char* const kVersionMessage = "Unsupported protocol version";
const char* const kAuthMessage = "Pairing key rejected. Re-pair this device.";

void sendError(WebSocketTransport& transport, const char* code, const char* message) {
  transport.send(protocol::serializeMessage(json::object{{"t", "error"}, {"code", code}, {"msg", message}}));
}

bool isInteger(const json::value* value, std::int64_t expected) {
  if (!value) return false;
  if (value->is_int64()) return value->get_int64() == expected;
  if (value->is_uint64()) return expected >= 0 && value->get_uint64() == static_cast<std::uint64_t>(expected);
  return false;
}

bool isString(const json::object& object, std::string_view key, std::string_view expected) {
  const json::value* value = object.if_contains(key);
  return value && value->is_string() && value->get_string() == expected;
}

// Compares every byte, whatever the first difference, so the time taken says nothing about
// where the proofs differ.
bool constantTimeEqual(ByteView given, ByteView expected) {
  if (given.size() != expected.size()) return false;
  std::uint8_t difference = 0;
  for (std::size_t i = 0; i < given.size(); ++i) difference |= given[i] ^ expected[i];
  return difference == 0;
}

asio::awaitable<void> sleepFor(double seconds) {
  asio::steady_timer timer(co_await asio::this_coro::executor, timeoutDuration(seconds));
  co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));  // a cancelled sleep just ends
}

}  // namespace

asio::awaitable<json::object> receiveJSON(std::shared_ptr<WebSocketTransport> transport,
                                          double timeout) {
  // The watchdog cancels the connection rather than the read, which then fails cleanly.
  asio::steady_timer watchdog(co_await asio::this_coro::executor, timeoutDuration(timeout));
  watchdog.async_wait([transport](boost::system::error_code error) {
    if (!error) transport->close();
  });
  WebSocketMessage message;
  try {
    message = co_await transport->receiveFrame();
  } catch (...) {
    watchdog.cancel();
    throw;
  }
  watchdog.cancel();
  if (message.kind != WebSocketMessage::Kind::text) {
    throw SessionError("expected a JSON text frame");
  }
  // Before authentication a peer is a stranger: its JSON is small and shallow.
  json::parse_options options;
  options.max_depth = kMaxHandshakeDepth;
  boost::system::error_code error;
  json::value value = json::parse(message.text, error, {}, options);
  if (error) throw SessionError(error.message());  // the parser's words, without its source line
  if (!value.is_object()) throw SessionError("expected a JSON text frame");
  co_return std::move(value.get_object());
}

asio::awaitable<HandshakeResult> performHandshake(std::shared_ptr<WebSocketTransport> transport,
                                                  std::string secretHex, std::string hostID,
                                                  HandshakeSettings settings) {
  // Until the peer has proved it holds the key, it may send only small messages.
  transport->limitMessages(kPreAuthMessageSize);
  json::object hello = co_await receiveJSON(transport, settings.receiveTimeout);
  if (!isString(hello, "t", "hello") || !isInteger(hello.if_contains("v"), 1)) {
    sendError(*transport, "version", kVersionMessage);
    throw SessionError("bad hello");
  }
  std::optional<Bytes> clientNonce;
  if (const json::value* cn = hello.if_contains("cn"); cn && cn->is_string()) {
    clientNonce = base64Decode(cn->get_string());
  }
  if (!clientNonce || clientNonce->size() != 16) throw SessionError("bad nonce");

  const Bytes serverNonce = randomBytes(16);
  // Strings are named before they go into initializer lists: clang 14 ends such temporaries too
  // early inside coroutines.
  const std::string sn = base64Encode(serverNonce);
  transport->send(
      protocol::serializeMessage(json::object{{"t", "challenge"}, {"v", 1}, {"sn", sn}, {"hid", hostID}}));

  json::object auth = co_await receiveJSON(transport, settings.receiveTimeout);
  const Bytes key = hexDecode(secretHex).value_or(Bytes{});
  const Bytes expected = proof(key, "client", *clientNonce, serverNonce);
  Bytes given;
  if (isString(auth, "t", "auth")) {
    const json::value* value = auth.if_contains("proof");
    if (value && value->is_string()) given = base64Decode(value->get_string()).value_or(Bytes{});
  }
  if (!constantTimeEqual(given, expected)) {
    co_await sleepFor(settings.limiter->recordFailure() * settings.delayScale);
    sendError(*transport, "auth", kAuthMessage);
    throw SessionError("authentication failed");
  }

  const std::string serverProof = base64Encode(proof(key, "server", *clientNonce, serverNonce));
  // Before the welcome leaves: the client may send a large message as soon as it has it.
  transport->authenticated();
  transport->send(protocol::serializeMessage(json::object{{"t", "welcome"}, {"proof", serverProof}}));
  co_return HandshakeResult{std::move(hello),
                            std::make_shared<SecureChannel>(key, *clientNonce, serverNonce)};
}

asio::awaitable<std::optional<HandshakeResult>> admitClient(
    std::shared_ptr<WebSocketTransport> transport, std::string secretHex, std::string hostID,
    std::string via, HandshakeSettings settings) {
  std::string failure;
  try {
    co_return co_await performHandshake(transport, secretHex, hostID, settings);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  logLine("rejected " + via + " connection: " + failure);
  co_await sleepFor(0.2);
  transport->close();
  co_return std::nullopt;
}

}  // namespace nimbrel
