#include "cloud_server/server.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "cloud_server/cloud_api.hpp"
#include "cloud_server/event_log.hpp"
#include "cloud_server/request.hpp"
#include "cloud_server/secrets.hpp"
#include "cloud_server/web_app.hpp"
#include "net/lenient_text_stream.hpp"
#include "net/task_completion.hpp"

namespace nimbrel::cloud {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;
using Request = http::request<http::string_body>;

namespace {

std::chrono::steady_clock::duration seconds(double value) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(value));
}

double systemNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Runs `work` on the worker pool and resumes the caller on its own executor with the result
// (or what `work` threw).
template <typename R>
asio::awaitable<R> onWorker(asio::thread_pool& pool, std::function<R()> work) {
  auto result = co_await asio::async_initiate<const asio::use_awaitable_t<>&,
                                              void(std::exception_ptr, std::optional<R>)>(
      [&pool](auto handler, std::function<R()> job) {
        auto resumeOn = asio::get_associated_executor(handler);
        asio::post(pool, [handler = std::move(handler), job = std::move(job), resumeOn]() mutable {
          std::exception_ptr error;
          std::optional<R> value;
          try {
            value.emplace(job());
          } catch (...) {
            error = std::current_exception();
          }
          asio::post(resumeOn, [handler = std::move(handler), error,
                                value = std::move(value)]() mutable {
            std::move(handler)(error, std::move(value));
          });
        });
      },
      asio::use_awaitable, std::move(work));
  co_return std::move(*result);
}

template <typename Stream>
tcp::socket& socketOf(Stream& stream) {
  return beast::get_lowest_layer(stream).socket();
}

// A relay WebSocket over a plain or TLS stream. Received text frames reach Beast as binary
// (LenientTextStream), so a text message passes through exactly as sent, valid UTF-8 or not,
// and goes out again as text.
template <typename Stream>
class BeastRelaySocket final : public RelaySocket,
                               public std::enable_shared_from_this<BeastRelaySocket<Stream>> {
  using std::enable_shared_from_this<BeastRelaySocket<Stream>>::shared_from_this;
  using std::enable_shared_from_this<BeastRelaySocket<Stream>>::weak_from_this;

 public:
  // `admission` counts the connection as open for as long as the socket lives.
  BeastRelaySocket(Stream stream, std::string peer, double idleTimeout, double closeTimeout,
                   std::size_t maxMessage, std::shared_ptr<void> admission)
      : ws_(false, std::move(stream)),
        peer_(std::move(peer)),
        closeTimeout_(closeTimeout),
        admission_(std::move(admission)) {
    ws_.read_message_max(maxMessage);
    ws_.auto_fragment(false);
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = seconds(closeTimeout);
    timeouts.idle_timeout = seconds(idleTimeout);
    timeouts.keep_alive_pings = true;  // a ping at half the idle time; no answer: dropped
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& response) { response.set(http::field::server, "nimbrel-cloud"); }));
  }

  asio::awaitable<bool> accept(const Request& request) {
    error_code error;
    co_await ws_.async_accept(request, asio::redirect_error(asio::use_awaitable, error));
    co_return !error;
  }

  asio::awaitable<bool> read(beast::flat_buffer& into) override {
    error_code error;
    co_await ws_.async_read(into, asio::redirect_error(asio::use_awaitable, error));
    if (error == websocket::error::closed) {
      const auto& reason = ws_.reason();
      throw ConnectionEnded(reason.code, std::string(reason.reason.data(), reason.reason.size()));
    }
    if (error) throw ConnectionEnded(0, error.message());
    co_return ws_.next_layer().scanner().takeMessageWasText();
  }

  asio::awaitable<void> write(asio::const_buffer data, bool text) override {
    ws_.text(text);
    error_code error;
    co_await ws_.async_write(data, asio::redirect_error(asio::use_awaitable, error));
    if (error) throw ConnectionEnded(0, error.message());
  }

  void sendText(std::string text) override {
    if (closing_) return;
    queue_.push_back(std::move(text));
    if (writing_) return;
    writing_ = true;
    spawnLogged(ws_.get_executor(), writeQueue(shared_from_this()), "relay send to " + peer_);
  }

  void close(std::uint16_t code, std::string reason) override {
    if (closing_) return;
    closing_ = true;
    if (reason.size() > 120) reason.resize(120);
    spawnLogged(ws_.get_executor(), closeTask(shared_from_this(), code, std::move(reason)),
                "relay close of " + peer_);
  }

  const std::string& peer() const override { return peer_; }

 private:
  static asio::awaitable<void> writeQueue(std::shared_ptr<BeastRelaySocket> self) {
    while (!self->queue_.empty() && !self->closing_) {
      const std::string text = std::move(self->queue_.front());
      self->queue_.pop_front();
      self->ws_.text(true);
      error_code error;
      co_await self->ws_.async_write(asio::buffer(text),
                                     asio::redirect_error(asio::use_awaitable, error));
      if (error) break;
    }
    self->queue_.clear();
    self->writing_ = false;
  }

  static asio::awaitable<void> closeTask(std::shared_ptr<BeastRelaySocket> self,
                                         std::uint16_t code, std::string reason) {
    // A peer that reads nothing can hold a pending write, and so the close frame, forever.
    asio::steady_timer watchdog(self->ws_.get_executor(), seconds(self->closeTimeout_));
    watchdog.async_wait([weak = self->weak_from_this()](error_code error) {
      if (error) return;
      if (auto socket = weak.lock()) socket->cut();
    });
    error_code error;
    co_await self->ws_.async_close(websocket::close_reason(static_cast<websocket::close_code>(code), reason),
                                   asio::redirect_error(asio::use_awaitable, error));
    watchdog.cancel();
    self->cut();
  }

  void cut() {
    error_code ignored;
    socketOf(ws_).shutdown(tcp::socket::shutdown_both, ignored);
    socketOf(ws_).close(ignored);
  }

  websocket::stream<LenientTextStream<Stream>> ws_;
  std::string peer_;
  double closeTimeout_;
  std::shared_ptr<void> admission_;
  std::deque<std::string> queue_;
  bool writing_ = false;
  bool closing_ = false;
};

std::string peerText(const tcp::socket& socket) {
  error_code error;
  const auto endpoint = socket.remote_endpoint(error);
  if (error) return "?";
  auto address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return address.to_string();
}

http::response<http::string_body> render(const ApiResponse& api, unsigned version, bool keepAlive) {
  http::response<http::string_body> response{static_cast<http::status>(api.status), version};
  response.set(http::field::server, "nimbrel-cloud");
  response.set(http::field::cache_control, "no-store");
  if (api.body) {
    response.set(http::field::content_type, "application/json");
    response.body() = boost::json::serialize(*api.body);
  }
  if (api.retryAfter) {
    response.set(http::field::retry_after,
                 std::to_string(static_cast<long long>(std::ceil(*api.retryAfter))));
  }
  if (!api.allow.empty()) response.set(http::field::allow, api.allow);
  response.keep_alive(keepAlive);
  response.prepare_payload();
  return response;
}

using WebResponse = http::response<http::span_body<const char>>;

WebResponse renderWebAnswer(const WebAnswer& web, unsigned version, bool keepAlive) {
  WebResponse response{static_cast<http::status>(web.status), version};
  response.set(http::field::server, "nimbrel-cloud");
  for (const auto& [name, value] : web.headers) response.set(name, value);
  response.body() = {web.body.data(), web.body.size()};
  response.content_length(web.body.size());
  response.keep_alive(keepAlive);
  return response;
}

template <typename Stream>
asio::awaitable<error_code> writeWebAnswer(Stream& stream, WebResponse response, bool sendBody) {
  http::response_serializer<http::span_body<const char>> writer(response);
  error_code error;
  if (sendBody) {
    co_await http::async_write(stream, writer, asio::redirect_error(asio::use_awaitable, error));
  } else {
    co_await http::async_write_header(stream, writer,
                                      asio::redirect_error(asio::use_awaitable, error));
  }
  co_return error;
}

}  // namespace

struct CloudServer::Listener {
  explicit Listener(const asio::any_io_executor& executor) : acceptor(executor) {}
  tcp::acceptor acceptor;
};

// Open connections by address key and in all, against the caps. Thread-safe: the last holder
// of a relay socket may let it go on any thread. A spell of refusals is logged when it starts
// and when connections are taken again, not once per connection.
class CloudServer::Admissions : public std::enable_shared_from_this<Admissions> {
 public:
  enum class Verdict { admitted, addressFull, serviceFull };

  Admissions(int perAddress, int overall) : perAddress_(perAddress), overall_(overall) {}

  Verdict admit(const std::string& key) {
    std::string line;
    Verdict verdict = Verdict::admitted;
    {
      std::lock_guard lock(lock_);
      int& fromKey = open_[key];
      if (total_ >= overall_) {
        verdict = Verdict::serviceFull;
        if (refusedOverall_++ == 0) {
          line = "refusing connections: " + std::to_string(total_) +
                 " are open, the most the service takes";
        }
      } else if (fromKey >= perAddress_) {
        verdict = Verdict::addressFull;
        if (refusedFrom_[key]++ == 0) {
          line = "refusing connections from " + key + ": " + std::to_string(fromKey) +
                 " are open from it, the most one address may have";
        }
      } else {
        ++fromKey;
        ++total_;
      }
      if (fromKey == 0) open_.erase(key);
    }
    if (!line.empty()) logEvent(line);
    return verdict;
  }

  // What an admitted connection holds while it is open; the last copy gives its place back.
  std::shared_ptr<void> hold(const std::string& key) {
    class Held {
     public:
      Held(std::shared_ptr<Admissions> admissions, std::string key)
          : admissions_(std::move(admissions)), key_(std::move(key)) {}
      Held(const Held&) = delete;
      Held& operator=(const Held&) = delete;
      ~Held() { admissions_->release(key_); }

     private:
      std::shared_ptr<Admissions> admissions_;
      std::string key_;
    };
    return std::make_shared<Held>(shared_from_this(), key);
  }

 private:
  void release(const std::string& key) {
    std::vector<std::string> lines;
    {
      std::lock_guard lock(lock_);
      --total_;
      const auto from = open_.find(key);
      if (from != open_.end() && --from->second == 0) open_.erase(from);
      if (const auto refused = refusedFrom_.find(key); refused != refusedFrom_.end()) {
        lines.push_back("taking connections from " + key + " again (" +
                        std::to_string(refused->second) + " refused meanwhile)");
        refusedFrom_.erase(refused);
      }
      if (refusedOverall_ > 0 && total_ < overall_) {
        lines.push_back("taking connections again (" + std::to_string(refusedOverall_) +
                        " refused meanwhile)");
        refusedOverall_ = 0;
      }
    }
    for (const auto& line : lines) logEvent(line);
  }

  const int perAddress_;
  const int overall_;
  std::mutex lock_;
  int total_ = 0;
  std::map<std::string, int> open_;          // by address key
  std::map<std::string, long> refusedFrom_;  // keys at their cap: refusals so far
  long refusedOverall_ = 0;
};

// One accepted TCP connection: TLS if configured, then HTTP requests until the peer is done or
// one of them upgrades to a relay WebSocket.
template <typename Stream>
class Connection {
 public:
  // `admission` counts the connection as open (Admissions) until it ends.
  static asio::awaitable<void> serve(std::shared_ptr<CloudServer> server, Stream stream,
                                     std::string peer, std::shared_ptr<void> admission) {
    const Limits& limits = server->options_.limits;
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      beast::get_lowest_layer(stream).expires_after(seconds(limits.requestTimeout));
      error_code error;
      co_await stream.async_handshake(ssl::stream_base::server,
                                      asio::redirect_error(asio::use_awaitable, error));
      if (error) co_return;  // scanners and clients with the wrong scheme: nothing to log
    }
    beast::flat_buffer buffer;
    for (;;) {
      http::request_parser<http::string_body> parser;
      parser.header_limit(static_cast<std::uint32_t>(limits.maxHeaderBytes));
      parser.body_limit(limits.maxBodyBytes);
      beast::get_lowest_layer(stream).expires_after(seconds(limits.requestTimeout));
      error_code error;
      co_await http::async_read(stream, buffer, parser,
                                asio::redirect_error(asio::use_awaitable, error));
      if (error == http::error::end_of_stream || error == beast::error::timeout ||
          error == asio::error::eof || error == asio::error::connection_reset ||
          error == asio::error::operation_aborted) {
        break;
      }
      if (error) {
        ApiResponse refusal =
            error == http::error::body_limit
                ? apiError(413, "too_large", "The request body is too large")
            : error == http::error::header_limit
                ? apiError(431, "headers_too_large", "The request headers are too large")
                : apiError(400, "bad_request", "Malformed HTTP request");
        auto response = render(refusal, 11, false);
        co_await http::async_write(stream, response,
                                   asio::redirect_error(asio::use_awaitable, error));
        if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
          // Closing with unread input would reset the connection and could destroy the answer
          // before the client reads it: stop sending, then take (a bounded amount of) what
          // the client is still sending.
          error_code ignored;
          socketOf(stream).shutdown(tcp::socket::shutdown_send, ignored);
          stream.expires_after(seconds(limits.closeTimeout));
          std::size_t drained = 0;
          char scratch[16384];
          while (drained < (4u << 20)) {
            const std::size_t n = co_await stream.async_read_some(
                asio::buffer(scratch), asio::redirect_error(asio::use_awaitable, ignored));
            if (ignored) break;
            drained += n;
          }
        }
        break;
      }
      Request request = parser.release();
      const Route r = route(std::string_view(request.method_string()), request.target());
      if (websocket::is_upgrade(request) && isWebSocketEndpoint(r.endpoint) && r.methodAllowed) {
        // The host's session sockets come with the relay token of its open control connection,
        // which the relay knows without a lookup.
        std::string liveHost;
        const bool wellFormed = r.endpoint == Endpoint::relayHost ||
                                (r.endpoint == Endpoint::relaySession ? isSessionId(r.id)
                                                                      : isHostId(r.id));
        if (r.endpoint == Endpoint::relaySession && wellFormed) {
          if (const auto token = bearerToken(request[http::field::authorization])) {
            liveHost = server->relay_.hostOfLiveControl(tokenHash(*token)).value_or("");
          }
        }
        const std::string key = addressKey(peer);
        std::optional<ApiResponse> refusal;
        if (liveHost.empty()) refusal = server->upgradesRefused(key);
        if (!refusal && !wellFormed) {
          // Ids are what the service makes; anything else is refused before any lookup.
          server->upgradeFailed(key);
          logEvent("relay refused " + peer + ": " +
                   (r.endpoint == Endpoint::relaySession ? "a session id" : "a computer id") +
                   " of the wrong shape (400)");
          refusal = apiError(400, "bad_id",
                             r.endpoint == Endpoint::relaySession ? "No such session"
                                                                  : "No such computer");
        }
        if (refusal) {
          auto response = render(*refusal, request.version(), false);
          beast::get_lowest_layer(stream).expires_after(seconds(limits.requestTimeout));
          co_await http::async_write(stream, response,
                                     asio::redirect_error(asio::use_awaitable, error));
          break;
        }
        co_await webSocket(server, std::move(stream), std::move(request), r, std::move(peer),
                           std::move(admission), std::move(liveHost));
        co_return;
      }
      if (r.endpoint == Endpoint::unknown) {
        // The browser client's own files; every other unknown path is the API's 404.
        const auto web = webAppAnswer(std::string_view(request.method_string()), request.target(),
                                      request[http::field::if_none_match]);
        if (web) {
          server->connectionStarted();
          const bool keepAlive = request.keep_alive() && !server->stopping_;
          beast::get_lowest_layer(stream).expires_after(seconds(limits.requestTimeout));
          error = co_await writeWebAnswer(stream, renderWebAnswer(*web, request.version(), keepAlive),
                                          web->sendBody);
          server->connectionEnded();
          if (error || !keepAlive) break;
          continue;
        }
      }
      ApiRequest apiRequest{std::string(request.method_string()),
                            std::string(request.target()),
                            std::string(request[http::field::authorization]),
                            std::move(request.body()),
                            peer,
                            std::string(request[http::field::host]),
                            std::is_same_v<Stream, TlsStream>};
      server->connectionStarted();
      CloudApi* api = server->api_.get();
      std::function<ApiResponse()> work = [api, apiRequest = std::move(apiRequest)] {
        return api->handle(apiRequest);
      };
      ApiResponse answer;
      try {
        answer = co_await onWorker(*server->worker_, std::move(work));
      } catch (const std::exception&) {
        answer = apiError(500, "internal", "The service could not complete the request");
      }
      for (const auto& hostId : answer.cutOff) {
        server->relay_.cutOff(hostId, close_code::removed, "removed from its account");
      }
      const bool keepAlive = request.keep_alive() && !server->stopping_;
      auto response = render(answer, request.version(), keepAlive);
      beast::get_lowest_layer(stream).expires_after(seconds(limits.requestTimeout));
      co_await http::async_write(stream, response,
                                 asio::redirect_error(asio::use_awaitable, error));
      server->connectionEnded();
      if (error || !keepAlive) break;
    }
    error_code ignored;
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      beast::get_lowest_layer(stream).expires_after(seconds(limits.closeTimeout));
      co_await stream.async_shutdown(asio::redirect_error(asio::use_awaitable, ignored));
    }
    socketOf(stream).shutdown(tcp::socket::shutdown_send, ignored);
  }

  // Over-cap connections: answered "busy" once their request head is in (or the close time-out
  // has passed), then closed.
  static asio::awaitable<void> refuse(std::shared_ptr<CloudServer> server, Stream stream,
                                      ApiResponse answer) {
    struct Done {
      CloudServer& server;
      ~Done() { --server.refusing_; }
    } done{*server};
    const double timeout = server->options_.limits.closeTimeout;
    error_code ignored;
    beast::get_lowest_layer(stream).expires_after(seconds(timeout));
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      co_await stream.async_handshake(ssl::stream_base::server,
                                      asio::redirect_error(asio::use_awaitable, ignored));
      if (ignored) co_return;
    }
    beast::flat_buffer buffer;
    http::request_parser<http::empty_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(server->options_.limits.maxHeaderBytes));
    co_await http::async_read_header(stream, buffer, parser,
                                     asio::redirect_error(asio::use_awaitable, ignored));
    auto response = render(answer, 11, false);
    co_await http::async_write(stream, response,
                               asio::redirect_error(asio::use_awaitable, ignored));
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      co_await stream.async_shutdown(asio::redirect_error(asio::use_awaitable, ignored));
    } else {
      // What the client still sends is read and dropped, so that closing does not reset the
      // connection before the answer is read.
      socketOf(stream).shutdown(tcp::socket::shutdown_send, ignored);
      char scratch[4096];
      for (std::size_t drained = 0; drained < (64u << 10);) {
        const std::size_t n = co_await stream.async_read_some(
            asio::buffer(scratch), asio::redirect_error(asio::use_awaitable, ignored));
        if (ignored) break;
        drained += n;
      }
    }
  }

 private:
  static asio::awaitable<void> webSocket(std::shared_ptr<CloudServer> server, Stream stream,
                                         Request request, Route r, std::string peer,
                                         std::shared_ptr<void> admission, std::string liveHost) {
    const Limits& limits = server->options_.limits;
    const bool control = r.endpoint == Endpoint::relayHost;
    auto socket = std::make_shared<BeastRelaySocket<Stream>>(
        std::move(stream), peer, control ? limits.controlIdleTimeout : limits.sessionIdleTimeout,
        limits.closeTimeout, control ? limits.maxControlMessageBytes : limits.maxMessageBytes,
        std::move(admission));
    if (!co_await socket->accept(request)) co_return;
    if (server->stopping_) {
      socket->close(close_code::goingAway, "Service stopping");
      co_return;
    }
    server->connectionStarted();
    struct Ended {
      CloudServer& server;
      ~Ended() { server.connectionEnded(); }
    } ended{*server};

    CloudApi* api = server->api_.get();
    const auto token = bearerToken(request[http::field::authorization]);
    Credential credential;
    if (!liveHost.empty()) {
      // The relay token of the host's open control connection: good while that lasts.
      credential.state = Credential::State::valid;
      credential.hostId = std::move(liveHost);
    } else {
      std::function<Credential()> check;
      if (r.endpoint == Endpoint::relayClient) {
        check = [api, ticket = r.ticket] {
          return ticket.empty() ? Credential{} : api->useTicket(ticket);
        };
      } else {
        check = [api, token] { return token ? api->relayCredential(*token) : Credential{}; };
      }
      try {
        credential = co_await onWorker(*server->worker_, std::move(check));
      } catch (const std::exception& e) {
        logEvent(std::string("relay refused a connection from ") + peer + ": " + e.what());
        socket->close(1011, "Internal error");
        co_return;
      }
    }
    if (r.endpoint == Endpoint::relayClient && credential.hostId != r.id) {
      credential.state = Credential::State::unknown;
    }
    const char* what = r.endpoint == Endpoint::relayClient ? "ticket" : "relay token";
    if (credential.state == Credential::State::removed) {
      server->upgradeFailed(addressKey(peer));
      logEvent("relay refused " + peer + ": the " + what + "'s host was removed (4410)");
      socket->close(close_code::removed, "Access revoked");
      co_return;
    }
    if (credential.state != Credential::State::valid) {
      server->upgradeFailed(addressKey(peer));
      logEvent("relay refused " + peer + ": " +
               (credential.state == Credential::State::expired ? "expired " : "unknown ") + what +
               " (4401)");
      socket->close(close_code::unauthorized, "Relay access expired");
      co_return;
    }
    switch (r.endpoint) {
      case Endpoint::relayHost:
        co_await server->relay_.hostControl(socket, credential.hostId, tokenHash(*token));
        break;
      case Endpoint::relayClient:
        co_await server->relay_.client(socket, credential.hostId);
        break;
      default:
        if (!server->relay_.hostSession(socket, credential.hostId, r.id)) {
          server->upgradeFailed(addressKey(peer));
        }
        break;
    }
  }
};

std::shared_ptr<CloudServer> CloudServer::create(asio::any_io_executor executor,
                                                 std::unique_ptr<Store> store, Options options) {
  return std::make_shared<CloudServer>(Private{}, std::move(executor), std::move(store),
                                       std::move(options));
}

CloudServer::CloudServer(Private, asio::any_io_executor executor, std::unique_ptr<Store> store,
                         Options options)
    : strand_(asio::make_strand(executor)),
      worker_(std::make_unique<asio::thread_pool>(1)),
      store_(std::move(store)),
      options_(std::move(options)),
      relay_(strand_, options_.limits),
      admissions_(std::make_shared<Admissions>(options_.limits.maxConnectionsPerAddress,
                                               options_.limits.maxConnections)),
      failedUpgradesByAddress_(options_.limits.failedUpgradesPerAddress),
      failedUpgrades_(options_.limits.failedUpgrades),
      housekeepingTimer_(strand_),
      stopTimer_(strand_) {
  if (!options_.now) options_.now = systemNow;
  CloudApi::Settings settings{options_.limits, options_.publicUrl, options_.listen, options_.now,
                              [relay = &relay_](const std::string& id) { return relay->isOnline(id); }};
  api_ = std::make_unique<CloudApi>(*store_, std::move(settings));
}

CloudServer::~CloudServer() {
  // Store work still queued finishes before the store goes.
  worker_->join();
}

RelayStats CloudServer::relayStats() const { return relay_.stats(); }

void CloudServer::start() {
  const auto where = parseListenAddress(options_.listen);
  if (!where) {
    throw std::runtime_error("cannot listen on \"" + options_.listen +
                             "\": give ADDRESS:PORT, an IPv6 address in brackets");
  }
  auto listener = std::make_shared<Listener>(strand_);
  const tcp::endpoint endpoint(asio::ip::make_address(where->address), where->port);
  error_code error;
  listener->acceptor.open(endpoint.protocol(), error);
  if (!error) listener->acceptor.set_option(asio::socket_base::reuse_address(true), error);
  if (!error) listener->acceptor.bind(endpoint, error);
  if (!error) listener->acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    throw std::runtime_error("cannot listen on " + options_.listen + ": " + error.message());
  }
  port_ = listener->acceptor.local_endpoint().port();
  const std::string host =
      endpoint.address().is_v6() ? "[" + where->address + "]" : where->address;
  api_ = std::make_unique<CloudApi>(
      *store_, CloudApi::Settings{options_.limits, options_.publicUrl,
                                  host + ":" + std::to_string(port_.load()), options_.now,
                                  [relay = &relay_](const std::string& id) {
                                    return relay->isOnline(id);
                                  }});
  listener_ = listener;
  spawnLogged(strand_, acceptLoop(listener), "the listener");
  spawnLogged(strand_, housekeeping(), "housekeeping");
}

asio::awaitable<void> CloudServer::acceptLoop(std::shared_ptr<Listener> listener) {
  auto self = shared_from_this();
  bool errorLogged = false;
  for (;;) {
    // Every connection shares the service's strand: the relay's sessions span two connections,
    // and one core passes their messages comfortably.
    auto [error, socket] =
        co_await listener->acceptor.async_accept(strand_, asio::as_tuple(asio::use_awaitable));
    if (stopping_ || !listener->acceptor.is_open()) co_return;
    if (error) {
      // Out of descriptors and the like: say so once, pause briefly, keep serving.
      if (!errorLogged) logEvent("cannot accept a connection: " + error.message());
      errorLogged = true;
      asio::steady_timer pause(strand_, std::chrono::milliseconds(100));
      co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
      continue;
    }
    errorLogged = false;
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    socket.set_option(asio::socket_base::keep_alive(true), ignored);
    std::string peer = peerText(socket);
    const std::string key = addressKey(peer);
    const auto verdict = admissions_->admit(key);
    if (verdict != Admissions::Verdict::admitted) {
      // Beyond a cap: a clear answer while few are being refused, else simply closed.
      if (refusing_ >= options_.limits.maxRefusals) {
        socket.close(ignored);
        continue;
      }
      ++refusing_;
      ApiResponse answer =
          verdict == Admissions::Verdict::addressFull
              ? apiError(429, "too_many_connections",
                         "Too many open connections from your address; try again later")
              : apiError(503, "busy", "The service has too many open connections; try again later");
      answer.retryAfter = options_.limits.refusalRetryAfter;
      if (options_.tls) {
        spawnLogged(strand_,
                    Connection<TlsStream>::refuse(self, TlsStream(std::move(socket), *options_.tls),
                                                  std::move(answer)),
                    "the refusal of " + peer);
      } else {
        spawnLogged(strand_,
                    Connection<beast::tcp_stream>::refuse(self, beast::tcp_stream(std::move(socket)),
                                                          std::move(answer)),
                    "the refusal of " + peer);
      }
      continue;
    }
    auto admission = admissions_->hold(key);
    if (options_.tls) {
      spawnLogged(strand_,
                  Connection<TlsStream>::serve(self, TlsStream(std::move(socket), *options_.tls),
                                               peer, std::move(admission)),
                  "connection from " + peer);
    } else {
      spawnLogged(strand_,
                  Connection<beast::tcp_stream>::serve(
                      self, beast::tcp_stream(std::move(socket)), peer, std::move(admission)),
                  "connection from " + peer);
    }
  }
}

std::optional<ApiResponse> CloudServer::upgradesRefused(const std::string& key) {
  const double now = options_.now();
  std::optional<double> wait = failedUpgradesByAddress_.peek(key, now);
  bool everyone = false;
  // When too many fail from everywhere, only addresses that failed lately are refused: a clean
  // address with a good credential is never locked out by others' guessing.
  if (!wait && failedUpgradesByAddress_.used(key, now)) {
    wait = failedUpgrades_.peek("", now);
    everyone = wait.has_value();
  }
  if (!wait) return std::nullopt;
  const double retry = std::max(1.0, std::ceil(*wait));
  const std::string spell = everyone ? "" : key;
  if (const auto logged = refusalLogged_.find(spell);
      logged == refusalLogged_.end() || logged->second <= now) {
    logEvent(everyone ? "refusing relay connections: too many failed lately, from everywhere"
                      : "refusing relay connections from " + key + ": too many failed lately");
    std::erase_if(refusalLogged_, [now](const auto& entry) { return entry.second <= now; });
  }
  // A spell lasts while refusals keep coming; it is logged once.
  refusalLogged_[spell] = now + retry;
  ApiResponse answer =
      everyone ? apiError(503, "busy", "Too many failed relay connections; try again later")
               : apiError(429, "too_many_failures",
                          "Too many failed relay connections from your address; try again later");
  answer.retryAfter = retry;
  return answer;
}

void CloudServer::upgradeFailed(const std::string& key) {
  const double now = options_.now();
  failedUpgradesByAddress_.take(key, now);
  failedUpgrades_.take("", now);
}

asio::awaitable<void> CloudServer::housekeeping() {
  auto self = shared_from_this();
  while (!stopping_) {
    housekeepingTimer_.expires_after(seconds(options_.limits.externalChangeInterval));
    co_await housekeepingTimer_.async_wait(asio::as_tuple(asio::use_awaitable));
    if (stopping_) break;
    std::vector<std::string> connected = relay_.connectedHosts();
    Store* store = store_.get();
    const double now = options_.now();
    std::function<std::vector<std::string>()> work = [this, store, connected, now] {
      const Limits& limits = options_.limits;
      if (now - lastPurge_ >= limits.purgeInterval) {
        store->purge(now, now - limits.removedHostRetention);
        lastPurge_ = now;
      }
      const std::int64_t changes = store->externalChanges();
      if (changes == externalChanges_ || connected.empty()) {
        externalChanges_ = changes;
        return std::vector<std::string>();
      }
      externalChanges_ = changes;
      return store->goneAmong(connected);
    };
    std::vector<std::string> gone;
    try {
      gone = co_await onWorker(*worker_, std::move(work));
    } catch (const std::exception& e) {
      logEvent(std::string("housekeeping failed: ") + e.what());
    }
    for (const auto& hostId : gone) relay_.cutOff(hostId, close_code::removed, "removed");
  }
}

void CloudServer::connectionStarted() { ++liveConnections_; }

void CloudServer::connectionEnded() {
  --liveConnections_;
  if (stopping_ && liveConnections_ == 0) finishStop();
}

void CloudServer::stop(std::function<void()> done) {
  asio::post(strand_, [self = shared_from_this(), done = std::move(done)]() mutable {
    if (self->stopping_) return;
    self->stopping_ = true;
    self->onStopped_ = std::move(done);
    if (self->listener_) {
      error_code ignored;
      self->listener_->acceptor.close(ignored);
    }
    self->housekeepingTimer_.cancel();
    self->relay_.closeAll(close_code::goingAway, "Service stopping");
    if (self->liveConnections_ == 0) {
      self->finishStop();
      return;
    }
    self->stopTimer_.expires_after(seconds(self->options_.limits.closeTimeout + 1));
    self->stopTimer_.async_wait([self](error_code error) {
      if (!error) self->finishStop();
    });
  });
}

void CloudServer::finishStop() {
  stopTimer_.cancel();
  if (auto done = std::exchange(onStopped_, nullptr)) done();
}

}  // namespace nimbrel::cloud
