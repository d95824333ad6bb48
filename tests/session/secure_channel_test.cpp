#include "session/secure_channel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "session/crypto.hpp"
#include "session/vectors.hpp"

namespace nimbrel {

struct SecureChannelTestAccess {
  static void setCounters(SecureChannel& channel, std::uint64_t send, std::uint64_t recv) {
    channel.sendCounter_ = send;
    channel.recvCounter_ = recv;
  }
};

namespace {

namespace v = test::vectors;

Bytes hex(const char* text) { return hexDecode(text).value(); }

SecureChannel referenceChannel() {
  return SecureChannel(hex(v::kPairingKey), hex(v::kClientNonce), hex(v::kServerNonce));
}

SecureChannel clientChannel() {
  return SecureChannel(hex(v::kPairingKey), hex(v::kClientNonce), hex(v::kServerNonce),
                       SecureChannel::Role::client);
}

std::uint64_t counterOf(const Bytes& message) {
  std::uint64_t c = 0;
  for (int i = 0; i < 8; ++i) c = c << 8 | message[i];
  return c;
}

ChannelError::Kind openError(SecureChannel& channel, ByteView message) {
  try {
    channel.open(message);
  } catch (const ChannelError& e) {
    return e.kind();
  }
  ADD_FAILURE() << "open accepted the message";
  return ChannelError::Kind::tooShort;
}

TEST(SecureChannel, SealsAndOpensLikeTheIndependentReference) {
  const Bytes plaintext = toBytes(v::kPlaintext);
  for (const v::Sealed& sealed : v::kSealed) {
    SecureChannel channel = referenceChannel();
    SecureChannelTestAccess::setCounters(channel, sealed.counter, sealed.counter);
    EXPECT_EQ(hexEncode(channel.seal(plaintext)), sealed.hostToClient) << sealed.counter;
    EXPECT_EQ(channel.open(hex(sealed.clientToHost)), plaintext);
    EXPECT_EQ(channel.sendCounter(), sealed.counter + 1);
    EXPECT_EQ(channel.recvCounter(), sealed.counter + 1);

    SecureChannel client = clientChannel();
    SecureChannelTestAccess::setCounters(client, sealed.counter, sealed.counter);
    EXPECT_EQ(hexEncode(client.seal(plaintext)), sealed.clientToHost) << sealed.counter;
    EXPECT_EQ(client.open(hex(sealed.hostToClient)), plaintext);
  }
}

TEST(SecureChannel, ExchangesMessagesBothWaysWithAClientPeer) {
  SecureChannel host = referenceChannel();
  SecureChannel client = clientChannel();
  for (int i = 0; i < 5; ++i) {
    const std::string up = "\x01{\"t\":\"move\",\"i\":" + std::to_string(i) + "}";
    EXPECT_EQ(asText(host.open(client.seal(asBytes(up)))), up);
    const std::string down(static_cast<std::size_t>(i) * 1000, static_cast<char>('a' + i));
    EXPECT_EQ(asText(client.open(host.seal(asBytes(down)))), down);
  }
}

TEST(SecureChannel, EmptyPlaintextIsTwentyFourBytes) {
  SecureChannel host = referenceChannel();
  SecureChannel client = clientChannel();
  const Bytes sealed = host.seal({});
  EXPECT_EQ(sealed.size(), 24u);
  EXPECT_EQ(client.open(sealed), Bytes{});
  EXPECT_EQ(host.open(client.seal({})), Bytes{});
}

TEST(SecureChannel, RejectsShortReplayedAndSkippedMessagesWithoutAdvancing) {
  SecureChannel host = referenceChannel();
  SecureChannel client = clientChannel();
  const Bytes first = client.seal(asBytes("one"));
  const Bytes second = client.seal(asBytes("two"));
  const Bytes third = client.seal(asBytes("three"));

  EXPECT_EQ(openError(host, Bytes(23, 0)), ChannelError::Kind::tooShort);
  EXPECT_EQ(openError(host, second), ChannelError::Kind::badCounter);  // gap
  EXPECT_EQ(host.recvCounter(), 0u);
  EXPECT_EQ(asText(host.open(first)), "one");
  EXPECT_EQ(openError(host, first), ChannelError::Kind::badCounter);  // replay
  EXPECT_EQ(openError(host, third), ChannelError::Kind::badCounter);  // gap
  EXPECT_EQ(asText(host.open(second)), "two");
  EXPECT_EQ(asText(host.open(third)), "three");
}

TEST(SecureChannel, AnyFlippedBitFailsAuthenticationAndTheTrueMessageStillOpens) {
  SecureChannel host = referenceChannel();
  SecureChannel client = clientChannel();
  const Bytes message = client.seal(asBytes("\x01{\"t\":\"click\"}"));
  for (std::size_t bit = 8 * 8; bit < message.size() * 8; ++bit) {  // ciphertext and tag
    Bytes flipped = message;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    ASSERT_EQ(openError(host, flipped), ChannelError::Kind::decryptFailed) << "bit " << bit;
  }
  EXPECT_EQ(host.recvCounter(), 0u);
  EXPECT_EQ(asText(host.open(message)), "\x01{\"t\":\"click\"}");
}

TEST(SecureChannel, KeysDependOnBothNonces) {
  const Bytes key = hex(v::kPairingKey);
  Bytes otherServerNonce = hex(v::kServerNonce);
  otherServerNonce[15] ^= 1;
  Bytes otherClientNonce = hex(v::kClientNonce);
  otherClientNonce[0] ^= 1;
  SecureChannel reference = referenceChannel();
  SecureChannel newServerNonce(key, hex(v::kClientNonce), otherServerNonce);
  SecureChannel newClientNonce(key, otherClientNonce, hex(v::kServerNonce));
  const Bytes sealed = reference.seal(asBytes("same"));
  EXPECT_NE(newServerNonce.seal(asBytes("same")), sealed);
  EXPECT_NE(newClientNonce.seal(asBytes("same")), sealed);
  EXPECT_EQ(openError(newServerNonce, clientChannel().seal(asBytes("x"))),
            ChannelError::Kind::decryptFailed);
}

TEST(SecureChannel, ConcurrentSealsGetDistinctIncreasingCounters) {
  SecureChannel host = referenceChannel();
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::vector<Bytes>> sealed(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) sealed[t].push_back(host.seal(asBytes("payload")));
    });
  }
  for (auto& thread : threads) thread.join();

  std::vector<Bytes> all;
  for (const auto& perThread : sealed) {
    for (std::size_t i = 1; i < perThread.size(); ++i) {
      EXPECT_LT(counterOf(perThread[i - 1]), counterOf(perThread[i]));
    }
    all.insert(all.end(), perThread.begin(), perThread.end());
  }
  std::sort(all.begin(), all.end(), [](auto& a, auto& b) { return counterOf(a) < counterOf(b); });
  SecureChannel client = clientChannel();
  for (std::size_t i = 0; i < all.size(); ++i) {
    ASSERT_EQ(counterOf(all[i]), i);
    ASSERT_EQ(client.open(all[i]), toBytes("payload"));
  }
}

}  // namespace
}  // namespace nimbrel
