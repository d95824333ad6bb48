#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.hpp"

namespace nimbrel {

// Where a client connects and the key it proves: from a pairing link, or given piece by piece.
struct PairingTarget {
  std::vector<std::string> addresses;
  int port = 7300;
  Bytes key;  // 32 bytes
  std::string hostID;
  std::string name;
  std::string claimCode;  // "c": the host waits to be claimed into a cloud account with it
};

// Reads "nimbrel://pair?v=1&id=…&n=…&k=…&p=…&a=…". Nothing, with the reason in `error`, when
// it is not such a link or its key is not 32 bytes.
std::optional<PairingTarget> parsePairingLink(std::string_view link, std::string* error);

// A key as printed in a link (URL-safe Base64 without padding), or as 64 hexadecimal digits.
std::optional<Bytes> parsePairingKey(std::string_view text);

}  // namespace nimbrel
