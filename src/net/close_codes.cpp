#include "net/close_codes.hpp"

#include <algorithm>

namespace nimbrel {

namespace {

constexpr RelayCloseCode kRelayCloseCodes[] = {
#include "net/relay_close_codes.inc"
};

}  // namespace

std::span<const RelayCloseCode> relayCloseCodes() { return kRelayCloseCodes; }

std::string relayCloseMessage(int code, std::string_view reason) {
  const auto* known = std::find_if(std::begin(kRelayCloseCodes), std::end(kRelayCloseCodes),
                                   [code](const RelayCloseCode& entry) { return entry.code == code; });
  return known == std::end(kRelayCloseCodes) ? std::string(reason) : std::string(known->text);
}

CloseOutcome interpretClose(std::uint16_t code, std::string_view reason) {
  if (code == 1000) return {"", code};
  if (code >= 4000 && code <= 4999) return {relayCloseMessage(code, reason), code};
  if (code >= 1000 && code <= 2999) return {std::string(reason), code};
  return {std::string(reason), std::nullopt};
}

}  // namespace nimbrel
