#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace nimbrel {

// One of the relay's private close codes (src/net/relay_close_codes.json, the table that the
// service, the host, nimbrel-client and the browser app share).
struct RelayCloseCode {
  std::uint16_t code;
  std::string_view name;  // "offline"
  std::string_view text;  // what a person is told
};

std::span<const RelayCloseCode> relayCloseCodes();

// The user-facing text for the relay's private close codes; `reason` for any other code.
std::string relayCloseMessage(int code, std::string_view reason);

// What a received close frame means for the transport: the text of the resulting `closed`
// error, and the code to remember (nothing: keep the previous one).
struct CloseOutcome {
  std::string text;
  std::optional<std::uint16_t> code;
};

// 1000 drops its reason; private codes (4000-4999) take the relay texts; protocol codes are
// remembered with their reason; application codes (3000-3999) and a frame without a code are
// not remembered.
CloseOutcome interpretClose(std::uint16_t code, std::string_view reason);

}  // namespace nimbrel
