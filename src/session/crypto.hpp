#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.hpp"

namespace nimbrel {

// `count` bytes from the system's cryptographically secure generator.
Bytes randomBytes(std::size_t count);

// Two lowercase digits per byte, no separators.
std::string hexEncode(ByteView bytes);

// Each pair of characters is one byte in either letter case; an odd length or a pair
// that is not two hexadecimal digits gives nothing.
std::optional<Bytes> hexDecode(std::string_view text);

// HKDF-SHA256 (RFC 5869) with `length` bytes of output.
Bytes hkdfSha256(ByteView key, ByteView salt, std::string_view info, std::size_t length);

// HMAC-SHA256(key, "vf1-" + role + nonceA + nonceB): the handshake proofs.
Bytes proof(ByteView key, std::string_view role, ByteView nonceA, ByteView nonceB);

// The text of OpenSSL's most recent error on this thread, or `fallback` when it has none.
std::string openSslError(std::string_view fallback);

}  // namespace nimbrel
