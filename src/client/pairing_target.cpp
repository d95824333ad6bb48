#include "client/pairing_target.hpp"

#include <charconv>

#include "session/base64.hpp"
#include "session/crypto.hpp"

namespace nimbrel {
namespace {

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
    if (error != std::errc() || end != text.data() + i + 3) return std::nullopt;
    out.push_back(static_cast<char>(value));
    i += 2;
  }
  return out;
}

}  // namespace

std::optional<Bytes> parsePairingKey(std::string_view text) {
  if (text.size() == 64) {
    if (auto key = hexDecode(text)) return key;
  }
  std::string standard(text);
  for (char& c : standard) c = c == '-' ? '+' : c == '_' ? '/' : c;
  while (standard.size() % 4 != 0) standard.push_back('=');
  auto key = base64Decode(standard);
  if (!key || key->size() != 32) return std::nullopt;
  return key;
}

std::optional<PairingTarget> parsePairingLink(std::string_view link, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<PairingTarget> {
    if (error) *error = why;
    return std::nullopt;
  };
  constexpr std::string_view prefix = "nimbrel://pair?";
  if (!link.starts_with(prefix)) return fail("not a pairing link (it starts with nimbrel://pair?)");
  PairingTarget target;
  std::optional<Bytes> key;
  std::string_view rest = link.substr(prefix.size());
  while (!rest.empty()) {
    const auto amp = rest.find('&');
    const std::string_view item = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
    const auto eq = item.find('=');
    if (eq == std::string_view::npos) continue;
    const auto value = percentDecode(item.substr(eq + 1));
    if (!value) return fail("the pairing link is garbled");
    const std::string_view name = item.substr(0, eq);
    if (name == "k") {
      key = parsePairingKey(*value);
    } else if (name == "p") {
      int port = 0;
      const auto [end, e] = std::from_chars(value->data(), value->data() + value->size(), port);
      if (e != std::errc() || end != value->data() + value->size()) return fail("bad port in link");
      target.port = port;
    } else if (name == "a") {
      std::string_view list = *value;
      while (!list.empty()) {
        const auto comma = list.find(',');
        if (comma != 0) target.addresses.emplace_back(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
      }
    } else if (name == "id") {
      target.hostID = *value;
    } else if (name == "n") {
      target.name = *value;
    } else if (name == "c") {
      target.claimCode = *value;
    }
  }
  if (!key) return fail("the pairing link carries no valid key");
  target.key = *key;
  return target;
}

}  // namespace nimbrel
