#include "net/direct_server.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/span_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <stdexcept>
#include <tuple>

#include "base/log.hpp"
#include "net/accepted_transport.hpp"
#include "net/admission_gate.hpp"
#include "net/async_event.hpp"
#include "net/dnssd.hpp"
#include "net/origin_check.hpp"
#include "net/service_name.hpp"
#include "net/task_completion.hpp"
#include "net/web_files.hpp"

namespace nimbrel {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

struct DirectServer::Listener {
  explicit Listener(const asio::any_io_executor& strand) : acceptor(strand) {}
  tcp::acceptor acceptor;
};

namespace {

// Binds to every interface: IPv6 with IPv4 mapped in where the system has IPv6, else IPv4.
error_code listenOn(tcp::acceptor& acceptor, std::uint16_t port) {
  error_code error;
  for (const tcp protocol : {tcp::v6(), tcp::v4()}) {
    error = {};
    acceptor.close(error);
    acceptor.open(protocol, error);
    if (error) continue;
    acceptor.set_option(asio::socket_base::reuse_address(true), error);
    if (protocol == tcp::v6()) acceptor.set_option(asio::ip::v6_only(false), error);
    acceptor.bind(tcp::endpoint(protocol, port), error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (!error) return {};
    // Only a missing IPv6 stack is a reason to try IPv4; "address in use" is not.
    if (error != asio::error::address_family_not_supported &&
        error != boost::system::errc::address_not_available) {
      break;
    }
  }
  acceptor.close();
  return error;
}

// Answers a plain GET or HEAD for one of the browser client's files; false for any other
// request. The browser link carries the pairing key in its fragment, which browsers never send,
// so no key ever reaches this request line.
asio::awaitable<bool> serveWebFile(beast::tcp_stream& stream, const UpgradeRequest& request,
                                   bool& keepAlive) {
  const bool head = request.method() == http::verb::head;
  if (request.method() != http::verb::get && !head) co_return false;
  const auto file = webFile(request.target());
  if (!file) co_return false;
  http::response<http::span_body<const char>> answer;
  answer.version(request.version());
  answer.keep_alive(request.keep_alive());
  for (const auto& [name, value] : webFileHeaders(*file)) answer.set(name, value);
  const auto match = request.find(http::field::if_none_match);
  const bool unchanged = match != request.end() && match->value() == file->etag;
  answer.result(unchanged ? http::status::not_modified : http::status::ok);
  answer.body() = {file->body.data(), file->body.size()};
  answer.content_length(file->body.size());
  stream.expires_after(std::chrono::seconds(30));
  http::response_serializer<http::span_body<const char>> writer(answer);
  error_code error;
  if (head || unchanged) {
    std::tie(error, std::ignore) =
        co_await http::async_write_header(stream, writer, asio::as_tuple(asio::use_awaitable));
  } else {
    std::tie(error, std::ignore) =
        co_await http::async_write(stream, writer, asio::as_tuple(asio::use_awaitable));
  }
  keepAlive = !error && request.keep_alive();
  co_return true;
}

// A short plain-text answer after which the connection closes: 426 for a request that is not
// an upgrade, 403 for an upgrade from a web page that may not connect.
asio::awaitable<void> answerAndClose(beast::tcp_stream& stream, const UpgradeRequest& request,
                                     http::status status, std::string text) {
  http::response<http::string_body> answer{status, request.version()};
  if (status == http::status::upgrade_required) answer.set(http::field::upgrade, "websocket");
  answer.set(http::field::connection, "close");
  answer.set(http::field::content_type, "text/plain; charset=utf-8");
  answer.body() = std::move(text);
  answer.prepare_payload();
  stream.expires_after(std::chrono::seconds(5));
  co_await http::async_write(stream, answer, asio::as_tuple(asio::use_awaitable));
}

// Reads HTTP requests; hands a WebSocket upgrade on, serves the browser client's files, and
// answers anything else with 426. `ticket` is the connection's place among those that have not
// authenticated: pushed out, the connection is closed.
asio::awaitable<void> readUpgrade(tcp::socket socket, double timeout,
                                  std::weak_ptr<DirectServer> server,
                                  std::shared_ptr<AdmissionGate::Ticket> ticket,
                                  std::vector<std::string> allowedOrigins,
                                  std::function<void(std::shared_ptr<WebSocketTransport>)> hand) {
  error_code error;
  const auto peer = socket.remote_endpoint(error);
  const std::string label = "direct:" + (error ? std::string("?") : addressText(peer.address()));

  auto owned = std::make_shared<beast::tcp_stream>(std::move(socket));
  beast::tcp_stream& stream = *owned;
  ticket->onEvict([weak = std::weak_ptr(owned), executor = stream.get_executor()] {
    asio::post(executor, [weak] {
      if (auto open = weak.lock()) open->close();
    });
  });
  beast::flat_buffer buffer;
  for (;;) {
    http::request_parser<http::string_body> parser;
    parser.header_limit(16 * 1024);
    parser.body_limit(16 * 1024);
    stream.expires_after(timeoutDuration(timeout));
    auto [readError, bytes] =
        co_await http::async_read(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
    if (readError) co_return;  // silent peer, garbage or a dropped connection: just close it
    stream.expires_never();

    UpgradeRequest request = parser.release();
    if (beast::websocket::is_upgrade(request)) {
      if (server.expired()) co_return;
      const auto origin = request.find(http::field::origin);
      const bool hasOrigin = origin != request.end();
      if (!originAllowed(hasOrigin ? std::string_view(origin->value()) : std::string_view(),
                         hasOrigin, request[http::field::host], allowedOrigins)) {
        // The page's name is the stranger's text: no more of it than a line needs.
        logLine("refused a connection from " + label.substr(7) + ": the page " +
                std::string(origin->value().substr(0, 200)) + " may not connect");
        co_await answerAndClose(stream, request, http::status::forbidden,
                                "This page may not connect to this computer.\n");
        break;
      }
      auto transport = acceptedTransport(stream.release_socket(), std::move(request), label);
      ticket->onEvict([weak = std::weak_ptr(transport)] {
        if (auto waiting = weak.lock()) waiting->closeUnlessAuthenticated();
      });
      transport->holdUntilAuthenticated(std::move(ticket));
      hand(std::move(transport));
      co_return;
    }
    bool keepAlive = false;
    if (co_await serveWebFile(stream, request, keepAlive)) {
      if (keepAlive) continue;
      break;
    }
    co_await answerAndClose(stream, request, http::status::upgrade_required,
                            "This is a Nimbrel host. Connect to it with a Nimbrel client.\n");
    break;
  }
  error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
}

}  // namespace

std::shared_ptr<DirectServer> DirectServer::create(asio::any_io_executor executor,
                                                   ConnectionHandler onConnection,
                                                   AdmissionLimits limits) {
  return std::make_shared<DirectServer>(Private{}, std::move(executor), std::move(onConnection),
                                        limits);
}

DirectServer::DirectServer(Private, asio::any_io_executor executor, ConnectionHandler onConnection,
                           AdmissionLimits limits)
    : io_(executor),
      strand_(asio::make_strand(executor)),
      onConnection_(std::move(onConnection)),
      gate_(AdmissionGate::create(limits)) {}

void DirectServer::setAllowedOrigins(std::vector<std::string> origins) {
  std::lock_guard lock(stateLock_);
  allowedOrigins_ = std::move(origins);
}

std::size_t DirectServer::waitingConnections() const { return gate_->waiting(); }

DirectServer::~DirectServer() {
  if (listener_) {
    error_code ignored;
    listener_->acceptor.close(ignored);
  }
}

void DirectServer::setStateHandler(StateHandler onStateChange) {
  std::lock_guard lock(stateLock_);
  onStateChange_ = std::move(onStateChange);
}

void DirectServer::reportState(const std::string& text) {
  StateHandler handler;
  {
    std::lock_guard lock(stateLock_);
    handler = onStateChange_;
  }
  if (handler) handler(text);
}

void DirectServer::start(std::int64_t port, const std::string& name, const std::string& hostID,
                         bool advertise, Started onStarted) {
  if (port < 0 || port > 65535) {
    asio::post(strand_, [self = shared_from_this()] { self->stopOnStrand(); });
    throw std::runtime_error("bad port " + std::to_string(port));
  }
  asio::post(strand_, [self = shared_from_this(), port = static_cast<std::uint16_t>(port), name,
                       hostID, advertise, onStarted = std::move(onStarted)] {
    self->startOnStrand(port, name, hostID, advertise, onStarted);
  });
}

void DirectServer::stop(std::function<void()> onStopped) {
  asio::post(strand_, [self = shared_from_this(), onStopped = std::move(onStopped)] {
    self->stopOnStrand();
    if (onStopped) onStopped();
  });
}

void DirectServer::stopOnStrand() {
  advertisement_.reset();
  if (listener_) {
    error_code ignored;
    listener_->acceptor.close(ignored);
    listener_.reset();
  }
  localPort_ = 0;
}

void DirectServer::startOnStrand(std::uint16_t port, std::string name, std::string hostID,
                                 bool advertise, const Started& onStarted) {
  stopOnStrand();
  auto listener = std::make_shared<Listener>(strand_);
  if (const error_code error = listenOn(listener->acceptor, port)) {
    reportState("failed: " + error.message());
    if (onStarted) onStarted(0, error.message());
    return;
  }
  listener_ = listener;
  error_code ignored;
  localPort_ = listener->acceptor.local_endpoint(ignored).port();
  if (advertise) {
    advertisement_ = DnsSdAdvertisement::publish(
        serviceInstanceName(name, hostID), kServiceType, localPort_,
        {{"id", hostID}, {"n", name}, {"os", "linux"}, {"v", "1"}});
  }
  reportState("listening");

  spawnLogged(strand_, acceptLoop(weak_from_this(), listener), "the listener");
  if (onStarted) onStarted(localPort_, {});
}

asio::awaitable<void> DirectServer::acceptLoop(std::weak_ptr<DirectServer> weak,
                                              std::shared_ptr<Listener> listener) {
  bool errorLogged = false;
  for (;;) {
    asio::any_io_executor io;
    if (auto server = weak.lock()) io = server->io_; else co_return;
    auto [error, accepted] = co_await listener->acceptor.async_accept(
        asio::make_strand(io), asio::as_tuple(asio::use_awaitable));
    auto server = weak.lock();
    if (!server || !listener->acceptor.is_open()) co_return;
    if (error) {
      if (error == asio::error::operation_aborted) co_return;
      // Out of descriptors and the like: say so once, back off briefly, keep serving.
      if (!errorLogged) logLine("Couldn't accept a connection: " + error.message());
      errorLogged = true;
      asio::steady_timer pause(server->strand_, std::chrono::milliseconds(100));
      server.reset();
      co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
      continue;
    }
    errorLogged = false;
    tcp::socket socket(std::move(accepted));
    tuneSocket(socket);
    error_code peerError;
    const auto peer = socket.remote_endpoint(peerError);
    auto ticket = server->gate_->admit(peerError ? "?" : addressText(peer.address()));
    std::vector<std::string> origins;
    {
      std::lock_guard lock(server->stateLock_);
      origins = server->allowedOrigins_;
    }
    auto hand = [weak](std::shared_ptr<WebSocketTransport> transport) {
      auto owner = weak.lock();
      if (!owner) return;
      asio::post(owner->strand_, [owner, transport] {
        if (owner->onConnection_) owner->onConnection_(transport);
      });
    };
    const auto executor = socket.get_executor();
    asio::co_spawn(executor,
                   readUpgrade(std::move(socket), server->upgradeTimeout_.load(), weak,
                               std::move(ticket), std::move(origins), hand),
                   [](std::exception_ptr e) {
                     if (!e) return;
                     try {
                       std::rethrow_exception(e);
                     } catch (const std::exception& what) {
                       logLine(std::string("Dropped a connection: ") + what.what());
                     }
                   });
  }
}

}  // namespace nimbrel
