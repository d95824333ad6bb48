#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/beast/core/flat_buffer.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace nimbrel::cloud {

namespace asio = boost::asio;

// How a connection ended: the peer's close code and reason, or code 0 and what failed.
class ConnectionEnded : public std::runtime_error {
 public:
  ConnectionEnded(std::uint16_t code, std::string reason)
      : std::runtime_error(reason.empty() ? "closed with code " + std::to_string(code) : reason),
        code_(code),
        reason_(std::move(reason)) {}
  std::uint16_t code() const { return code_; }
  const std::string& reason() const { return reason_; }

 private:
  std::uint16_t code_;
  std::string reason_;
};

// One accepted WebSocket of the relay, as the relay's logic needs it. All members are called on
// the server's strand. At most one `read` at a time; `write` and `sendText` are for different
// sockets (sessions write, control connections send text) and a socket uses only one of them.
class RelaySocket {
 public:
  virtual ~RelaySocket() = default;

  // Reads the next message into `into` (which must be empty); true when it was sent as text.
  // Throws ConnectionEnded.
  virtual asio::awaitable<bool> read(boost::beast::flat_buffer& into) = 0;

  // Writes one message, exactly as received; completes when it has been handed to the socket.
  // Throws ConnectionEnded.
  virtual asio::awaitable<void> write(asio::const_buffer data, bool text) = 0;

  // Queues one text message; failures show up as the end of `read`.
  virtual void sendText(std::string text) = 0;

  // Closes with `code` (once; later calls do nothing). A peer that does not finish the closing
  // handshake in time is cut off.
  virtual void close(std::uint16_t code, std::string reason) = 0;

  // The peer's address, for the log.
  virtual const std::string& peer() const = 0;
};

}  // namespace nimbrel::cloud
