#pragma once

// A stream layer under Beast's WebSocket stream that hands every received text frame to Beast
// as a binary frame and remembers which messages were text. Beast fails the connection on a
// text message that is not valid UTF-8; the transport instead delivers it with the bad
// sequences replaced by U+FFFD. Only the opcode nibble of each data frame's first byte is
// changed, in Beast's own buffer, before Beast parses it; everything written passes unchanged.

#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/compose.hpp>
#include <boost/beast/core/buffers_prefix.hpp>
#include <boost/beast/websocket/teardown.hpp>

#include <cstdint>
#include <deque>

namespace nimbrel {

class FrameScanner {
 public:
  // Frames start after an HTTP head that is read through the stream (a client's handshake
  // answer); otherwise they start at the first byte.
  explicit FrameScanner(bool httpFirst) : phase_(httpFirst ? Phase::http : Phase::header) {}

  // Looks at `size` received bytes and rewrites text opcodes to binary.
  void scan(std::uint8_t* data, std::size_t size);

  // Whether the next message Beast delivers was sent as text.
  bool takeMessageWasText() {
    if (messageIsText_.empty()) return false;
    const bool text = messageIsText_.front();
    messageIsText_.pop_front();
    return text;
  }

 private:
  enum class Phase { http, header, payload };
  Phase phase_;
  unsigned httpMatched_ = 0;  // how much of "\r\n\r\n" has been seen
  std::uint8_t header_[14] = {};
  std::size_t headerHave_ = 0;
  std::size_t headerNeed_ = 2;
  std::uint64_t payloadLeft_ = 0;
  std::deque<bool> messageIsText_;
};

inline void FrameScanner::scan(std::uint8_t* data, std::size_t size) {
  static constexpr char kEndOfHead[] = "\r\n\r\n";
  std::size_t i = 0;
  while (i < size) {
    switch (phase_) {
      case Phase::http:
        httpMatched_ = data[i] == kEndOfHead[httpMatched_] ? httpMatched_ + 1
                       : data[i] == '\r'                  ? 1
                                                          : 0;
        ++i;
        if (httpMatched_ == 4) phase_ = Phase::header;
        break;
      case Phase::header: {
        std::uint8_t& byte = data[i++];
        if (headerHave_ == 0) {
          const unsigned opcode = byte & 0x0f;
          if (opcode == 0x1) {
            byte = static_cast<std::uint8_t>((byte & 0xf0) | 0x2);
            messageIsText_.push_back(true);
          } else if (opcode == 0x2) {
            messageIsText_.push_back(false);
          }
        }
        header_[headerHave_++] = byte;
        if (headerHave_ == 2) {
          const unsigned length7 = header_[1] & 0x7f;
          headerNeed_ = 2 + (length7 == 126 ? 2 : length7 == 127 ? 8 : 0) +
                        ((header_[1] & 0x80) ? 4 : 0);
        }
        if (headerHave_ >= 2 && headerHave_ == headerNeed_) {
          const unsigned length7 = header_[1] & 0x7f;
          std::uint64_t length = length7;
          if (length7 >= 126) {
            length = 0;
            const std::size_t bytes = length7 == 126 ? 2 : 8;
            for (std::size_t k = 0; k < bytes; ++k) length = length << 8 | header_[2 + k];
          }
          payloadLeft_ = length;
          headerHave_ = 0;
          headerNeed_ = 2;
          if (payloadLeft_ > 0) phase_ = Phase::payload;
        }
        break;
      }
      case Phase::payload: {
        const std::uint64_t skip = std::min<std::uint64_t>(payloadLeft_, size - i);
        i += static_cast<std::size_t>(skip);
        payloadLeft_ -= skip;
        if (payloadLeft_ == 0) phase_ = Phase::header;
        break;
      }
    }
  }
}

template <typename NextLayer>
class LenientTextStream {
 public:
  using next_layer_type = NextLayer;
  using executor_type = typename NextLayer::executor_type;

  template <typename... Args>
  explicit LenientTextStream(bool httpFirst, Args&&... args)
      : next_(std::forward<Args>(args)...), scanner_(httpFirst) {}

  executor_type get_executor() noexcept { return next_.get_executor(); }
  NextLayer& next_layer() noexcept { return next_; }
  const NextLayer& next_layer() const noexcept { return next_; }
  FrameScanner& scanner() noexcept { return scanner_; }

  template <typename MutableBuffers, typename Token>
  auto async_read_some(const MutableBuffers& buffers, Token&& token) {
    return boost::asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(
        ReadOp<MutableBuffers>{*this, buffers}, token, next_);
  }

  template <typename ConstBuffers, typename Token>
  auto async_write_some(const ConstBuffers& buffers, Token&& token) {
    return next_.async_write_some(buffers, std::forward<Token>(token));
  }

 private:
  template <typename MutableBuffers>
  struct ReadOp {
    LenientTextStream& stream;
    MutableBuffers buffers;
    bool started = false;

    template <typename Self>
    void operator()(Self& self, boost::system::error_code error = {}, std::size_t size = 0) {
      if (!started) {
        started = true;
        stream.next_.async_read_some(buffers, std::move(self));
        return;
      }
      const auto received = boost::beast::buffers_prefix(size, buffers);
      for (auto it = boost::asio::buffer_sequence_begin(received);
           it != boost::asio::buffer_sequence_end(received); ++it) {
        const boost::asio::mutable_buffer piece = *it;
        stream.scanner_.scan(static_cast<std::uint8_t*>(piece.data()), piece.size());
      }
      self.complete(error, size);
    }
  };

  NextLayer next_;
  FrameScanner scanner_;
};

// Closing the WebSocket closes what lies beneath.
template <typename NextLayer>
void teardown(boost::beast::role_type role, LenientTextStream<NextLayer>& stream,
              boost::system::error_code& error) {
  using boost::beast::websocket::teardown;
  teardown(role, stream.next_layer(), error);
}

template <typename NextLayer, typename Handler>
void async_teardown(boost::beast::role_type role, LenientTextStream<NextLayer>& stream,
                    Handler&& handler) {
  using boost::beast::websocket::async_teardown;
  async_teardown(role, stream.next_layer(), std::forward<Handler>(handler));
}

}  // namespace nimbrel
