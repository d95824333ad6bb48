#pragma once

// A transport without a socket: received messages come from a script, sent ones are dropped
// (or answered, for the handshake), so the protocol code can be fed arbitrary bytes quickly, by
// the fuzz targets and by unit tests.

#include <algorithm>
#include <deque>
#include <functional>

#include "net/websocket_transport.hpp"

namespace nimbrel::test {

class FakeTransport final : public WebSocketTransport {
 public:
  FakeTransport() : WebSocketTransport("fake") { setRemoteHost("127.0.0.1"); }

  std::deque<WebSocketMessage> incoming;
  // Called with every text the host sends; may push replies onto `incoming`.
  std::function<void(const std::string&)> onText;

  asio::awaitable<void> open(double) override { co_return; }
  asio::awaitable<Message> receiveFrame() override {
    if (closed_ || incoming.empty()) throw TransportError::closed("");
    Message message = std::move(incoming.front());
    incoming.pop_front();
    // As a real transport does: a message over the limit ends the connection.
    if (std::max(message.text.size(), message.data.size()) > limit) {
      closed_ = true;
      throw TransportError::failed("message too big");
    }
    co_return message;
  }
  void send(std::string text) override {
    if (onText) onText(text);
  }
  void queueBinary(Bytes, std::shared_ptr<ResumeOnce> done) override {
    if (done) done->finish(closed_ ? std::make_exception_ptr(TransportError::closed("")) : nullptr);
  }
  asio::awaitable<void> ping(double) override { co_return; }
  void close() override { closed_ = true; }
  void limitMessages(std::size_t bytes) override { limit = bytes; }

  // The largest message received without failing.
  std::size_t limit = kMaxMessageSize;

 private:
  bool closed_ = false;
};

inline WebSocketMessage text(std::string t) {
  WebSocketMessage m;
  m.kind = WebSocketMessage::Kind::text;
  m.text = std::move(t);
  return m;
}

inline WebSocketMessage binary(Bytes b) {
  WebSocketMessage m;
  m.data = std::move(b);
  return m;
}

}  // namespace nimbrel::test
