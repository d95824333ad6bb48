#include "session/base64.hpp"

#include <array>

namespace nimbrel {
namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrlSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encode(ByteView bytes, const char* alphabet, bool pad) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
    out.push_back(alphabet[v >> 18 & 63]);
    out.push_back(alphabet[v >> 12 & 63]);
    out.push_back(alphabet[v >> 6 & 63]);
    out.push_back(alphabet[v & 63]);
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = bytes[i] << 16 | (rest == 2 ? bytes[i + 1] << 8 : 0);
    out.push_back(alphabet[v >> 18 & 63]);
    out.push_back(alphabet[v >> 12 & 63]);
    if (rest == 2) out.push_back(alphabet[v >> 6 & 63]);
    if (pad) out.append(3 - rest, '=');
  }
  return out;
}

constexpr std::array<std::int8_t, 256> decodeTable() {
  std::array<std::int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kStandard[i])] = static_cast<std::int8_t>(i);
  return table;
}

}  // namespace

std::string base64Encode(ByteView bytes) { return encode(bytes, kStandard, true); }

std::string base64UrlEncode(ByteView bytes) { return encode(bytes, kUrlSafe, false); }

std::optional<Bytes> base64Decode(std::string_view text) {
  static constexpr auto table = decodeTable();
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;

  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const std::size_t digits = last ? 4 - padding : 4;
    std::uint32_t v = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      std::int8_t d = 0;
      if (j < digits) {
        d = table[static_cast<unsigned char>(text[i + j])];
        if (d < 0) return std::nullopt;
      }
      v = v << 6 | static_cast<std::uint32_t>(d);
    }
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (digits >= 3) out.push_back(static_cast<std::uint8_t>(v >> 8));
    if (digits == 4) out.push_back(static_cast<std::uint8_t>(v));
    // Bits below the last full byte must be zero, so every byte string has one encoding.
    if (digits == 2 && (v & 0xffff) != 0) return std::nullopt;
    if (digits == 3 && (v & 0xff) != 0) return std::nullopt;
  }
  return out;
}

}  // namespace nimbrel
