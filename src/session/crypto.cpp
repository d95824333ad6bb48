#include "session/crypto.hpp"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>
#include <stdexcept>

namespace nimbrel {

std::string openSslError(std::string_view fallback) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return std::string(fallback);
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

Bytes randomBytes(std::size_t count) {
  Bytes out(count);
  if (count > INT_MAX || RAND_bytes(out.data(), static_cast<int>(count)) != 1) {
    throw std::runtime_error("secure random generator failed: " + openSslError("RAND_bytes"));
  }
  return out;
}

std::string hexEncode(ByteView bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0f]);
  }
  return out;
}

namespace {
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::optional<Bytes> hexDecode(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int hi = hexValue(text[i]);
    int lo = hexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return out;
}

Bytes hkdfSha256(ByteView key, ByteView salt, std::string_view info, std::size_t length) {
  using KdfPtr = std::unique_ptr<EVP_KDF, decltype(&EVP_KDF_free)>;
  using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)>;
  KdfPtr kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr), &EVP_KDF_free);
  if (!kdf) throw std::runtime_error("HKDF unavailable: " + openSslError("EVP_KDF_fetch"));
  KdfCtxPtr ctx(EVP_KDF_CTX_new(kdf.get()), &EVP_KDF_CTX_free);
  if (!ctx) throw std::runtime_error("HKDF unavailable: " + openSslError("EVP_KDF_CTX_new"));

  char digest[] = "SHA256";
  // OpenSSL's parameter API takes non-const pointers but does not write through them.
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(key.data()),
                                        key.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT,
                                        const_cast<std::uint8_t*>(salt.data()), salt.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info.data()),
                                        info.size()),
      OSSL_PARAM_construct_end(),
  };
  Bytes out(length);
  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
    throw std::runtime_error("HKDF failed: " + openSslError("EVP_KDF_derive"));
  }
  return out;
}

Bytes proof(ByteView key, std::string_view role, ByteView nonceA, ByteView nonceB) {
  std::string message = "vf1-";
  message += role;
  message += asText(nonceA);
  message += asText(nonceB);

  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (key.size() > INT_MAX ||
      HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), asBytes(message).data(), message.size(),
           out.data(), &length) == nullptr) {
    throw std::runtime_error("HMAC-SHA256 failed: " + openSslError("HMAC"));
  }
  out.resize(length);
  return out;
}

}  // namespace nimbrel
