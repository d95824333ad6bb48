#include "net/websocket_transport.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <deque>

#include "base/log.hpp"
#include "base/utf8.hpp"
#include "boost/await_on.hpp"
#include "net/accepted_transport.hpp"
#include "net/async_event.hpp"
#include "net/lenient_text_stream.hpp"
#include "net/resume_once.hpp"
#include "net/tls_context.hpp"
#include "net/task_completion.hpp"
#include "net/websocket_url.hpp"

namespace nimbrel {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// ---- shared state of every transport ----

asio::awaitable<void> WebSocketTransport::sendAndWait(Bytes data) {
  co_await ResumeOnce::suspend([&](std::shared_ptr<ResumeOnce> once) {
    queueBinary(std::move(data), std::move(once));
  });
}

std::string WebSocketTransport::remoteHost() const {
  std::lock_guard lock(lock_);
  return remoteHost_;
}

std::optional<std::uint16_t> WebSocketTransport::closeCode() const {
  std::lock_guard lock(lock_);
  return closeCode_;
}

std::string WebSocketTransport::closeReason() const {
  std::lock_guard lock(lock_);
  return closeReason_;
}

void WebSocketTransport::holdUntilAuthenticated(std::shared_ptr<void> ticket) {
  std::lock_guard lock(lock_);
  admission_ = std::move(ticket);
}

void WebSocketTransport::authenticated() {
  limitMessages(kMaxMessageSize);
  releaseAdmission();
}

bool WebSocketTransport::holdsAdmission() const {
  std::lock_guard lock(lock_);
  return admission_ != nullptr;
}

void WebSocketTransport::releaseAdmission() {
  std::shared_ptr<void> ticket;
  std::lock_guard lock(lock_);
  ticket.swap(admission_);
}

void WebSocketTransport::setRemoteHost(std::string host) {
  std::lock_guard lock(lock_);
  remoteHost_ = std::move(host);
}

void WebSocketTransport::noteFailure(const std::string& text) {
  std::lock_guard lock(lock_);
  closeReason_ = text;
}

void WebSocketTransport::noteClose(const CloseOutcome& outcome) {
  std::lock_guard lock(lock_);
  closeReason_ = outcome.text;
  if (outcome.code) closeCode_ = outcome.code;
}

std::string addressText(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  }
  return address.to_string();
}

void tuneSocket(tcp::socket& socket) {
  error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  const int fd = socket.native_handle();
  const int idle = 10;
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  // Interactive video (DSCP AF41), for networks that honour it; IPv4 and IPv6 sockets alike.
  const int trafficClass = 0x88;
  ::setsockopt(fd, IPPROTO_IP, IP_TOS, &trafficClass, sizeof trafficClass);
  ::setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &trafficClass, sizeof trafficClass);
}

namespace {

constexpr auto kConnectTimeout = std::chrono::seconds(8);
// Read buffer capacity kept between messages.
constexpr std::size_t kKeptReadCapacity = 1 << 20;

template <typename Stream>
class BeastTransport final : public WebSocketTransport,
                             public std::enable_shared_from_this<BeastTransport<Stream>> {
  using std::enable_shared_from_this<BeastTransport<Stream>>::shared_from_this;

 public:
  // An accepted connection whose upgrade request has been read.
  BeastTransport(tcp::socket socket, UpgradeRequest request, std::string label)
      requires(std::is_same_v<Stream, beast::tcp_stream>)
      : WebSocketTransport(std::move(label)),
        executor_(socket.get_executor()),
        ws_(false, std::move(socket)),
        request_(std::move(request)) {
    error_code error;
    const auto peer = beast::get_lowest_layer(ws_).socket().remote_endpoint(error);
    setRemoteHost(error ? "?" : addressText(peer.address()));
    configure();
    ws_.read_message_max(kPreAuthMessageSize);
  }

  // A connection to dial.
  BeastTransport(asio::any_io_executor executor, WebSocketUrl url, std::string label,
                 Headers headers, std::shared_ptr<ssl::context> tls)
      : WebSocketTransport(std::move(label)),
        executor_(std::move(executor)),
        ws_(makeStream(executor_, tls)),
        url_(std::move(url)),
        tls_(std::move(tls)) {
    setRemoteHost(url_->host);
    if (!headers.empty()) {
      ws_.set_option(websocket::stream_base::decorator([headers](websocket::request_type& req) {
        for (const auto& [name, value] : headers) req.set(name, value);
      }));
    }
    configure();
  }

  asio::awaitable<void> open(double timeout) override {
    co_await awaitOn(executor_, openOnStrand(shared_from_this(), timeout));
  }

  asio::awaitable<Message> receiveFrame() override {
    co_return co_await awaitOn(executor_, receiveOnStrand(shared_from_this()));
  }

  void send(std::string text) override {
    asio::post(executor_, [self = shared_from_this(), text = std::move(text)]() mutable {
      self->enqueue(Outgoing{Outgoing::Kind::text, std::move(text), {}, nullptr});
    });
  }

  void queueBinary(Bytes data, std::shared_ptr<ResumeOnce> done) override {
    asio::post(executor_, [self = shared_from_this(), data = std::move(data),
                           done = std::move(done)]() mutable {
      self->enqueue(Outgoing{Outgoing::Kind::binary, {}, std::move(data), std::move(done)});
    });
  }

  asio::awaitable<void> ping(double timeout) override {
    auto timer = std::make_shared<asio::steady_timer>(executor_);
    try {
      co_await ResumeOnce::suspend([&](std::shared_ptr<ResumeOnce> once) {
        asio::post(executor_, [self = shared_from_this(), once, timer, timeout] {
          self->pendingPings_.push_back(once);
          self->enqueue(Outgoing{Outgoing::Kind::ping, {}, {}, once});
          timer->expires_after(timeoutDuration(timeout));
          timer->async_wait([once](error_code error) {
            if (!error) once->finish(std::make_exception_ptr(TransportError::timeout()));
          });
        });
      });
    } catch (...) {
      asio::post(executor_, [timer] { timer->cancel(); });
      throw;
    }
    asio::post(executor_, [timer] { timer->cancel(); });
  }

  void close() override {
    asio::post(executor_, [self = shared_from_this()] { self->cancelConnection(); });
  }

  void closeUnlessAuthenticated() override {
    asio::post(executor_, [self = shared_from_this()] {
      if (self->holdsAdmission()) self->cancelConnection();
    });
  }

  void limitMessages(std::size_t bytes) override {
    asio::post(executor_, [self = shared_from_this(), bytes] { self->ws_.read_message_max(bytes); });
  }

 private:
  struct Outgoing {
    enum class Kind { text, binary, ping };
    Kind kind;
    std::string text;
    Bytes data;
    // Resumed when the message has been written (binary) or only if writing failed (ping).
    std::shared_ptr<ResumeOnce> done;
  };

  using WebSocket = websocket::stream<LenientTextStream<Stream>>;

  // A dialled stream reads the server's HTTP answer before its first frame.
  static WebSocket makeStream(const asio::any_io_executor& executor,
                              const std::shared_ptr<ssl::context>& tls) {
    if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
      return WebSocket(true, executor);
    } else {
      return WebSocket(true, executor, *tls);
    }
  }

  void configure() {
    ws_.read_message_max(kMaxMessageSize);
    ws_.auto_fragment(false);
    // Time-outs are ours (open's watchdog, TCP keep-alive); Beast's would close idle sessions.
    websocket::stream_base::timeout none{};
    none.handshake_timeout = websocket::stream_base::none();
    none.idle_timeout = websocket::stream_base::none();
    none.keep_alive_pings = false;
    ws_.set_option(none);
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
      // Runs on the strand, inside a pending read that holds the transport alive.
      if (kind != websocket::frame_type::pong) return;
      for (auto& once : pendingPings_) once->finish();
      pendingPings_.clear();
    });
  }

  void cancelConnection() {
    cancelled_ = true;
    releaseAdmission();
    // Whoever waits on a queued message learns now; nothing stays parked in the queue (where a
    // waiting sender that owns this transport would otherwise keep both alive).
    writeError_ = "cancelled";
    for (auto& queued : queue_) fail(queued, "cancelled");
    queue_.clear();
    error_code ignored;
    auto& socket = beast::get_lowest_layer(ws_).socket();
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
  }

  // The time-out ends the open on time even while a step cannot be interrupted: a name
  // lookup runs to its end on a thread of its own, so the handshake goes on as a task of its
  // own and whichever of it and the watchdog finishes first answers the caller.
  static asio::awaitable<void> openOnStrand(std::shared_ptr<BeastTransport> self, double timeout) {
    // Captures by reference only: g++ 12 destroys a closure inside a co_await expression twice.
    co_await ResumeOnce::suspend([&](std::shared_ptr<ResumeOnce> once) {
      auto watchdog = std::make_shared<asio::steady_timer>(self->executor_, timeoutDuration(timeout));
      watchdog->async_wait([self, once](error_code error) {
        if (error) return;
        self->timedOut_ = true;
        self->noteFailure("Timed out");
        self->cancelConnection();
        once->finish(std::make_exception_ptr(TransportError::timeout()));
      });
      asio::co_spawn(self->executor_, handshakeTask(self),
                     [once, watchdog](std::exception_ptr failure) {
                       watchdog->cancel();
                       once->finish(failure);
                     });
    });
  }

  static asio::awaitable<void> handshakeTask(std::shared_ptr<BeastTransport> self) {
    error_code error;
    std::string failure;
    try {
      co_await self->handshake(error);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    if (self->timedOut_) throw TransportError::timeout();  // the watchdog has answered already
    if (error && failure.empty()) failure = error.message();
    if (self->cancelled_ && failure.empty()) failure = "cancelled";
    if (!failure.empty()) {
      self->noteFailure(failure);
      self->cancelConnection();
      throw TransportError::failed(failure);
    }
  }

  asio::awaitable<void> handshake(error_code& error) {
    if (cancelled_) co_return;
    if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
      if (!url_) {
        co_await ws_.async_accept(request_, asio::redirect_error(asio::use_awaitable, error));
        co_return;
      }
    }
    auto& lowest = beast::get_lowest_layer(ws_);
    tcp::resolver resolver(executor_);
    const auto endpoints = co_await resolver.async_resolve(
        url_->host, std::to_string(url_->port), asio::redirect_error(asio::use_awaitable, error));
    if (error || cancelled_) co_return;
    lowest.expires_after(kConnectTimeout);
    const auto endpoint =
        co_await lowest.async_connect(endpoints, asio::redirect_error(asio::use_awaitable, error));
    lowest.expires_never();
    if (error) {
      if (error == beast::error::timeout) error = asio::error::timed_out;
      co_return;
    }
    setRemoteHost(addressText(endpoint.address()));
    tuneSocket(lowest.socket());
    if constexpr (!std::is_same_v<Stream, beast::tcp_stream>) {
      auto& tlsStream = ws_.next_layer().next_layer();
      if (!SSL_set_tlsext_host_name(tlsStream.native_handle(), url_->host.c_str())) {
        error = error_code(static_cast<int>(::ERR_get_error()), asio::error::get_ssl_category());
        co_return;
      }
      tlsStream.set_verify_callback(ssl::host_name_verification(url_->host));
      co_await tlsStream.async_handshake(ssl::stream_base::client,
                                         asio::redirect_error(asio::use_awaitable, error));
      if (error) co_return;
    }
    co_await ws_.async_handshake(url_->hostHeader, url_->target,
                                 asio::redirect_error(asio::use_awaitable, error));
  }

  static asio::awaitable<Message> receiveOnStrand(std::shared_ptr<BeastTransport> self) {
    if (self->reading_) throw TransportError::failed("a receive is already in progress");
    self->reading_ = true;
    error_code error;
    co_await self->ws_.async_read(self->readBuffer_,
                                  asio::redirect_error(asio::use_awaitable, error));
    self->reading_ = false;
    if (error == websocket::error::closed) {
      const auto& reason = self->ws_.reason();
      const CloseOutcome outcome = interpretClose(reason.code, std::string_view(reason.reason.data(), reason.reason.size()));
      self->noteClose(outcome);
      throw TransportError::closed(outcome.text);
    }
    if (error) {
      if (self->cancelled_) throw TransportError::closed("cancelled");
      if (error == beast::error::timeout || error == asio::error::eof ||
          error == asio::ssl::error::stream_truncated) {
        self->noteFailure("Connection closed");
        throw TransportError::closed("");
      }
      self->noteFailure(error.message());
      throw TransportError::failed(error.message());
    }
    Message message;
    const auto bytes = self->readBuffer_.cdata();
    const auto* begin = static_cast<const std::uint8_t*>(bytes.data());
    if (self->ws_.next_layer().scanner().takeMessageWasText()) {
      message.kind = Message::Kind::text;
      message.text = repairUtf8(asText(ByteView(begin, bytes.size())));
    } else {
      message.data.assign(begin, begin + bytes.size());
    }
    self->readBuffer_.consume(self->readBuffer_.size());
    // A large message leaves its capacity behind: given back, so that an idle session holds
    // little whatever it once received.
    if (self->readBuffer_.capacity() > kKeptReadCapacity) self->readBuffer_.shrink_to_fit();
    co_return message;
  }

  // On the strand.
  void enqueue(Outgoing item) {
    if (writeError_) {
      fail(item, *writeError_);
      return;
    }
    queue_.push_back(std::move(item));
    if (writing_) return;
    writing_ = true;
    spawnLogged(executor_, writeLoop(shared_from_this()), "sending on " + label());
  }

  static void fail(Outgoing& item, const std::string& text) {
    if (item.done) item.done->finish(std::make_exception_ptr(TransportError::failed(text)));
  }

  static asio::awaitable<void> writeLoop(std::shared_ptr<BeastTransport> self) {
    while (!self->queue_.empty()) {
      Outgoing item = std::move(self->queue_.front());
      self->queue_.pop_front();
      error_code error;
      if (item.kind == Outgoing::Kind::ping) {
        co_await self->ws_.async_ping({}, asio::redirect_error(asio::use_awaitable, error));
      } else if (item.kind == Outgoing::Kind::text) {
        self->ws_.text(true);
        co_await self->ws_.async_write(asio::buffer(item.text),
                                       asio::redirect_error(asio::use_awaitable, error));
      } else {
        self->ws_.binary(true);
        co_await self->ws_.async_write(asio::buffer(item.data),
                                       asio::redirect_error(asio::use_awaitable, error));
      }
      if (error) {
        const std::string text = self->cancelled_ ? "cancelled" : error.message();
        self->writeError_ = text;
        fail(item, text);
        for (auto& queued : self->queue_) fail(queued, text);
        self->queue_.clear();
        break;
      }
      if (item.done && item.kind == Outgoing::Kind::binary) item.done->finish();
    }
    self->writing_ = false;
  }

  asio::any_io_executor executor_;  // a strand: every member below is used only there
  WebSocket ws_;
  UpgradeRequest request_;
  std::optional<WebSocketUrl> url_;
  std::shared_ptr<ssl::context> tls_;  // outlives the TLS stream that uses it
  beast::flat_buffer readBuffer_;
  std::deque<Outgoing> queue_;
  bool writing_ = false;
  bool reading_ = false;
  bool cancelled_ = false;
  bool timedOut_ = false;  // the open's watchdog fired
  std::optional<std::string> writeError_;
  std::vector<std::shared_ptr<ResumeOnce>> pendingPings_;
};

}  // namespace

std::shared_ptr<WebSocketTransport> WebSocketTransport::dial(asio::any_io_executor executor,
                                                             std::string_view url,
                                                             std::string label, Headers headers,
                                                             std::shared_ptr<ssl::context> tls) {
  auto parsed = parseWebSocketUrl(url);
  if (!parsed) return nullptr;
  auto strand = asio::make_strand(std::move(executor));
  if (parsed->tls) {
    if (!tls) tls = systemTlsContext();
    return std::make_shared<BeastTransport<beast::ssl_stream<beast::tcp_stream>>>(
        strand, std::move(*parsed), std::move(label), std::move(headers), std::move(tls));
  }
  return std::make_shared<BeastTransport<beast::tcp_stream>>(
      strand, std::move(*parsed), std::move(label), std::move(headers), nullptr);
}

std::shared_ptr<WebSocketTransport> acceptedTransport(tcp::socket socket, UpgradeRequest request,
                                                      std::string label) {
  return std::make_shared<BeastTransport<beast::tcp_stream>>(std::move(socket), std::move(request),
                                                             std::move(label));
}

}  // namespace nimbrel
