#include "cloud_server/request.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/parse_options.hpp>

#include <algorithm>
#include <charconv>

namespace nimbrel::cloud {
namespace {

std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+' && plusIsSpace) {
      out.push_back(' ');
    } else if (c != '%') {
      out.push_back(c);
    } else {
      if (i + 2 >= text.size()) return std::nullopt;
      unsigned value = 0;
      const char* first = text.data() + i + 1;
      const auto [end, error] = std::from_chars(first, first + 2, value, 16);
      if (error != std::errc() || end != first + 2) return std::nullopt;
      out.push_back(static_cast<char>(value));
      i += 2;
    }
  }
  return out;
}

// Splits "/a/b/c" into its segments; nothing for a path with empty segments other than a
// single trailing slash.
std::optional<std::vector<std::string>> segments(std::string_view path) {
  if (path.empty() || path[0] != '/') return std::nullopt;
  path.remove_prefix(1);
  if (!path.empty() && path.back() == '/') path.remove_suffix(1);
  std::vector<std::string> out;
  while (!path.empty()) {
    const auto slash = path.find('/');
    const std::string_view piece = path.substr(0, slash);
    if (piece.empty()) return std::nullopt;
    auto decoded = percentDecode(piece, false);
    if (!decoded || decoded->find('/') != std::string::npos) return std::nullopt;
    out.push_back(std::move(*decoded));
    if (out.size() > 8) return std::nullopt;
    path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
  }
  return out;
}

}  // namespace

Route route(std::string_view method, std::string_view target) {
  Route r;
  const auto question = target.find('?');
  const std::string_view path = target.substr(0, question);
  const std::string_view query =
      question == std::string_view::npos ? std::string_view{} : target.substr(question + 1);
  const auto parts = segments(path);
  if (!parts) return r;
  const auto& p = *parts;
  const auto is = [&](std::initializer_list<std::string_view> expected) {
    if (p.size() != expected.size()) return false;
    std::size_t i = 0;
    for (std::string_view e : expected) {
      if (e != "*" && p[i] != e) return false;
      ++i;
    }
    return true;
  };
  const auto set = [&](Endpoint endpoint, std::string_view allowed) {
    r.endpoint = endpoint;
    r.allow = std::string(allowed);
    r.methodAllowed = method == allowed;
  };
  if (is({"v1", "enroll"})) {
    set(Endpoint::enroll, "POST");
  } else if (is({"v1", "enroll", "poll"})) {
    set(Endpoint::enrollPoll, "POST");
  } else if (is({"v1", "host", "relay-token"})) {
    set(Endpoint::relayToken, "POST");
  } else if (is({"v1", "host"})) {
    set(Endpoint::leave, "DELETE");
  } else if (is({"v1", "claim"})) {
    set(Endpoint::claim, "POST");
  } else if (is({"v1", "hosts"})) {
    set(Endpoint::listHosts, "GET");
  } else if (is({"v1", "hosts", "*"})) {
    set(Endpoint::removeHost, "DELETE");
    r.id = p[2];
  } else if (is({"v1", "hosts", "*", "ticket"})) {
    set(Endpoint::hostTicket, "POST");
    r.id = p[2];
  } else if (is({"healthz"})) {
    set(Endpoint::health, "GET");
  } else if (is({"v2", "host"})) {
    set(Endpoint::relayHost, "GET");
  } else if (is({"v2", "client", "*"})) {
    set(Endpoint::relayClient, "GET");
    r.id = p[2];
    r.ticket = queryItem(query, "ticket").value_or("");
  } else if (is({"v2", "host", "session", "*"})) {
    set(Endpoint::relaySession, "GET");
    r.id = p[3];
  }
  return r;
}

bool isWebSocketEndpoint(Endpoint endpoint) {
  return endpoint == Endpoint::relayHost || endpoint == Endpoint::relayClient ||
         endpoint == Endpoint::relaySession;
}

std::optional<std::string> bearerToken(std::string_view authorization) {
  while (!authorization.empty() && (authorization.front() == ' ' || authorization.front() == '\t')) {
    authorization.remove_prefix(1);
  }
  constexpr std::string_view scheme = "bearer ";
  if (authorization.size() <= scheme.size()) return std::nullopt;
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    const char c = authorization[i];
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != scheme[i]) return std::nullopt;
  }
  std::string_view token = authorization.substr(scheme.size());
  while (!token.empty() && (token.front() == ' ' || token.front() == '\t')) token.remove_prefix(1);
  while (!token.empty() && (token.back() == ' ' || token.back() == '\t')) token.remove_suffix(1);
  if (token.empty() || token.size() > 512) return std::nullopt;
  return std::string(token);
}

std::optional<std::string> queryItem(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    const auto eq = item.find('=');
    const auto key = percentDecode(item.substr(0, eq), true);
    if (!key || *key != name) continue;
    if (eq == std::string_view::npos) return std::string();
    return percentDecode(item.substr(eq + 1), true);
  }
  return std::nullopt;
}

std::optional<boost::json::object> parseBody(std::string_view body, std::string* error) {
  const auto fail = [&](std::string why) -> std::optional<boost::json::object> {
    if (error) *error = std::move(why);
    return std::nullopt;
  };
  std::size_t start = body.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return boost::json::object();
  boost::json::parse_options options;
  options.max_depth = 16;
  boost::system::error_code code;
  boost::json::value value = boost::json::parse(body, code, {}, options);
  if (code) return fail("the body is not valid JSON");
  if (!value.is_object()) return fail("the body must be a JSON object");
  return std::move(value.get_object());
}

std::optional<std::string> textField(const boost::json::object& body, std::string_view key,
                                     std::size_t maxLength, std::optional<std::string> fallback) {
  const boost::json::value* value = body.if_contains(key);
  if (!value || value->is_null()) return fallback;
  if (!value->is_string() || value->get_string().size() > maxLength) return std::nullopt;
  return std::string(value->get_string());
}

std::string addressKey(std::string_view text) {
  boost::system::error_code bad;
  const auto address = boost::asio::ip::make_address(std::string(text), bad);
  if (bad) return std::string(text);
  if (address.is_v4()) return address.to_string();
  const auto v6 = address.to_v6();
  if (v6.is_v4_mapped()) {
    return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6).to_string();
  }
  auto bytes = v6.to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return boost::asio::ip::address_v6(bytes).to_string() + "/64";
}

std::optional<ListenAddress> parseListenAddress(std::string_view text) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos || colon + 1 >= text.size()) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    return std::nullopt;  // an IPv6 address needs its brackets
  }
  unsigned value = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (error != std::errc() || end != port.data() + port.size() || value > 65535) return std::nullopt;
  boost::system::error_code bad;
  const auto address = boost::asio::ip::make_address(std::string(host), bad);
  if (bad) return std::nullopt;
  return ListenAddress{address.to_string(), static_cast<std::uint16_t>(value), address.is_loopback()};
}

}  // namespace nimbrel::cloud
