#include "session/crypto.hpp"

#include <gtest/gtest.h>

#include "session/vectors.hpp"

namespace nimbrel {
namespace {

Bytes hex(const char* text) { return hexDecode(text).value(); }

TEST(Hex, DecodesEitherCaseAndRejectsMalformedText) {
  EXPECT_EQ(hexDecode(""), Bytes{});
  EXPECT_EQ(hexDecode("00ff7A"), (Bytes{0x00, 0xff, 0x7a}));
  EXPECT_EQ(hexDecode("ABCDEF"), (Bytes{0xab, 0xcd, 0xef}));
  for (const char* bad : {"0", "abc", "0g", "g0", " 0", "0x00", "+1", "-1", "é0"}) {
    EXPECT_FALSE(hexDecode(bad).has_value()) << bad;
  }
  EXPECT_EQ(hexEncode(Bytes{0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");
}

TEST(RandomBytes, GivesTheRequestedLengthAndFreshBytes) {
  EXPECT_EQ(randomBytes(0).size(), 0u);
  const Bytes a = randomBytes(32);
  const Bytes b = randomBytes(32);
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
}

TEST(KeySchedule, MatchesIndependentReference) {
  Bytes salt = hex(test::vectors::kClientNonce);
  const Bytes sn = hex(test::vectors::kServerNonce);
  salt.insert(salt.end(), sn.begin(), sn.end());
  const Bytes key = hex(test::vectors::kPairingKey);
  EXPECT_EQ(hexEncode(hkdfSha256(key, salt, "vf1 c2s", 32)), test::vectors::kClientToHostKey);
  EXPECT_EQ(hexEncode(hkdfSha256(key, salt, "vf1 s2c", 32)), test::vectors::kHostToClientKey);
}

TEST(Proof, MatchesIndependentReferenceForBothRoles) {
  const Bytes key = hex(test::vectors::kPairingKey);
  const Bytes cn = hex(test::vectors::kClientNonce);
  const Bytes sn = hex(test::vectors::kServerNonce);
  EXPECT_EQ(hexEncode(proof(key, "client", cn, sn)), test::vectors::kClientProof);
  EXPECT_EQ(hexEncode(proof(key, "server", cn, sn)), test::vectors::kServerProof);
}

}  // namespace
}  // namespace nimbrel
