#include "session/secure_sender.hpp"

#include <boost/json.hpp>

#include "net/websocket_transport.hpp"
#include "session/protocol.hpp"

namespace nimbrel {

namespace json = boost::json;

SecureSender::SecureSender(std::shared_ptr<SecureChannel> channel,
                           std::shared_ptr<WebSocketTransport> transport)
    : channel_(std::move(channel)), transport_(std::move(transport)) {}

asio::awaitable<void> SecureSender::sendJSON(const json::object& message) {
  const std::string text = protocol::serializeMessage(message);
  Bytes plaintext;
  plaintext.reserve(1 + text.size());
  plaintext.push_back(0x01);
  plaintext.insert(plaintext.end(), text.begin(), text.end());
  co_await sendPlaintext(std::move(plaintext));
}

asio::awaitable<void> SecureSender::sendFrame(const json::object& header, const Bytes& image) {
  const std::string text = protocol::serializeMessage(header);
  const auto length = static_cast<std::uint32_t>(text.size());
  Bytes plaintext;
  plaintext.reserve(5 + text.size() + image.size());
  plaintext.push_back(0x02);
  for (int shift = 24; shift >= 0; shift -= 8) {
    plaintext.push_back(static_cast<std::uint8_t>(length >> shift));
  }
  plaintext.insert(plaintext.end(), text.begin(), text.end());
  plaintext.insert(plaintext.end(), image.begin(), image.end());
  co_await sendPlaintext(std::move(plaintext));
}

asio::awaitable<void> SecureSender::sendPlaintext(Bytes plaintext) {
  co_await ResumeOnce::suspend([&](std::shared_ptr<ResumeOnce> once) {
    try {
      std::lock_guard lock(lock_);
      transport_->queueBinary(channel_->seal(plaintext), once);
    } catch (...) {
      once->finish(std::current_exception());
    }
  });
}

}  // namespace nimbrel
