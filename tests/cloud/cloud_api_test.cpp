#include "cloud/cloud_api.hpp"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include "base/version.hpp"
#include "scripted_http.hpp"
#include "support/io_runner.hpp"

namespace nimbrel {
namespace {

namespace json = boost::json;
using test::ScriptedHttp;

class CloudApiTest : public ::testing::Test {
 protected:
  // Each test answers with its own script; the API talks to it through the real HTTP client.
  CloudAPI api(ScriptedHttp& server, std::string suffix = "") {
    return CloudAPI(server.url() + suffix, makeHttpClient(io_.executor()));
  }
  test::IoRunner io_;
};

TEST_F(CloudApiTest, EnrolSendsTheHostsIdentityAndReadsTheClaim) {
  ScriptedHttp server([](const ScriptedHttp::Request&) {
    return ScriptedHttp::answer(200, R"({"code":"ABCD-EFGH","poll_token":"p","interval":5,"expires_in":600})");
  });
  CloudAPI cloud = api(server, "//");  // trailing slashes do not change the URL
  const json::object claim = io_.run(cloud.enroll("0123456789abcdef", "Desk"));
  EXPECT_EQ(claim.at("code"), "ABCD-EFGH");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& request = requests[0];
  EXPECT_EQ(request.method_string(), "POST");
  EXPECT_EQ(request.target(), "/v1/enroll");
  EXPECT_EQ(request["User-Agent"], std::string("nimbrel-host-linux/") + hostVersion());
  EXPECT_EQ(request["Content-Type"], "application/json");
  EXPECT_EQ(request["Authorization"], "");
  EXPECT_EQ(json::parse(request.body()),
            json::parse(std::string(R"({"local_id":"0123456789abcdef","name":"Desk","os":"linux","version":")") +
                        hostVersion() + "\"}"));
}

// Every call's success and its failures, answer by answer.
TEST_F(CloudApiTest, EachCallsSuccessAndFailures) {
  struct Case {
    const char* name;
    int status;
    std::string body;
    std::vector<std::pair<std::string, std::string>> fields;
    std::function<asio::awaitable<std::string>(CloudAPI&)> call;
    std::string outcome;  // what the call gives, or "error: " and its description
  };
  auto enroll = [](CloudAPI& c) -> asio::awaitable<std::string> {
    co_return json::serialize(co_await c.enroll("h", "n"));
  };
  auto poll = [](CloudAPI& c) -> asio::awaitable<std::string> {
    const auto answer = co_await c.pollEnrollment("p");
    const char* states[] = {"claimed", "pending", "expired"};
    co_return std::string(states[static_cast<int>(answer.state)]);
  };
  auto relay = [](CloudAPI& c) -> asio::awaitable<std::string> {
    const auto grant = co_await c.relayToken("host-token", "n");
    co_return grant.url + " " + grant.token + " " + std::to_string(static_cast<int>(grant.lifetime));
  };
  auto leave = [](CloudAPI& c) -> asio::awaitable<std::string> {
    co_await c.leave("host-token");
    co_return "left";
  };
  const std::string claimed = R"({"host_id":"c1","host_token":"t"})";
  const std::vector<Case> cases = {
      {"enrol 201 is no success", 201, "{}", {}, enroll, "error: HTTP 201"},
      {"enrol error body", 503, R"({"error":{"code":"down","message":"Service down"}})", {}, enroll,
       "error: Service down"},
      {"enrol error without JSON", 500, "<html>", {}, enroll, "error: HTTP 500"},
      {"poll claimed", 200, claimed, {}, poll, "claimed"},
      {"poll pending", 202, "", {}, poll, "pending"},
      {"poll expired", 410, "{}", {}, poll, "expired"},
      {"poll error code only", 400, R"({"error":{"code":"bad_token"}})", {}, poll, "error: bad_token"},
      {"relay token", 200, R"({"relay_url":"wss://r","token":"rt","expires_in":120.5})", {}, relay,
       "wss://r rt 120"},
      {"relay token lifetime absent", 200, R"({"relay_url":"wss://r","token":"rt"})", {}, relay,
       "wss://r rt 3600"},
      {"relay token without url", 200, R"({"token":"rt"})", {}, relay, "error: HTTP 200"},
      {"relay token 429", 429, "{}", {{"Retry-After", "30"}}, relay, "error: HTTP 429"},
      {"leave 200", 200, "", {}, leave, "left"},
      {"leave 204", 204, "", {}, leave, "left"},
      {"leave 401", 401, "", {}, leave, "left"},
      {"leave 404", 404, "", {}, leave, "left"},
      {"leave 500", 500, "", {}, leave, "error: HTTP 500"},
  };
  for (const Case& c : cases) {
    ScriptedHttp server([&](const ScriptedHttp::Request&) {
      return ScriptedHttp::answer(c.status, c.body, c.fields);
    });
    CloudAPI cloud = api(server);
    std::string outcome;
    try {
      outcome = io_.run(c.call(cloud));
    } catch (const CloudHTTPError& error) {
      outcome = std::string("error: ") + error.what();
      // Only the relay-token call carries the pause it was asked for.
      if (std::string(c.name) == "relay token 429") {
        EXPECT_EQ(error.retryAfter(), 30) << c.name;
      }
    }
    EXPECT_EQ(outcome, c.outcome) << c.name;
  }
}

TEST_F(CloudApiTest, TokensAreSentOnlyAsBearerAndOnlyWhereTheyAreSafe) {
  ScriptedHttp server([](const ScriptedHttp::Request&) { return ScriptedHttp::answer(204); });
  CloudAPI cloud = api(server);
  io_.run(cloud.leave("secret-token"));
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].method_string(), "DELETE");
  EXPECT_EQ(server.requests()[0].target(), "/v1/host");
  EXPECT_EQ(server.requests()[0]["Authorization"], "Bearer secret-token");
  EXPECT_EQ(server.requests()[0].body(), "");

  // Plain http to another machine is refused before anything is sent.
  CloudAPI remote("http://192.0.2.1:9", makeHttpClient(io_.executor()));
  try {
    io_.run(remote.leave("secret-token"));
    ADD_FAILURE() << "an insecure base was used";
  } catch (const CloudHTTPError& error) {
    EXPECT_EQ(error.status(), 0);
    EXPECT_EQ(error.code(), "insecure_url");
  }
  CloudAPI bad("::nonsense", makeHttpClient(io_.executor()));
  try {
    io_.run(bad.enroll("h", "n"));
    ADD_FAILURE() << "a bad base was used";
  } catch (const CloudHTTPError& error) {
    EXPECT_EQ(error.code(), "bad_url");
    EXPECT_STREQ(error.what(), "Bad API URL");
  }
}

TEST_F(CloudApiTest, NoAnswerIsATransportFailure) {
  // A port nothing listens on: refused, no HTTP status at all.
  std::string url;
  {
    ScriptedHttp gone([](const ScriptedHttp::Request&) { return ScriptedHttp::answer(200); });
    url = gone.url();
  }
  CloudAPI cloud(url, makeHttpClient(io_.executor()));
  EXPECT_THROW(io_.run(cloud.enroll("h", "n")), HttpFailure);
}

TEST_F(CloudApiTest, AServerThatStallsTimesOut) {
  // Accepts, reads the request, never answers.
  std::promise<void> release;
  auto released = release.get_future().share();
  ScriptedHttp server([released](const ScriptedHttp::Request&) {
    released.wait();
    return ScriptedHttp::answer(200, "{}");
  });
  CloudAPI cloud(server.url(), makeHttpClient(io_.executor(), {.idle = 0.3, .total = 60}));
  try {
    io_.run(cloud.enroll("h", "n"));
    ADD_FAILURE() << "no time-out";
  } catch (const HttpFailure& failure) {
    EXPECT_NE(std::string(failure.what()).find("timed out"), std::string::npos) << failure.what();
  }
  release.set_value();
}

}  // namespace
}  // namespace nimbrel
