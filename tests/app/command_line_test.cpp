#include "app/command_line.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

CommandLine line(std::vector<std::string> rest) {
  rest.insert(rest.begin(), "/usr/bin/nimbrel");
  return CommandLine(std::move(rest));
}

TEST(CommandLine, LookupsMatchWholeElementsAndTakeTheFirstValue) {
  const CommandLine c = line({"--port", "8000", "--name", "--dry-run", "--port", "9000", "--api"});
  EXPECT_TRUE(c.has("--dry-run"));  // also scanned as a flag while it is the value of --name
  EXPECT_FALSE(c.has("--dry"));
  EXPECT_FALSE(c.has("--port=8000"));
  EXPECT_EQ(c.value("--port"), "8000");
  EXPECT_EQ(c.value("--name"), "--dry-run");
  EXPECT_EQ(c.value("--api"), std::nullopt);  // last element: no value
  EXPECT_EQ(c.value("--home"), std::nullopt);
  EXPECT_FALSE(line({"--port=8000"}).value("--port").has_value());
}

TEST(CommandLine, IntegerRule) {
  const struct {
    const char* text;
    std::optional<std::int64_t> value;
  } cases[] = {
      {"8000", 8000},
      {"+8000", 8000},
      {"-5", -5},
      {"0", 0},
      {"007300", 7300},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"8000x", std::nullopt},
      {"", std::nullopt},
      {" 8000", std::nullopt},
      {"8000 ", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"++8000", std::nullopt},
      {"+-8000", std::nullopt},
      {"0x1F", std::nullopt},
      {"1e3", std::nullopt},
      {"\xd9\xa3", std::nullopt},  // an Arabic-Indic digit
  };
  for (const auto& c : cases) EXPECT_EQ(parseInteger(c.text), c.value) << '"' << c.text << '"';
}

TEST(CommandLine, HeadlessOverrides) {
  HostConfig stored;
  stored.port = 7300;
  stored.name = "Studio";
  stored.api = "https://api.nimbrel.invalid";
  stored.cloud = true;

  const struct {
    std::vector<std::string> args;
    std::int64_t port;
    std::string name;
    std::string api;
    bool cloud;
  } cases[] = {
      {{}, 7300, "Studio", "https://api.nimbrel.invalid", true},
      {{"--port", "+8000"}, 8000, "Studio", "https://api.nimbrel.invalid", true},
      {{"--port", "8000x"}, 7300, "Studio", "https://api.nimbrel.invalid", true},
      {{"--port", "70000"}, 70000, "Studio", "https://api.nimbrel.invalid", true},  // no range check
      {{"--port"}, 7300, "Studio", "https://api.nimbrel.invalid", true},
      {{"--port", "8001", "--port", "8002"}, 8001, "Studio", "https://api.nimbrel.invalid", true},
      {{"--name", ""}, 7300, "", "https://api.nimbrel.invalid", true},
      {{"--name", "--dry-run"}, 7300, "--dry-run", "https://api.nimbrel.invalid", true},
      {{"--api", "not a url", "--no-cloud"}, 7300, "Studio", "not a url", false},
  };
  for (const auto& c : cases) {
    HostConfig config = stored;
    applyHeadlessOverrides(line(c.args), config);
    EXPECT_EQ(config.port, c.port);
    EXPECT_EQ(config.name, c.name);
    EXPECT_EQ(config.api, c.api);
    EXPECT_EQ(config.cloud, c.cloud);
    EXPECT_EQ(config.secret, stored.secret);
  }
}

TEST(CommandLine, HeadlessOptions) {
  EXPECT_EQ(headlessOptions(line({})), (HostOptions{false, true, true, false}));
  EXPECT_EQ(headlessOptions(line({"--dry-run", "--no-bonjour", "--synthetic", "cursor"})),
            (HostOptions{true, false, true, true}));
  EXPECT_FALSE(headlessOptions(line({"--synthetic", "Cursor"})).syntheticFollowsCursor);
  EXPECT_FALSE(headlessOptions(line({"--synthetic"})).syntheticFollowsCursor);
  EXPECT_TRUE(headlessOptions(line({"--name", "--dry-run"})).dryRun);
}

}  // namespace
}  // namespace nimbrel
