#pragma once

// The service's secrets and identifiers: random tokens handed out once and kept only as
// SHA-256 hashes, claim codes that people type, and the ids of hosts and sessions.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace nimbrel::cloud {

// `bytes` random bytes (from the system's CSPRNG) as URL-safe Base64 without padding.
std::string randomToken(std::size_t bytes = 32);

// The lower-case hexadecimal SHA-256 of `text`: what the store keeps of a token.
std::string tokenHash(std::string_view text);

// Claim codes: 8 characters of an alphabet without 0/O and 1/I, shown as "XXXX-XXXX".
inline constexpr std::string_view kClaimAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
std::string newClaimCode();

// A code as someone typed it ("abcd efgh", "ABCD-EFGH", "abcdefgh") in its canonical form, or
// nothing when it cannot be a claim code.
std::optional<std::string> normaliseClaimCode(std::string_view typed);

// A new host's cloud id: "h" and 20 lower-case letters and digits, safe in a URL path.
std::string newHostId();

// Whether `text` has the form of a host id (so it can be looked up without further checks).
bool isHostId(std::string_view text);

// A relayed session's id: 16 random bytes as URL-safe Base64, 22 characters.
std::string newSessionId();

// Whether `text` has the form of a session id.
bool isSessionId(std::string_view text);

}  // namespace nimbrel::cloud
