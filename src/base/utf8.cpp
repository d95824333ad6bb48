#include "base/utf8.hpp"

#include <cstdint>

namespace nimbrel {
namespace {

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 (RFC 3629 table:
// no overlong forms, no surrogates, nothing above U+10FFFF).
std::size_t sequenceLength(std::string_view text) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t b0 = byte(0);
  if (b0 < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80, high = 0xbf;  // allowed range of the second byte
  if (b0 >= 0xc2 && b0 <= 0xdf) {
    length = 2;
  } else if (b0 >= 0xe0 && b0 <= 0xef) {
    length = 3;
    if (b0 == 0xe0) low = 0xa0;
    if (b0 == 0xed) high = 0x9f;
  } else if (b0 >= 0xf0 && b0 <= 0xf4) {
    length = 4;
    if (b0 == 0xf0) low = 0x90;
    if (b0 == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  }
  return length;
}

}  // namespace

std::string repairUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const std::size_t length = sequenceLength(text);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      text.remove_prefix(1);
    } else {
      out.append(text.substr(0, length));
      text.remove_prefix(length);
    }
  }
  return out;
}

}  // namespace nimbrel
