#include "cloud/http_client.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "net/async_event.hpp"
#include "net/tls_context.hpp"
#include "net/websocket_url.hpp"

namespace nimbrel {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

constexpr std::size_t kBodyLimit = 1 << 20;

std::string describe(const error_code& error) {
  if (error == beast::error::timeout || error == asio::error::timed_out) return "timed out";
  return error.message();
}

class BeastHttpClient final : public HttpClient {
 public:
  BeastHttpClient(asio::any_io_executor executor, HttpTimeouts timeouts,
                  std::shared_ptr<ssl::context> tls)
      : executor_(std::move(executor)), timeouts_(timeouts), tls_(tls ? tls : systemTlsContext()) {}

  asio::awaitable<HttpResponse> perform(HttpRequest request) override {
    const auto url = parseHttpUrl(request.url);
    if (!url) throw HttpFailure("not an http or https URL");
    // The whole request is bounded: past the total, the socket is shut and every step fails.
    auto stream = std::make_shared<beast::ssl_stream<beast::tcp_stream>>(executor_, *tls_);
    auto& lowest = beast::get_lowest_layer(*stream);
    auto watchdog = std::make_shared<asio::steady_timer>(executor_);
    watchdog->expires_after(timeoutDuration(timeouts_.total));
    watchdog->async_wait([stream](const error_code& error) {
      if (!error) beast::get_lowest_layer(*stream).close();
    });
    struct Disarm {
      std::shared_ptr<asio::steady_timer> timer;
      ~Disarm() { timer->cancel(); }
    } disarm{watchdog};

    const auto idle = timeoutDuration(timeouts_.idle);
    error_code error;
    tcp::resolver resolver(executor_);
    const auto endpoints = co_await resolver.async_resolve(
        url->host, std::to_string(url->port), asio::redirect_error(asio::use_awaitable, error));
    if (error) throw HttpFailure("couldn't find " + url->host + ": " + describe(error));
    lowest.expires_after(idle);
    co_await lowest.async_connect(endpoints, asio::redirect_error(asio::use_awaitable, error));
    if (error) throw HttpFailure("couldn't connect to " + url->hostHeader + ": " + describe(error));

    http::request<http::string_body> message{beast::http::string_to_verb(request.method),
                                             url->target, 11};
    message.set(http::field::host, url->hostHeader);
    for (const auto& [name, value] : request.headers) message.set(name, value);
    if (!request.body.empty()) message.body() = std::move(request.body);
    message.prepare_payload();

    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(kBodyLimit);
    if (url->tls) {
      if (!SSL_set_tlsext_host_name(stream->native_handle(), url->host.c_str())) {
        throw HttpFailure("TLS: couldn't name the server " + url->host);
      }
      stream->set_verify_callback(ssl::host_name_verification(url->host));
      lowest.expires_after(idle);
      co_await stream->async_handshake(ssl::stream_base::client,
                                       asio::redirect_error(asio::use_awaitable, error));
      if (error) throw HttpFailure("TLS with " + url->hostHeader + " failed: " + describe(error));
      lowest.expires_after(idle);
      co_await http::async_write(*stream, message, asio::redirect_error(asio::use_awaitable, error));
      if (error) throw HttpFailure("sending to " + url->hostHeader + " failed: " + describe(error));
      co_await readResponse(*stream, buffer, parser, error);
    } else {
      lowest.expires_after(idle);
      co_await http::async_write(lowest, message, asio::redirect_error(asio::use_awaitable, error));
      if (error) throw HttpFailure("sending to " + url->hostHeader + " failed: " + describe(error));
      co_await readResponse(lowest, buffer, parser, error);
    }
    if (error) throw HttpFailure("no answer from " + url->hostHeader + ": " + describe(error));

    HttpResponse response;
    auto& answer = parser.get();
    response.status = static_cast<int>(answer.result_int());
    for (const auto& field : answer) {
      std::string name(field.name_string());
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      response.headers[name] = std::string(field.value());
    }
    response.body = std::move(answer.body());
    lowest.close();
    co_return response;
  }

 private:
  // Reads header and body, each step within the idle time-out.
  template <typename Stream>
  asio::awaitable<void> readResponse(Stream& stream, beast::flat_buffer& buffer,
                                     http::response_parser<http::string_body>& parser,
                                     error_code& error) {
    auto& lowest = beast::get_lowest_layer(stream);
    while (!parser.is_done()) {
      lowest.expires_after(timeoutDuration(timeouts_.idle));
      co_await http::async_read_some(stream, buffer, parser,
                                     asio::redirect_error(asio::use_awaitable, error));
      if (error) co_return;
    }
  }

  asio::any_io_executor executor_;
  HttpTimeouts timeouts_;
  std::shared_ptr<ssl::context> tls_;
};

}  // namespace

std::shared_ptr<HttpClient> makeHttpClient(asio::any_io_executor executor, HttpTimeouts timeouts,
                                           std::shared_ptr<asio::ssl::context> tls) {
  return std::make_shared<BeastHttpClient>(std::move(executor), timeouts, std::move(tls));
}

}  // namespace nimbrel
