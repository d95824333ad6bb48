#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/json/fwd.hpp>

#include <memory>
#include <mutex>

#include "base/bytes.hpp"
#include "session/secure_channel.hpp"

namespace nimbrel {

class WebSocketTransport;

// Everything a session sends goes through here: the plaintext is built, then sealed and queued
// on the transport in one step under a lock, so messages leave in counter order however many
// tasks send at once. Each send completes when its message has been handed to the socket, and
// throws the seal's or the transport's error.
class SecureSender {
 public:
  SecureSender(std::shared_ptr<SecureChannel> channel, std::shared_ptr<WebSocketTransport> transport);

  // Kind 0x01: a compact JSON object ("{}" if it cannot be written).
  boost::asio::awaitable<void> sendJSON(const boost::json::object& message);

  // Kind 0x02: a 4-byte big-endian header length, the JSON header, then the image bytes.
  boost::asio::awaitable<void> sendFrame(const boost::json::object& header, const Bytes& image);

  const std::shared_ptr<SecureChannel>& channel() const { return channel_; }

 private:
  boost::asio::awaitable<void> sendPlaintext(Bytes plaintext);

  const std::shared_ptr<SecureChannel> channel_;
  const std::shared_ptr<WebSocketTransport> transport_;
  std::mutex lock_;  // held while sealing and queueing one message
};

}  // namespace nimbrel
