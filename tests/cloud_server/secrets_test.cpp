#include "cloud_server/secrets.hpp"

#include <gtest/gtest.h>

#include <set>

namespace nimbrel::cloud {
namespace {

TEST(Secrets, TokensAreLongRandomAndUrlSafe) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string token = randomToken();
    EXPECT_EQ(token.size(), 43u);  // 32 bytes
    EXPECT_EQ(token.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    seen.insert(token);
  }
  EXPECT_EQ(seen.size(), 200u);
  EXPECT_EQ(randomToken(16).size(), 22u);
  EXPECT_EQ(randomToken(1).size(), 2u);
  EXPECT_EQ(randomToken(2).size(), 3u);
}

TEST(Secrets, TokenHashIsSha256InHex) {
  EXPECT_EQ(tokenHash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(tokenHash(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Secrets, ClaimCodesUseAnUnambiguousAlphabet) {
  for (char c : std::string_view("0O1I")) {
    EXPECT_EQ(kClaimAlphabet.find(c), std::string_view::npos) << c;
  }
  std::set<std::string> seen;
  for (int i = 0; i < 500; ++i) {
    const std::string code = newClaimCode();
    ASSERT_EQ(code.size(), 9u);
    EXPECT_EQ(code[4], '-');
    for (std::size_t k = 0; k < code.size(); ++k) {
      if (k != 4) {
        EXPECT_NE(kClaimAlphabet.find(code[k]), std::string_view::npos) << code;
      }
    }
    EXPECT_EQ(normaliseClaimCode(code), code);
    seen.insert(code);
  }
  EXPECT_GT(seen.size(), 495u);
}

TEST(Secrets, TypedClaimCodesAreNormalised) {
  struct Case {
    const char* typed;
    std::optional<std::string> code;
  };
  const Case cases[] = {
      {"ABCD-EFGH", "ABCD-EFGH"},  {"abcd-efgh", "ABCD-EFGH"}, {"abcdefgh", "ABCD-EFGH"},
      {" abcd efgh ", "ABCD-EFGH"}, {"AB-CD-EF-GH", "ABCD-EFGH"}, {"2345-6789", "2345-6789"},
      {"ABCD-EFG", std::nullopt},   {"ABCD-EFGHJ", std::nullopt}, {"ABCD-EFG0", std::nullopt},
      {"OBCD-EFGH", std::nullopt},  {"1BCD-EFGH", std::nullopt},  {"ABCD_EFGH", std::nullopt},
      {"", std::nullopt},           {"ÄBCD-EFGH", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(normaliseClaimCode(c.typed), c.code) << c.typed;
}

TEST(Secrets, SessionIdsHaveOneForm) {
  for (int i = 0; i < 200; ++i) {
    const std::string id = newSessionId();
    ASSERT_TRUE(isSessionId(id)) << id;
    ASSERT_EQ(id.size(), 22u);
  }
  EXPECT_NE(newSessionId(), newSessionId());
  EXPECT_TRUE(isSessionId("AAAAAAAAAAAAAAAAAAAAAA"));
  EXPECT_TRUE(isSessionId("-_09azAZ-_09azAZ-_09aw"));
  for (const char* bad : {"", "short", "AAAAAAAAAAAAAAAAAAAAAAA", "AAAAAAAAAAAAAAAAAAAAA",
                          "AAAAAAAAAAAAAAAAAAAAA.", "AAAAAAAAAAAAAAAAAAAAA/", "AAAAAAAAAAAAAAAAAAAA+A",
                          "AAAAAAAAAAAAAAAAAAAAA=",
                          "AAAAAAAAAAAAAAAAAAAAAB"}) {  // the last letter's low bits are zero
    EXPECT_FALSE(isSessionId(bad)) << bad;
  }
}

TEST(Secrets, HostIdsHaveOneForm) {
  const std::string id = newHostId();
  EXPECT_TRUE(isHostId(id)) << id;
  EXPECT_EQ(id.size(), 21u);
  EXPECT_NE(newHostId(), id);
  for (const char* bad : {"", "h", "x2345678901234567890a", "h234567890123456789", "hABCDEFGHJKMNPQRSTUVW",
                          "h23456789012345678901", "h2345678901234567890/"}) {
    EXPECT_FALSE(isHostId(bad)) << bad;
  }
}

}  // namespace
}  // namespace nimbrel::cloud
