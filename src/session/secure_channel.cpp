#include "session/secure_channel.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <array>
#include <climits>
#include <string>

#include "session/crypto.hpp"

namespace nimbrel {
namespace {

constexpr std::size_t kTagSize = 16;
constexpr std::size_t kCounterSize = 8;
using Nonce = std::array<std::uint8_t, 12>;

const char* describe(ChannelError::Kind kind) {
  switch (kind) {
    case ChannelError::Kind::tooShort: return "encrypted message too short";
    case ChannelError::Kind::badCounter: return "encrypted message out of sequence";
    case ChannelError::Kind::decryptFailed: return "encrypted message failed authentication";
  }
  return "encrypted message rejected";
}

void putCounter(std::uint8_t* out, std::uint64_t counter) {
  for (int i = 7; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>(counter);
    counter >>= 8;
  }
}

std::uint64_t readCounter(const std::uint8_t* in) {
  std::uint64_t counter = 0;
  for (int i = 0; i < 8; ++i) counter = counter << 8 | in[i];
  return counter;
}

Nonce nonceFor(std::uint64_t counter) {
  Nonce nonce{};
  putCounter(nonce.data() + 4, counter);
  return nonce;
}

}  // namespace

ChannelError::ChannelError(Kind kind) : std::runtime_error(describe(kind)), kind_(kind) {}

void SecureChannel::CipherDeleter::operator()(evp_cipher_ctx_st* ctx) const {
  EVP_CIPHER_CTX_free(ctx);
}

SecureChannel::SecureChannel(ByteView pairingKey, ByteView clientNonce, ByteView serverNonce,
                             Role role) {
  Bytes salt(clientNonce.begin(), clientNonce.end());
  salt.insert(salt.end(), serverNonce.begin(), serverNonce.end());
  const Bytes clientToHost = hkdfSha256(pairingKey, salt, "vf1 c2s", 32);
  const Bytes hostToClient = hkdfSha256(pairingKey, salt, "vf1 s2c", 32);
  const Bytes& sendKey = role == Role::host ? hostToClient : clientToHost;
  const Bytes& recvKey = role == Role::host ? clientToHost : hostToClient;

  sendCipher_.reset(EVP_CIPHER_CTX_new());
  recvCipher_.reset(EVP_CIPHER_CTX_new());
  if (!sendCipher_ || !recvCipher_ ||
      EVP_EncryptInit_ex(sendCipher_.get(), EVP_aes_256_gcm(), nullptr, sendKey.data(), nullptr) != 1 ||
      EVP_DecryptInit_ex(recvCipher_.get(), EVP_aes_256_gcm(), nullptr, recvKey.data(), nullptr) != 1) {
    throw std::runtime_error("AES-256-GCM unavailable: " + openSslError("EVP_CIPHER_CTX"));
  }
}

SecureChannel::~SecureChannel() = default;

std::uint64_t SecureChannel::sendCounter() const {
  std::lock_guard lock(sendLock_);
  return sendCounter_;
}

Bytes SecureChannel::seal(ByteView plaintext) {
  if (plaintext.size() > static_cast<std::size_t>(INT_MAX)) {
    throw std::runtime_error("message too large to encrypt");
  }
  Bytes out(kCounterSize + plaintext.size() + kTagSize);
  std::uint8_t* const body = out.data() + kCounterSize;

  std::lock_guard lock(sendLock_);
  const std::uint64_t counter = sendCounter_;
  const Nonce nonce = nonceFor(counter);
  EVP_CIPHER_CTX* ctx = sendCipher_.get();
  int written = 0;
  int finalWritten = 0;
  // An empty update is skipped: with no output buffer GCM would take the input as AAD.
  if (EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data()) != 1 ||
      (!plaintext.empty() &&
       EVP_EncryptUpdate(ctx, body, &written, plaintext.data(),
                         static_cast<int>(plaintext.size())) != 1) ||
      EVP_EncryptFinal_ex(ctx, body + written, &finalWritten) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, kTagSize, body + plaintext.size()) != 1) {
    throw std::runtime_error("encryption failed: " + openSslError("AES-256-GCM"));
  }
  putCounter(out.data(), counter);
  sendCounter_ = counter + 1;
  return out;
}

Bytes SecureChannel::open(ByteView message) {
  if (message.size() < kOverhead) throw ChannelError(ChannelError::Kind::tooShort);
  const std::uint64_t counter = readCounter(message.data());
  if (counter != recvCounter_) throw ChannelError(ChannelError::Kind::badCounter);

  const std::size_t length = message.size() - kOverhead;
  if (length > static_cast<std::size_t>(INT_MAX)) {
    throw ChannelError(ChannelError::Kind::decryptFailed);
  }
  const std::uint8_t* ciphertext = message.data() + kCounterSize;
  // OpenSSL takes the expected tag through a non-const pointer but only reads it.
  auto* tag = const_cast<std::uint8_t*>(ciphertext + length);
  const Nonce nonce = nonceFor(counter);

  Bytes plaintext(length);
  std::uint8_t finalBlock[16];  // GCM writes nothing at the end; OpenSSL still wants a buffer
  EVP_CIPHER_CTX* ctx = recvCipher_.get();
  int written = 0;
  int finalWritten = 0;
  if (EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data()) != 1 ||
      (length > 0 &&
       EVP_DecryptUpdate(ctx, plaintext.data(), &written, ciphertext,
                         static_cast<int>(length)) != 1) ||
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, kTagSize, tag) != 1 ||
      EVP_DecryptFinal_ex(ctx, finalBlock, &finalWritten) != 1) {
    ERR_clear_error();
    throw ChannelError(ChannelError::Kind::decryptFailed);
  }
  recvCounter_ = counter + 1;
  return plaintext;
}

}  // namespace nimbrel
