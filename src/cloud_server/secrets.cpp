#include "cloud_server/secrets.hpp"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace nimbrel::cloud {
namespace {

std::vector<unsigned char> randomBytes(std::size_t count) {
  std::vector<unsigned char> bytes(count);
  if (RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) {
    throw std::runtime_error("the system's random generator failed");
  }
  return bytes;
}

// Letters and digits for host ids; 32 of them, so a byte modulo 32 is uniform.
constexpr std::string_view kIdAlphabet = "abcdefghijkmnpqrstuvwxyz23456789";
constexpr std::size_t kHostIdLetters = 20;

// URL-safe Base64, for tokens and session ids.
constexpr std::string_view kTokenAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::size_t kSessionIdBytes = 16;
constexpr std::size_t kSessionIdLetters = (kSessionIdBytes * 4 + 2) / 3;

}  // namespace

std::string randomToken(std::size_t bytes) {
  constexpr std::string_view kAlphabet = kTokenAlphabet;
  const auto raw = randomBytes(bytes);
  std::string out;
  out.reserve((bytes * 4 + 2) / 3);
  std::size_t i = 0;
  for (; i + 3 <= raw.size(); i += 3) {
    const unsigned v = raw[i] << 16 | raw[i + 1] << 8 | raw[i + 2];
    for (int shift : {18, 12, 6, 0}) out.push_back(kAlphabet[(v >> shift) & 63]);
  }
  if (raw.size() - i == 1) {
    const unsigned v = raw[i] << 16;
    for (int shift : {18, 12}) out.push_back(kAlphabet[(v >> shift) & 63]);
  } else if (raw.size() - i == 2) {
    const unsigned v = raw[i] << 16 | raw[i + 1] << 8;
    for (int shift : {18, 12, 6}) out.push_back(kAlphabet[(v >> shift) & 63]);
  }
  return out;
}

std::string tokenHash(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (unsigned i = 0; i < size; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 15]);
  }
  return out;
}

std::string newClaimCode() {
  static_assert(kClaimAlphabet.size() == 32);
  std::string code;
  for (unsigned char byte : randomBytes(8)) {
    if (code.size() == 4) code.push_back('-');
    code.push_back(kClaimAlphabet[byte % 32]);
  }
  return code;
}

std::optional<std::string> normaliseClaimCode(std::string_view typed) {
  std::string letters;
  for (char c : typed) {
    if (c == '-' || c == ' ' || c == '\t') continue;
    const char upper = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    if (kClaimAlphabet.find(upper) == std::string_view::npos) return std::nullopt;
    letters.push_back(upper);
    if (letters.size() > 8) return std::nullopt;
  }
  if (letters.size() != 8) return std::nullopt;
  return letters.substr(0, 4) + "-" + letters.substr(4);
}

std::string newHostId() {
  static_assert(kIdAlphabet.size() == 32);
  std::string id = "h";
  for (unsigned char byte : randomBytes(kHostIdLetters)) id.push_back(kIdAlphabet[byte % 32]);
  return id;
}

bool isHostId(std::string_view text) {
  return text.size() == 1 + kHostIdLetters && text[0] == 'h' &&
         std::all_of(text.begin() + 1, text.end(),
                     [](char c) { return kIdAlphabet.find(c) != std::string_view::npos; });
}

std::string newSessionId() { return randomToken(kSessionIdBytes); }

bool isSessionId(std::string_view text) {
  if (text.size() != kSessionIdLetters) return false;
  if (!std::all_of(text.begin(), text.end(), [](char c) {
        return kTokenAlphabet.find(c) != std::string_view::npos;
      })) {
    return false;
  }
  // 16 bytes fill 21 letters and 2 bits of the 22nd: the last one carries 4 zero bits.
  return (kTokenAlphabet.find(text.back()) & 15) == 0;
}

}  // namespace nimbrel::cloud
