#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "base/bytes.hpp"

struct evp_cipher_ctx_st;

namespace nimbrel {

class ChannelError : public std::runtime_error {
 public:
  enum class Kind { tooShort, badCounter, decryptFailed };
  explicit ChannelError(Kind kind);
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// The encrypted message layer of a session: AES-256-GCM with one key per direction,
// derived by HKDF-SHA256 from the pairing key and both handshake nonces, and a counter per
// direction that is both the nonce and the sequence number.
//
// Wire form of every message: counter (8 bytes, big-endian) | ciphertext | tag (16 bytes).
//
// Thread-safety: `seal` may be called from any number of threads; each call gets its own
// counter, and counters are handed out in increasing order. `open` must be called by one
// thread (the session's receive loop) at a time.
class SecureChannel {
 public:
  static constexpr std::size_t kOverhead = 8 + 16;

  // The host sends with the "vf1 s2c" key and receives with "vf1 c2s"; a client the other
  // way round.
  enum class Role { host, client };

  SecureChannel(ByteView pairingKey, ByteView clientNonce, ByteView serverNonce,
                Role role = Role::host);
  ~SecureChannel();
  SecureChannel(const SecureChannel&) = delete;
  SecureChannel& operator=(const SecureChannel&) = delete;

  // Encrypts `plaintext` under the next send counter. Throws std::runtime_error with
  // OpenSSL's text when the cipher fails; the counter is then not consumed.
  Bytes seal(ByteView plaintext);

  // Decrypts a message that must carry exactly the next receive counter. Throws
  // ChannelError; after an error the receive counter is unchanged.
  Bytes open(ByteView message);

  std::uint64_t sendCounter() const;
  std::uint64_t recvCounter() const { return recvCounter_; }

 private:
  friend struct SecureChannelTestAccess;  // sets counters to reach far-off values in tests

  struct CipherDeleter {
    void operator()(evp_cipher_ctx_st* ctx) const;
  };
  using CipherPtr = std::unique_ptr<evp_cipher_ctx_st, CipherDeleter>;

  CipherPtr sendCipher_;  // initialised once with the send key; only the nonce changes
  CipherPtr recvCipher_;
  mutable std::mutex sendLock_;  // guards sendCipher_ and sendCounter_
  std::uint64_t sendCounter_ = 0;
  std::uint64_t recvCounter_ = 0;
};

}  // namespace nimbrel
