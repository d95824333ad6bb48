#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "session/auth_limiter.hpp"
#include "session/secure_channel.hpp"

namespace nimbrel {

class WebSocketTransport;

// A failed handshake; what() is the reason that goes to the log.
class SessionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How deeply the handshake's JSON may nest (the hello's "caps" array is at depth 2).
inline constexpr std::size_t kMaxHandshakeDepth = 8;

struct HandshakeSettings {
  double receiveTimeout = 10.0;  // for the hello and for the auth message
  AuthLimiter* limiter = &AuthLimiter::shared();
  double delayScale = 1.0;       // the limiter's waits are multiplied by it (fuzzing uses 0)
};

struct HandshakeResult {
  boost::json::object hello;  // the client's hello ("name", "caps" are read by the session)
  std::shared_ptr<SecureChannel> channel;
};

// The next message as a JSON object, within `timeout` seconds or the connection is cancelled.
// Binary messages and JSON that is not an object fail with SessionError("expected a JSON text
// frame"); malformed or too deep JSON fails with SessionError(the parser's words).
boost::asio::awaitable<boost::json::object> receiveJSON(std::shared_ptr<WebSocketTransport> transport,
                                                        double timeout);

// The host's side of the handshake on an open transport: hello, challenge, auth, welcome.
// `secretHex` is the pairing key as hexadecimal. Throws SessionError, TransportError or the
// JSON parser's error; a wrong proof is answered only after the limiter's delay. Until the
// welcome, the transport takes messages of at most kPreAuthMessageSize; once the proof is
// right, the transport is told it is authenticated (full size, its admission place freed).
boost::asio::awaitable<HandshakeResult> performHandshake(
    std::shared_ptr<WebSocketTransport> transport, std::string secretHex, std::string hostID,
    HandshakeSettings settings = {});

// The handshake as a session starts it: on failure logs "rejected " + `via` + " connection: "
// + the reason, waits 0.2 s (so an error message can leave), cancels the connection and gives
// nothing.
boost::asio::awaitable<std::optional<HandshakeResult>> admitClient(
    std::shared_ptr<WebSocketTransport> transport, std::string secretHex, std::string hostID,
    std::string via, HandshakeSettings settings = {});

}  // namespace nimbrel
