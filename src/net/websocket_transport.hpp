#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "net/close_codes.hpp"
#include "net/resume_once.hpp"
#include "net/transport_error.hpp"
#include "base/bytes.hpp"

namespace boost::asio::ssl {
class context;
}

namespace nimbrel {

namespace asio = boost::asio;

// The largest message a transport accepts.
inline constexpr std::size_t kMaxMessageSize = 32 << 20;
// The largest message a peer may send before it has authenticated (hello and auth are small).
inline constexpr std::size_t kPreAuthMessageSize = 8 << 10;

// One message received on a WebSocket.
struct WebSocketMessage {
  enum class Kind { text, data };
  Kind kind = Kind::data;
  std::string text;  // kind == text: the payload as UTF-8, bad sequences replaced by U+FFFD
  Bytes data;        // kind == data
};

// One WebSocket connection, accepted by the direct server or dialled to a ws/wss URL, as a
// small asynchronous message API. Every failure is a TransportError.
//
// Thread-safety: all members may be called from any thread; the socket's work runs on the
// transport's own strand. One write is in flight at a time: `send` and `sendAndWait` queue
// their messages and they leave in the order they were queued. `receiveFrame` must not be
// called again before the previous call has completed. Pings from the peer are answered by
// the stack and never surface; a pong is seen only while a `receiveFrame` is pending.
class WebSocketTransport {
 public:
  using Message = WebSocketMessage;
  using Headers = std::map<std::string, std::string>;

  // A transport that will dial `url` (ws or wss, scheme in any case) when opened, with
  // `headers` added to the upgrade request. wss verifies the server's certificate and host name
  // against `tls`, or against the system's CA store when it is null. Nothing when the URL is
  // not a ws or wss URL.
  static std::shared_ptr<WebSocketTransport> dial(asio::any_io_executor executor,
                                                  std::string_view url, std::string label,
                                                  Headers headers = {},
                                                  std::shared_ptr<asio::ssl::context> tls = {});

  virtual ~WebSocketTransport() = default;

  const std::string& label() const { return label_; }

  // Completes the connection (for a dialled one: connect within 8 s, TLS, upgrade; for an
  // accepted one: the upgrade answer). Throws `timeout` when it takes longer than `timeout`
  // seconds and `failed` with the system's text when refused; a failed open cancels the
  // connection.
  virtual asio::awaitable<void> open(double timeout) = 0;

  // The next text or binary message. Throws `closed` with the close text when the peer
  // closed, `failed` on a network error.
  virtual asio::awaitable<Message> receiveFrame() = 0;

  // Queues one text message and returns at once; errors are not reported.
  virtual void send(std::string text) = 0;

  // Queues one binary message and completes once it has been handed to the socket.
  asio::awaitable<void> sendAndWait(Bytes data);

  // Queues one binary message at once; `done` (if given) is finished when the message has been
  // handed to the socket, or with the error. Messages queued one after another leave in that
  // order, which lets a caller seal and queue under one lock.
  virtual void queueBinary(Bytes data, std::shared_ptr<ResumeOnce> done) = 0;

  // Sends a ping; completes when the pong arrives, throws `timeout` after `timeout` seconds.
  virtual asio::awaitable<void> ping(double timeout) = 0;

  // Cancels the connection: pending and later operations fail. No close frame is sent.
  virtual void close() = 0;

  // Accepts messages of at most `bytes` from the next receive on; a larger one fails that
  // receive and closes the connection with 1009 (message too big) as soon as its header says
  // so, before its payload is read. Accepted transports start at kPreAuthMessageSize, dialled
  // ones at kMaxMessageSize.
  virtual void limitMessages(std::size_t bytes) = 0;

  // Keeps `ticket` (the connection's place among those that have not authenticated) until
  // `authenticated` or the transport's end.
  void holdUntilAuthenticated(std::shared_ptr<void> ticket);

  // Cancels the connection unless it has authenticated by the time the cancel would run (its
  // place was pushed out of the admission gate just as it proved its key).
  virtual void closeUnlessAuthenticated() { close(); }

  // The peer has proved who it is: messages up to kMaxMessageSize from now on, and the place
  // held for the handshake is given up.
  void authenticated();

  // The peer's address without port ("127.0.0.1", "::1"; IPv4-mapped addresses in dotted
  // form), or the dialled host before the connection is open.
  std::string remoteHost() const;

  // The code of the last close frame received, when it was a protocol or private code.
  std::optional<std::uint16_t> closeCode() const;

  // The last failure or close text; empty until there is one.
  std::string closeReason() const;

 protected:
  explicit WebSocketTransport(std::string label) : label_(std::move(label)) {}

  void setRemoteHost(std::string host);
  void noteFailure(const std::string& text);
  void noteClose(const CloseOutcome& outcome);
  // Gives up the place held until authentication (the connection has ended).
  void releaseAdmission();
  bool holdsAdmission() const;

 private:
  const std::string label_;
  mutable std::mutex lock_;  // guards the fields below
  std::string remoteHost_;
  std::optional<std::uint16_t> closeCode_;
  std::string closeReason_;
  std::shared_ptr<void> admission_;
};

}  // namespace nimbrel
