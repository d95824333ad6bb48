#include "net/websocket_url.hpp"

#include <algorithm>
#include <charconv>

namespace nimbrel {

namespace {

std::optional<WebSocketUrl> parseUrl(std::string_view text, std::string_view plain,
                                     std::string_view secure) {
  const auto colon = text.find("://");
  if (colon == std::string_view::npos) return std::nullopt;
  std::string scheme(text.substr(0, colon));
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  WebSocketUrl url;
  if (scheme == secure) {
    url.tls = true;
  } else if (scheme != plain) {
    return std::nullopt;
  }
  std::string_view rest = text.substr(colon + 3);
  const auto pathStart = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, pathStart);
  std::string_view target = pathStart == std::string_view::npos ? "" : rest.substr(pathStart);
  if (const auto hash = target.find('#'); hash != std::string_view::npos) {
    target = target.substr(0, hash);
  }
  if (authority.empty() || authority.find('@') != std::string_view::npos) return std::nullopt;
  if (text.find_first_of(" \t\r\n") != std::string_view::npos) return std::nullopt;

  std::string_view host = authority;
  std::string_view port;
  if (authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port = after.substr(1);
    }
  } else if (const auto c = authority.rfind(':'); c != std::string_view::npos) {
    host = authority.substr(0, c);
    port = authority.substr(c + 1);
  }
  if (host.empty()) return std::nullopt;
  const std::uint16_t defaultPort = url.tls ? 443 : 80;
  url.port = defaultPort;
  if (!port.empty()) {
    unsigned value = 0;
    auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (error != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) {
      return std::nullopt;
    }
    url.port = static_cast<std::uint16_t>(value);
  }
  url.host = std::string(host);
  url.target = target.empty() ? "/" : (target.front() == '?' ? "/" + std::string(target)
                                                              : std::string(target));
  const std::string bracketed = host.find(':') != std::string_view::npos
                                    ? "[" + url.host + "]" : url.host;
  url.hostHeader = url.port == defaultPort ? bracketed
                                           : bracketed + ":" + std::to_string(url.port);
  return url;
}

}  // namespace

std::optional<WebSocketUrl> parseWebSocketUrl(std::string_view text) {
  return parseUrl(text, "ws", "wss");
}

std::optional<WebSocketUrl> parseHttpUrl(std::string_view text) {
  return parseUrl(text, "http", "https");
}

bool isLoopbackHost(std::string_view host) {
  std::string lower(host);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "localhost" || lower == "::1") return true;
  // 127.0.0.0/8 in dotted form: "127." and three more decimal parts.
  if (lower.rfind("127.", 0) != 0) return false;
  int parts = 1;  // of the three after "127."
  int digits = 0;
  for (char c : lower.substr(4)) {
    if (c == '.') {
      if (digits == 0) return false;
      ++parts;
      digits = 0;
    } else if (c >= '0' && c <= '9' && digits < 3) {
      ++digits;
    } else {
      return false;
    }
  }
  return parts == 3 && digits > 0;
}

}  // namespace nimbrel
