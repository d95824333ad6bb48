#include "net/close_codes.hpp"

namespace nimbrel {

std::string relayCloseMessage(int code, std::string_view reason) {
  switch (code) {
    case 4401: return "Relay access expired. Try again.";
    case 4404: return "Computer is offline (not connected to the relay)";
    case 4409: return "The computer reconnected. Try again.";
    case 4410: return "Access to this computer was revoked";
    case 4429: return "Too many remote sessions open at once";
    case 4504: return "Computer did not answer through the relay";
    default: return std::string(reason);
  }
}

CloseOutcome interpretClose(std::uint16_t code, std::string_view reason) {
  if (code == 1000) return {"", code};
  if (code >= 4000 && code <= 4999) return {relayCloseMessage(code, reason), code};
  if (code >= 1000 && code <= 2999) return {std::string(reason), code};
  return {std::string(reason), std::nullopt};
}

}  // namespace nimbrel
