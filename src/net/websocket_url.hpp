#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nimbrel {

// The parts of a ws:// or wss:// (or http:// or https://) URL that a connection needs.
struct WebSocketUrl {
  bool tls = false;
  std::string host;     // without brackets for an IPv6 literal
  std::uint16_t port = 0;
  std::string target;   // path and query, "/" at least
  std::string hostHeader;  // host, with ":port" when it is not the scheme's default
};

// Nothing when the text is not an absolute URL whose scheme, in any letter case, is ws or wss,
// or when its host is empty or its port invalid. User information is refused.
std::optional<WebSocketUrl> parseWebSocketUrl(std::string_view text);
// The same for http and https (`tls` set for https).
std::optional<WebSocketUrl> parseHttpUrl(std::string_view text);

// Whether a URL's host is this machine's loopback: "localhost", "::1" or 127.x.y.z.
bool isLoopbackHost(std::string_view host);

}  // namespace nimbrel
