#include "net/origin_check.hpp"

#include <boost/asio/ip/address_v4.hpp>

#include <algorithm>
#include <cctype>
#include <optional>

namespace nimbrel {
namespace {

std::string lower(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

struct Authority {
  std::string host;
  int port = 0;
  bool operator==(const Authority&) const = default;
};

// "host", "host:port", "[v6]" or "[v6]:port"; nothing when malformed.
std::optional<Authority> parseAuthority(std::string_view text, int defaultPort) {
  if (text.empty()) return std::nullopt;
  Authority authority;
  std::string_view rest;
  if (text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    authority.host = lower(text.substr(0, close + 1));
    rest = text.substr(close + 1);
  } else {
    const auto colon = text.find(':');
    authority.host = lower(text.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
  }
  if (authority.host.empty() || authority.host == "[]") return std::nullopt;
  if (rest.empty()) {
    authority.port = defaultPort;
    return authority;
  }
  if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6) return std::nullopt;
  int port = 0;
  for (const char c : rest.substr(1)) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) return std::nullopt;
  authority.port = port;
  return authority;
}

// An origin's scheme, host and port ("http://host:port"); nothing for "null" or anything
// malformed.
struct Origin {
  std::string scheme;
  Authority authority;
  bool operator==(const Origin&) const = default;
};

std::optional<Origin> parseOrigin(std::string_view origin) {
  const std::string text = lower(origin);
  for (const auto& [scheme, port] : {std::pair{"http", 80}, std::pair{"https", 443}}) {
    const std::string prefix = std::string(scheme) + "://";
    if (!text.starts_with(prefix)) continue;
    std::string_view rest = std::string_view(text).substr(prefix.size());
    if (rest.ends_with('/')) rest.remove_suffix(1);  // as people write them in a setting
    if (rest.find_first_of("/?#@") != std::string_view::npos) return std::nullopt;
    const auto authority = parseAuthority(rest, port);
    if (!authority) return std::nullopt;
    return Origin{scheme, *authority};
  }
  return std::nullopt;
}

// Whether `host` (lower case, IPv6 in brackets) is a name only a local network gives a
// machine: an address, "localhost", one label ("desk"), or a name under .local, .lan,
// .home.arpa or .internal. A public name that a stranger's DNS points at this host (to make
// its page "the host's own") is none of these.
bool localName(const std::string& host) {
  if (host.front() == '[') return true;
  boost::system::error_code notAnAddress;
  boost::asio::ip::make_address_v4(host, notAnAddress);
  if (!notAnAddress) return true;
  if (host == "localhost" || host.find('.') == std::string::npos) return true;
  std::string name = host;
  if (name.back() == '.') name.pop_back();
  for (const char* suffix : {".local", ".lan", ".home.arpa", ".internal", ".localhost"}) {
    if (name.ends_with(suffix)) return true;
  }
  return false;
}

}  // namespace

bool originAllowed(std::string_view origin, bool hasOrigin, std::string_view hostHeader,
                   const std::vector<std::string>& allowed) {
  if (!hasOrigin) return true;
  const auto page = parseOrigin(origin);
  if (!page) return false;
  if (std::any_of(allowed.begin(), allowed.end(),
                  [&](const std::string& entry) { return parseOrigin(entry) == page; })) {
    return true;
  }
  const auto host = parseAuthority(hostHeader, 80);
  return host && *host == page->authority && localName(host->host);
}

}  // namespace nimbrel
