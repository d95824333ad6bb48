#include "app/pairing_link.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <charconv>

#include "net/websocket_url.hpp"
#include "session/base64.hpp"
#include "session/crypto.hpp"

namespace nimbrel {
namespace {

// The four octets of a dotted-quad text, or nothing.
std::optional<std::array<int, 4>> octets(std::string_view text) {
  std::array<int, 4> out{};
  for (std::size_t i = 0; i < 4; ++i) {
    const auto dot = text.find('.');
    const std::string_view part = text.substr(0, dot);
    if (i < 3 && dot == std::string_view::npos) return std::nullopt;
    if (i == 3 && dot != std::string_view::npos) return std::nullopt;
    auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), out[i]);
    if (error != std::errc() || end != part.data() + part.size() || part.empty() || out[i] < 0 ||
        out[i] > 255) {
      return std::nullopt;
    }
    text = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
  }
  return out;
}

int preferenceRank(const std::array<int, 4>& a) {
  if (a[0] == 10 || (a[0] == 172 && a[1] >= 16 && a[1] <= 31) || (a[0] == 192 && a[1] == 168)) {
    return 0;  // private ranges
  }
  if (a[0] == 100 && a[1] >= 64 && a[1] <= 127) return 1;  // shared address space (CGNAT, VPNs)
  return 2;
}

// The query of a pairing link (after "?"), or nothing.
std::optional<std::string_view> linkQuery(std::string_view link) {
  const auto question = link.find('?');
  if (question == std::string_view::npos) return std::nullopt;
  return link.substr(question + 1);
}

// A query item's value as it stands (still percent-encoded); empty when absent.
std::string_view queryValue(std::string_view query, std::string_view name) {
  for (std::size_t start = 0; start <= query.size();) {
    const auto end = std::min(query.find('&', start), query.size());
    const std::string_view item = query.substr(start, end - start);
    if (item.size() > name.size() && item.starts_with(name) && item[name.size()] == '=') {
      return item.substr(name.size() + 1);
    }
    start = end + 1;
  }
  return {};
}

}  // namespace

std::optional<std::vector<InterfaceAddress>> systemInterfaceAddresses() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::nullopt;
  std::vector<InterfaceAddress> out;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr) continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    char host[NI_MAXHOST];
    const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (getnameinfo(entry->ifa_addr, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) {
      continue;
    }
    out.push_back({entry->ifa_name ? entry->ifa_name : "", (entry->ifa_flags & IFF_UP) != 0,
                   (entry->ifa_flags & IFF_LOOPBACK) != 0, family == AF_INET, host});
  }
  freeifaddrs(list);
  return out;
}

std::vector<std::string> localAddresses(const std::optional<std::vector<InterfaceAddress>>& list) {
  if (!list) return {};
  struct Ranked {
    std::string text;
    int rank;
  };
  std::vector<Ranked> kept;
  for (const InterfaceAddress& address : *list) {
    if (!address.up || address.loopback || !address.ipv4) continue;
    const auto parts = octets(address.numeric);
    if (!parts) continue;
    if ((*parts)[0] == 169 && (*parts)[1] == 254) continue;  // link-local
    if (std::any_of(kept.begin(), kept.end(), [&](auto& k) { return k.text == address.numeric; })) {
      continue;
    }
    kept.push_back({address.numeric, preferenceRank(*parts)});
  }
  std::stable_sort(kept.begin(), kept.end(), [](auto& a, auto& b) { return a.rank < b.rank; });
  std::vector<std::string> out;
  for (std::size_t i = 0; i < kept.size() && i < 5; ++i) out.push_back(kept[i].text);
  return out;
}

std::string percentEncodeQueryValue(std::string_view value) {
  static constexpr std::string_view kKept = "-._~,:@/";
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        kKept.find(c) != std::string_view::npos) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kDigits[byte >> 4]);
      out.push_back(kDigits[byte & 0x0f]);
    }
  }
  return out;
}

std::string pairingLink(const HostConfig& config, const std::optional<std::string>& claimCode,
                        const std::vector<std::string>& addresses) {
  const auto key = hexDecode(config.secret);
  std::string joined;
  for (const std::string& address : addresses) {
    if (!joined.empty()) joined += ",";
    joined += address;
  }

  std::string link = "nimbrel://pair";
  char separator = '?';
  auto item = [&](std::string_view name, std::string_view value) {
    link += separator;
    link += name;
    link += '=';
    link += percentEncodeQueryValue(value);
    separator = '&';
  };
  item("v", "1");
  item("id", config.hostID);
  item("n", config.name);
  item("k", key ? base64UrlEncode(*key) : std::string());
  item("p", std::to_string(config.port));
  item("a", joined);
  item("os", "linux");
  if (config.enrolled()) {
    item("cid", config.cloudID);
  } else if (claimCode && !claimCode->empty()) {
    item("c", *claimCode);
  }
  return link;
}

std::string pairingLink(const HostConfig& config, const std::optional<std::string>& claimCode) {
  return pairingLink(config, claimCode, localAddresses(systemInterfaceAddresses()));
}

std::string browserLink(std::string_view link) {
  const auto query = linkQuery(link);
  if (!query) return {};
  std::string_view address = queryValue(*query, "a");
  address = address.substr(0, address.find(','));
  const std::string_view port = queryValue(*query, "p");
  if (port.empty()) return {};
  return "http://" + std::string(address.empty() ? "127.0.0.1" : address) + ":" +
         std::string(port) + "/#" + std::string(*query);
}

std::string cloudBrowserLink(std::string_view link, std::string_view api) {
  const auto query = linkQuery(link);
  if (!query) return {};
  if (queryValue(*query, "cid").empty() && queryValue(*query, "c").empty()) return {};
  const auto service = parseHttpUrl(api);
  if (!service || service->target != "/") return {};
  return std::string(service->tls ? "https://" : "http://") + service->hostHeader + "/#" +
         std::string(*query);
}

std::string pairingLinkBlock(std::string_view link, std::string_view api) {
  std::string block = "\nPairing link (scan the QR code in the tray app, or paste this):\n  " +
                      std::string(link) + "\n\n";
  if (const std::string browser = browserLink(link); !browser.empty()) {
    block += "Browser link (open it on a phone, tablet or computer on this network):\n  " +
             browser + "\n\n";
  }
  if (const std::string cloud = cloudBrowserLink(link, api); !cloud.empty()) {
    block += "From anywhere, in a browser signed in to Nimbrel Cloud (open it once):\n  " + cloud +
             "\n\n";
  }
  return block;
}

}  // namespace nimbrel
