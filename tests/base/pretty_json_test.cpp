#include "base/pretty_json.hpp"

#include <boost/json.hpp>
#include <gtest/gtest.h>

namespace nimbrel {
namespace {

TEST(PrettyJson, SortsKeysIndentsAndEscapesSlashes) {
  const boost::json::value value = boost::json::object{
      {"zeta", 1},
      {"alpha", "https://a/b"},
      {"mid", boost::json::array{true, nullptr, boost::json::object{}}},
      {"ctl", "tab\there \"q\" \\ \x01"},
  };
  EXPECT_EQ(prettyJson(value),
            "{\n"
            "  \"alpha\" : \"https:\\/\\/a\\/b\",\n"
            "  \"ctl\" : \"tab\\there \\\"q\\\" \\\\ \\u0001\",\n"
            "  \"mid\" : [\n"
            "    true,\n"
            "    null,\n"
            "    {}\n"
            "  ],\n"
            "  \"zeta\" : 1\n"
            "}");
}

TEST(PrettyJson, OutputReadsBackEqualEvenFromInvalidUtf8) {
  const boost::json::object value{{"name", "caf\xc3\xa9 \xff"}, {"port", -7300}};
  const boost::json::value parsed = boost::json::parse(prettyJson(value));
  EXPECT_EQ(parsed.at("name").as_string(), "caf\xc3\xa9 \uFFFD");
  EXPECT_EQ(parsed.at("port").as_int64(), -7300);
}

}  // namespace
}  // namespace nimbrel
