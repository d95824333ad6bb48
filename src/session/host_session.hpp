#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/screen_source.hpp"
#include "input/input_backend.hpp"
#include "session/handshake.hpp"
#include "session/protocol.hpp"
#include "session/secure_sender.hpp"
#include "stream/streamer.hpp"

namespace nimbrel {

class WebSocketTransport;

// Who the host is, as a session needs it.
struct HostIdentity {
  std::string name;
  std::string hostID;
  std::string secret;  // the pairing key as hexadecimal
};

// One client from its hello to the closed socket: handshake, "info", then the receive loop
// (commands to the input back-end or the streamer), the streamer's frame loop and the pointer
// loop side by side; teardown always releases held input, stops capture and closes the socket.
class HostSession : public std::enable_shared_from_this<HostSession> {
  struct Private {};

 public:
  struct Setup {
    std::string via;  // "relay" or "direct:" + peer
    std::shared_ptr<WebSocketTransport> transport;
    HostIdentity identity;
    std::shared_ptr<InputBackend> input;
    std::shared_ptr<ScreenSource> source;
    asio::any_io_executor workers;  // a pool: the input, aux and encode strands run on it
    // The displays to offer when the source lists none.
    std::function<std::vector<Monitor>()> fallbackMonitors;
    HandshakeSettings handshake;
    // Called once the client has proved it holds the pairing key, before anything else of
    // the session: until then the peer is a stranger and nothing shows it.
    std::function<void()> onAuthenticated;
  };

  static std::shared_ptr<HostSession> create(Setup setup);
  HostSession(Private, Setup setup);

  // The whole session; returns when it is over. Never throws.
  asio::awaitable<void> run();

  // One control message, completely, before the next is read.
  asio::awaitable<void> handle(const boost::json::object& message);

  boost::json::object infoMessage() const;
  Monitor currentMonitor() const;
  const std::string& clientName() const { return clientName_; }

  // One display of 1600 x 1000 points, for hosts that can list none.
  static std::vector<Monitor> defaultFallbackMonitors();

 private:
  asio::awaitable<void> pointerLoop();
  asio::awaitable<void> reply(const boost::json::object& message);
  Point mapPoint(protocol::NormalisedPoint at) const;
  void queueInput(std::function<void(InputBackend&)> work);
  void teardown(asio::cancellation_signal& streamerStop, asio::cancellation_signal& pointerStop);

  Setup setup_;
  asio::any_io_executor inputQueue_;
  asio::any_io_executor auxQueue_;
  std::shared_ptr<SecureSender> sender_;
  std::shared_ptr<SecureChannel> channel_;
  std::shared_ptr<Streamer> streamer_;
  std::string clientName_ = "phone";
  mutable std::mutex stateLock_;  // guards the three fields below
  std::vector<Monitor> monitors_;
  int monitorIndex_ = 0;
  bool caretWatch_ = false;
  std::shared_ptr<AsyncEvent> pointerWake_;  // the pointer moved, or what it is measured against
};

}  // namespace nimbrel
