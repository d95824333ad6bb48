#include "cloud/cloud_api.hpp"

#include <boost/json.hpp>

#include <charconv>
#include <cmath>

#include "base/version.hpp"
#include "net/websocket_url.hpp"

namespace nimbrel {

namespace json = boost::json;

namespace {

std::string describe(int status, const std::string& code, const std::string& message) {
  if (!message.empty()) return message;
  if (!code.empty()) return code;
  return "HTTP " + std::to_string(status);
}

std::string textAt(const json::object& object, std::string_view key) {
  const json::value* value = object.if_contains(key);
  return value && value->is_string() ? std::string(value->get_string()) : std::string();
}

// The error an answer carries: {"error": {"code", "message"}}, empty texts for what is missing.
CloudHTTPError errorFrom(const CloudAPI::Response& response, bool withRetry) {
  std::string code, message;
  if (const json::value* error = response.body.if_contains("error"); error && error->is_object()) {
    code = textAt(error->get_object(), "code");
    message = textAt(error->get_object(), "message");
  }
  return CloudHTTPError(response.status, code, message,
                        withRetry ? response.retryAfter : std::nullopt);
}

// Built outside the coroutines: g++ 12 mishandles braced JSON initialisers inside them.
json::object enrolBody(const std::string& hostID, const std::string& name,
                       const std::string& hostToken) {
  json::object body{
      {"local_id", hostID}, {"name", name}, {"os", "linux"}, {"version", hostVersion()}};
  if (!hostToken.empty()) body["host_token"] = hostToken;
  return body;
}
json::object pollBody(const std::string& pollToken) { return {{"poll_token", pollToken}}; }
json::object relayTokenBody(const std::string& name) {
  return {{"name", name}, {"version", hostVersion()}};
}

}  // namespace

CloudHTTPError::CloudHTTPError(int status, std::string code, std::string message,
                               std::optional<double> retryAfter)
    : std::runtime_error(describe(status, code, message)),
      status_(status),
      code_(std::move(code)),
      message_(std::move(message)),
      retryAfter_(retryAfter) {}

std::optional<double> parseRetryAfter(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  // A plain decimal number: digits with at most one point, nothing else.
  bool digit = false, point = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return std::nullopt;
    }
  }
  if (!digit) return std::nullopt;
  double value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::string> cloudRequestUrl(std::string_view base, std::string_view path) {
  while (!base.empty() && base.front() == '/') base.remove_prefix(1);
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  std::string url = std::string(base) + std::string(path);
  if (!parseHttpUrl(url)) return std::nullopt;
  return url;
}

bool urlMayCarryTokens(std::string_view url) {
  auto parsed = parseHttpUrl(url);
  if (!parsed) parsed = parseWebSocketUrl(url);
  return parsed && (parsed->tls || isLoopbackHost(parsed->host));
}

CloudAPI::CloudAPI(std::string base, std::shared_ptr<HttpClient> http)
    : base_(std::move(base)), http_(std::move(http)) {}

boost::asio::awaitable<CloudAPI::Response> CloudAPI::request(
    std::string method, std::string path, std::optional<std::string> token,
    std::optional<json::object> body) {
  const auto url = cloudRequestUrl(base_, path);
  if (!url) throw CloudHTTPError(0, "bad_url", "Bad API URL");
  // Enrolment answers carry tokens too: the whole API is spoken encrypted only.
  if (!urlMayCarryTokens(*url)) {
    throw CloudHTTPError(0, "insecure_url",
                         "The cloud API address must use https (plain http only to this "
                         "computer): " + base_);
  }
  HttpRequest http;
  http.method = std::move(method);
  http.url = *url;
  http.headers["User-Agent"] = std::string("nimbrel-host-linux/") + hostVersion();
  if (token) http.headers["Authorization"] = "Bearer " + *token;
  if (body) {
    http.headers["Content-Type"] = "application/json";
    http.body = json::serialize(*body);
  }
  HttpResponse answer = co_await http_->perform(std::move(http));
  Response response;
  response.status = answer.status;
  boost::system::error_code error;
  json::value parsed = json::parse(answer.body, error);
  if (!error && parsed.is_object()) response.body = std::move(parsed.get_object());
  if (auto it = answer.headers.find("retry-after"); it != answer.headers.end()) {
    response.retryAfter = parseRetryAfter(it->second);
  }
  co_return response;
}

boost::asio::awaitable<json::object> CloudAPI::enroll(std::string hostID, std::string name,
                                                     std::string hostToken) {
  Response response =
      co_await request("POST", "/v1/enroll", std::nullopt, enrolBody(hostID, name, hostToken));
  if (response.status != 200) throw errorFrom(response, false);
  co_return std::move(response.body);
}

boost::asio::awaitable<CloudAPI::Poll> CloudAPI::pollEnrollment(std::string pollToken) {
  Response response =
      co_await request("POST", "/v1/enroll/poll", std::nullopt, pollBody(pollToken));
  if (response.status == 200) co_return Poll{PollState::claimed, std::move(response.body)};
  if (response.status == 202) co_return Poll{PollState::pending, {}};
  if (response.status == 410) co_return Poll{PollState::expired, {}};
  throw errorFrom(response, false);
}

boost::asio::awaitable<CloudAPI::RelayCredentials> CloudAPI::relayToken(std::string hostToken,
                                                                       std::string name) {
  Response response =
      co_await request("POST", "/v1/host/relay-token", std::move(hostToken), relayTokenBody(name));
  const std::string url = textAt(response.body, "relay_url");
  const json::value* token = response.body.if_contains("token");
  if (response.status != 200 || !response.body.contains("relay_url") ||
      !response.body.at("relay_url").is_string() || !token || !token->is_string()) {
    throw errorFrom(response, true);
  }
  RelayCredentials credentials;
  credentials.url = url;
  credentials.token = std::string(token->get_string());
  if (const json::value* lifetime = response.body.if_contains("expires_in");
      lifetime && lifetime->is_number()) {
    credentials.lifetime = lifetime->to_number<double>();
  }
  co_return credentials;
}

boost::asio::awaitable<void> CloudAPI::leave(std::string hostToken) {
  Response response = co_await request("DELETE", "/v1/host", std::move(hostToken), std::nullopt);
  const int s = response.status;
  if (s != 200 && s != 204 && s != 401 && s != 404) throw errorFrom(response, false);
}

}  // namespace nimbrel
