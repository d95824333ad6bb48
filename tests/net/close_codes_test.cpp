#include "net/close_codes.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

TEST(CloseCodes, RelayTextsAndRememberedCodes) {
  const struct {
    std::uint16_t code;
    const char* reason;
    const char* text;
    std::optional<std::uint16_t> remembered;
  } cases[] = {
      {1000, "bye", "", 1000},
      {1011, "server error", "server error", 1011},
      {4401, "x", "Relay access expired. Try again.", 4401},
      {4404, "", "Computer is offline (not connected to the relay)", 4404},
      {4409, "x", "The computer reconnected. Try again.", 4409},
      {4410, "x", "Access to this computer was revoked", 4410},
      {4429, "x", "Too many remote sessions open at once", 4429},
      {4504, "x", "Computer did not answer through the relay", 4504},
      {4500, "relay text", "relay text", 4500},
      {3001, "app", "app", std::nullopt},
      {0, "", "", std::nullopt},
  };
  for (const auto& c : cases) {
    const CloseOutcome outcome = interpretClose(c.code, c.reason);
    EXPECT_EQ(outcome.text, c.text) << c.code;
    EXPECT_EQ(outcome.code, c.remembered) << c.code;
  }
}

}  // namespace
}  // namespace nimbrel
