#include "client/cloud_account.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/json.hpp>

#include <charconv>
#include <chrono>

#include "client/client_connection.hpp"

namespace nimbrel {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace json = boost::json;
using tcp = asio::ip::tcp;

namespace {

constexpr auto kTimeout = std::chrono::seconds(15);

struct BaseUrl {
  bool tls = false;
  std::string host;  // without brackets
  std::string port;
  std::string prefix;  // path before /v1, without a trailing "/"
  std::string hostHeader;
};

BaseUrl parseBase(const std::string& text) {
  BaseUrl url;
  std::string rest;
  std::string scheme = text.substr(0, text.find("://"));
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme == "https") {
    url.tls = true;
  } else if (scheme != "http" || text.find("://") == std::string::npos) {
    throw ClientError("--cloud takes an http:// or https:// URL, not \"" + text + "\"");
  }
  rest = text.substr(text.find("://") + 3);
  const auto slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  url.prefix = slash == std::string::npos ? "" : rest.substr(slash);
  while (!url.prefix.empty() && url.prefix.back() == '/') url.prefix.pop_back();
  url.hostHeader = authority;
  url.port = url.tls ? "443" : "80";
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string::npos) throw ClientError("bad --cloud URL: " + text);
    url.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size() && authority[close + 1] == ':') url.port = authority.substr(close + 2);
  } else {
    const auto colon = authority.find(':');
    url.host = authority.substr(0, colon);
    if (colon != std::string::npos) url.port = authority.substr(colon + 1);
  }
  unsigned port = 0;
  const auto [end, error] = std::from_chars(url.port.data(), url.port.data() + url.port.size(), port);
  if (url.host.empty() || error != std::errc() || end != url.port.data() + url.port.size() ||
      port == 0 || port > 65535) {
    throw ClientError("bad --cloud URL: " + text);
  }
  return url;
}

std::string text(const json::object& object, std::string_view key) {
  const json::value* value = object.if_contains(key);
  return value && value->is_string() ? std::string(value->get_string()) : std::string();
}

}  // namespace

struct CloudAccount::Answer {
  int status = 0;
  json::object body;

  // The service's own message, or the status.
  std::string message() const {
    const json::value* error = body.if_contains("error");
    if (error && error->is_object()) {
      const std::string m = text(error->get_object(), "message");
      if (!m.empty()) return m;
    }
    return "HTTP " + std::to_string(status);
  }
  std::string code() const {
    const json::value* error = body.if_contains("error");
    return error && error->is_object() ? text(error->get_object(), "code") : "";
  }
};

CloudAccount::CloudAccount(asio::any_io_executor executor, std::string baseUrl, std::string token)
    : executor_(std::move(executor)), baseUrl_(std::move(baseUrl)), token_(std::move(token)) {
  parseBase(baseUrl_);  // refuse a bad URL at once
}

asio::awaitable<CloudAccount::Answer> CloudAccount::call(std::string method, std::string path,
                                                         std::string body) {
  const BaseUrl url = parseBase(baseUrl_);
  http::request<http::string_body> request{http::string_to_verb(method), url.prefix + path, 11};
  request.set(http::field::host, url.hostHeader);
  request.set(http::field::user_agent, "nimbrel-client");
  request.set(http::field::authorization, "Bearer " + token_);
  if (!body.empty()) {
    request.set(http::field::content_type, "application/json");
    request.body() = std::move(body);
  }
  request.prepare_payload();

  boost::system::error_code error;
  tcp::resolver resolver(executor_);
  const auto endpoints = co_await resolver.async_resolve(
      url.host, url.port, asio::redirect_error(asio::use_awaitable, error));
  if (error) throw ClientError("couldn't find the cloud at " + url.host + ": " + error.message());
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(1 << 20);
  const auto fail = [&](const char* step) {
    return ClientError(std::string("couldn't ") + step + " the cloud at " + url.hostHeader + ": " +
                       error.message());
  };
  if (url.tls) {
    asio::ssl::context context(asio::ssl::context::tls_client);
    context.set_default_verify_paths();
    context.set_verify_mode(asio::ssl::verify_peer);
    beast::ssl_stream<beast::tcp_stream> stream(executor_, context);
    SSL_set_tlsext_host_name(stream.native_handle(), url.host.c_str());
    stream.set_verify_callback(asio::ssl::host_name_verification(url.host));
    beast::get_lowest_layer(stream).expires_after(kTimeout);
    co_await beast::get_lowest_layer(stream).async_connect(
        endpoints, asio::redirect_error(asio::use_awaitable, error));
    if (error) throw fail("reach");
    co_await stream.async_handshake(asio::ssl::stream_base::client,
                                    asio::redirect_error(asio::use_awaitable, error));
    if (error) throw fail("make a secure connection to");
    co_await http::async_write(stream, request, asio::redirect_error(asio::use_awaitable, error));
    if (!error) {
      co_await http::async_read(stream, buffer, parser,
                                asio::redirect_error(asio::use_awaitable, error));
    }
    if (error) throw fail("talk to");
  } else {
    beast::tcp_stream stream(executor_);
    stream.expires_after(kTimeout);
    co_await stream.async_connect(endpoints, asio::redirect_error(asio::use_awaitable, error));
    if (error) throw fail("reach");
    co_await http::async_write(stream, request, asio::redirect_error(asio::use_awaitable, error));
    if (!error) {
      co_await http::async_read(stream, buffer, parser,
                                asio::redirect_error(asio::use_awaitable, error));
    }
    if (error) throw fail("talk to");
  }
  Answer answer;
  answer.status = static_cast<int>(parser.get().result_int());
  boost::system::error_code bad;
  json::value value = json::parse(parser.get().body(), bad);
  if (!bad && value.is_object()) answer.body = std::move(value.get_object());
  co_return answer;
}

asio::awaitable<std::string> CloudAccount::claim(std::string code, bool* alreadyClaimed) {
  // Arguments as named strings: g++ 12 cannot pass literals into a coroutine call here.
  std::string method = "POST", path = "/v1/claim";
  std::string body = json::serialize(json::object{{"code", code}});
  const Answer answer = co_await call(std::move(method), std::move(path), std::move(body));
  if (alreadyClaimed) *alreadyClaimed = answer.status == 409;
  if (answer.status != 200 || text(answer.body, "host_id").empty()) {
    throw ClientError("the cloud refused the claim code " + code + ": " + answer.message());
  }
  co_return text(answer.body, "host_id");
}

asio::awaitable<std::vector<CloudAccount::Host>> CloudAccount::hosts() {
  std::string method = "GET", path = "/v1/hosts";
  const Answer answer = co_await call(std::move(method), std::move(path), std::string());
  const json::value* list = answer.body.if_contains("hosts");
  if (answer.status != 200 || !list || !list->is_array()) {
    throw ClientError("the cloud did not list the account's computers: " + answer.message());
  }
  std::vector<Host> hosts;
  for (const auto& entry : list->get_array()) {
    if (!entry.is_object()) continue;
    const auto& h = entry.get_object();
    const json::value* online = h.if_contains("online");
    hosts.push_back(Host{text(h, "id"), text(h, "local_id"), text(h, "name"),
                         online && online->is_bool() && online->get_bool()});
  }
  co_return hosts;
}

asio::awaitable<std::string> CloudAccount::relayUrl(std::string hostId) {
  std::string method = "POST", path = "/v1/hosts/" + hostId + "/ticket";
  const Answer answer = co_await call(std::move(method), std::move(path), std::string());
  if (answer.status != 200 || text(answer.body, "url").empty()) {
    throw ClientError("the cloud gave no relay ticket: " + answer.message());
  }
  co_return text(answer.body, "url");
}

const CloudAccount::Host* chooseHost(const std::vector<CloudAccount::Host>& hosts,
                                     const std::string& localId, const std::string& claimedId) {
  const CloudAccount::Host* found = nullptr;
  for (const auto& host : hosts) {
    if (host.localId != localId) continue;
    if (!claimedId.empty() && host.id == claimedId) return &host;
    if (!found) found = &host;
  }
  return found;
}

}  // namespace nimbrel
