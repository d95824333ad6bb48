#include "cloud/link_schedule.hpp"

#include <gtest/gtest.h>

#include "cloud/cloud_api.hpp"

namespace nimbrel {
namespace {

TEST(LinkSchedule, PollDelayFollowsTheServiceThenSlowsDown) {
  const struct {
    std::optional<double> interval;
    double elapsed;
    double delay;
  } cases[] = {
      {5, 0, 5},       {5, 599, 5},      {5, 600, 30},    {5, 3599, 30},
      {5, 3600, 300},  {5, 1e7, 300},    {std::nullopt, 0, 3},  // 3 s when the service is silent
      {45, 700, 45},   // a slower wish than the minimum stands
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pollDelay(c.interval, c.elapsed, kDefaultPollSchedule), c.delay)
        << "interval " << c.interval.value_or(-1) << " at " << c.elapsed;
  }
  // No step reaches that far: the last one's minimum.
  EXPECT_EQ(pollDelay(1, 50, {{10, 0}, {20, 7}}), 7);
}

TEST(LinkSchedule, BackOffsRetriesAndPauses) {
  std::vector<double> waits;
  double backoff = 1;
  for (int i = 0; i < 7; ++i) {
    waits.push_back(backoff);
    backoff = nextBackoff(backoff, false);
  }
  EXPECT_EQ(waits, (std::vector<double>{1, 2, 4, 8, 16, 30, 30}));
  EXPECT_EQ(nextBackoff(16, true), 1);

  std::vector<double> retries{5};
  while (retries.size() < 9) retries.push_back(nextEnrolRetry(retries.back()));
  EXPECT_EQ(retries, (std::vector<double>{5, 10, 20, 40, 80, 160, 300, 300, 300}));

  EXPECT_EQ(rateLimitPause(2000, 900), 900);
  EXPECT_EQ(rateLimitPause(std::nullopt, 900), 60);
  EXPECT_EQ(rateLimitPause(2.5, 900), 2.5);
}

TEST(LinkSchedule, WhatAClosedControlConnectionMeans) {
  const struct {
    std::optional<std::uint16_t> code;
    bool reused;
    RoundResult result;
  } cases[] = {
      {4401, true, RoundResult::againFresh}, {4401, false, RoundResult::backOff},
      {4409, true, RoundResult::backOff},    {4410, false, RoundResult::backOff},
      {1000, false, RoundResult::shortPause}, {1006, true, RoundResult::shortPause},
      {std::nullopt, false, RoundResult::shortPause},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(afterControlClosed(c.code, c.reused), c.result) << c.code.value_or(0);
  }
}

TEST(LinkSchedule, GrantsAreReusedOnlyWellBeforeTheyExpire) {
  EXPECT_TRUE(grantReusable("t", 1000 + 11 * 60, "t", 1000, 600));
  EXPECT_FALSE(grantReusable("t", 1000 + 9 * 60, "t", 1000, 600));
  EXPECT_FALSE(grantReusable("old", 1000 + 3600, "new", 1000, 600));
}

TEST(LinkSchedule, RelayValuesAreMadeSafeForUrlsAndHeaders) {
  EXPECT_EQ(pathSegment("a1-_.~Z"), "a1-_.~Z");
  EXPECT_EQ(pathSegment("../x y/%?#"), "..%2Fx%20y%2F%25%3F%23");
  EXPECT_EQ(pathSegment("\xc3\xa9"), "%C3%A9");
  EXPECT_EQ(safeHeaderValue("iad-7"), "iad-7");
  using namespace std::string_view_literals;
  EXPECT_EQ(safeHeaderValue(std::string(128, 'i')), std::string(128, 'i'));
  const std::string tooLong(129, 'i');
  for (std::string_view bad : {""sv, "a\r\nX-Evil: 1"sv, "tab\there"sv, "nul\0x"sv, "two words"sv,
                               "caf\xc3\xa9"sv, std::string_view(tooLong)}) {
    EXPECT_FALSE(safeHeaderValue(bad)) << bad;
  }
  EXPECT_EQ(trimSlashes("//wss://relay.example/x//"), "wss://relay.example/x");
}

TEST(CloudApiRules, RetryAfterIsAPlainNumberOfSeconds) {
  const struct {
    const char* text;
    std::optional<double> seconds;
  } cases[] = {
      {"30", 30},  {" 2.5\t", 2.5},  {"0", 0},  {"Wed, 21 Oct 2026 07:28:00 GMT", std::nullopt},
      {"", std::nullopt},  {"-1", std::nullopt},  {"1e3", std::nullopt},  {"3 0", std::nullopt},
      {".", std::nullopt},  {"1.2.3", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseRetryAfter(c.text), c.seconds) << c.text;
}

TEST(CloudApiRules, UrlsAndWhereTokensMayGo) {
  EXPECT_EQ(cloudRequestUrl("https://api.example///", "/v1/enroll"),
            "https://api.example/v1/enroll");
  EXPECT_EQ(cloudRequestUrl("https://api.example", "/v1/enroll"), "https://api.example/v1/enroll");
  EXPECT_FALSE(cloudRequestUrl("not a url", "/v1/enroll"));
  EXPECT_FALSE(cloudRequestUrl("ftp://api.example", "/v1/enroll"));

  const struct {
    const char* url;
    bool allowed;
  } cases[] = {
      {"https://api.example/v1", true},     {"wss://relay.example/v2/host", true},
      {"http://api.example/v1", false},     {"ws://relay.example/v2/host", false},
      {"http://127.0.0.1:8080/v1", true},   {"ws://localhost:9/v2/host", true},
      {"http://[::1]:9/v1", true},          {"http://127.evil.example/v1", false},
      {"http://10.0.0.1/v1", false},        {"garbage", false},
  };
  for (const auto& c : cases) EXPECT_EQ(urlMayCarryTokens(c.url), c.allowed) << c.url;
}

TEST(CloudApiRules, AnErrorDescribesItselfByMessageThenCodeThenStatus) {
  EXPECT_STREQ(CloudHTTPError(500, "boom", "It broke").what(), "It broke");
  EXPECT_STREQ(CloudHTTPError(500, "boom", "").what(), "boom");
  EXPECT_STREQ(CloudHTTPError(200, "", "").what(), "HTTP 200");
}

}  // namespace
}  // namespace nimbrel
