// The service in this process on loopback, with a real SQLite file and a clock the tests move:
// every API call and its errors, expiry, rate limits, and the relay's close codes, message
// passing and backpressure.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "cloud_server/cloud_api.hpp"
#include "cloud_server/cloud_test_support.hpp"
#include "cloud_server/secrets.hpp"
#include "cloud_server/sqlite_store.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel::cloud::test {
namespace {

namespace json = boost::json;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string body(const json::object& object) { return json::serialize(object); }

std::string text(const json::object& object, const char* key) {
  const auto* value = object.if_contains(key);
  return value && value->is_string() ? std::string(value->get_string()) : "";
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

TEST(CloudApi, EnrolmentClaimAndTokensFromStartToEnd) {
  Service service;
  const auto enrolled = service.enrolAndClaim("local-1");
  EXPECT_TRUE(enrolled.id.starts_with("h"));
  EXPECT_GE(enrolled.token.size(), 43u);  // 32 random bytes

  const auto enroll = http(service.port(), "POST", "/v1/enroll",
                           body({{"local_id", "local-2"}, {"name", "Den"}, {"os", "linux"},
                                 {"version", "1.0.0"}}));
  ASSERT_EQ(enroll.status, 200);
  const auto e = enroll.json();
  EXPECT_THAT(text(e, "code"), ::testing::MatchesRegex("[A-HJ-NP-Z2-9]{4}-[A-HJ-NP-Z2-9]{4}"));
  EXPECT_EQ(e.at("interval").as_int64(), 3);
  EXPECT_EQ(e.at("expires_in").as_int64(), 600);
  const std::string poll = body({{"poll_token", e.at("poll_token")}});

  const auto pending = http(service.port(), "POST", "/v1/enroll/poll", poll);
  EXPECT_EQ(pending.status, 202);

  // The code is typed in lower case without its dash: still the same code.
  std::string typed = text(e, "code");
  typed.erase(4, 1);
  for (char& c : typed) c = static_cast<char>(std::tolower(c));
  const auto claim = http(service.port(), "POST", "/v1/claim", body({{"code", typed}}),
                          service.accountToken("alice"));
  ASSERT_EQ(claim.status, 200) << claim.body;
  EXPECT_EQ(text(claim.json(), "name"), "Den");
  EXPECT_EQ(text(claim.json(), "local_id"), "local-2");
  const std::string hostId = text(claim.json(), "host_id");

  const auto again = http(service.port(), "POST", "/v1/claim", body({{"code", text(e, "code")}}),
                          service.accountToken("alice"));
  EXPECT_EQ(again.status, 409);
  EXPECT_EQ(again.errorCode(), "already_claimed");

  const auto claimed = http(service.port(), "POST", "/v1/enroll/poll", poll);
  ASSERT_EQ(claimed.status, 200);
  const auto c = claimed.json();
  EXPECT_EQ(text(c, "host_id"), hostId);
  EXPECT_EQ(c.at("account").as_object().at("email").as_string(), "alice@example.org");
  EXPECT_EQ(c.at("account").as_object().at("name").as_string(), "alice");
  const std::string firstToken = text(c, "host_token");

  // A second poll (the first answer was lost) hands out a new token; the first stops working.
  const auto repeated = http(service.port(), "POST", "/v1/enroll/poll", poll);
  ASSERT_EQ(repeated.status, 200);
  const std::string hostToken = text(repeated.json(), "host_token");
  EXPECT_NE(hostToken, firstToken);
  EXPECT_EQ(http(service.port(), "POST", "/v1/host/relay-token", "{}", firstToken).status, 401);

  const auto relay = http(service.port(), "POST", "/v1/host/relay-token",
                          body({{"name", "Den 2"}, {"version", "1.1.0"}}), hostToken);
  ASSERT_EQ(relay.status, 200) << relay.body;
  EXPECT_EQ(text(relay.json(), "relay_url"), "ws://127.0.0.1:" + std::to_string(service.port()));
  EXPECT_GE(text(relay.json(), "token").size(), 43u);
  EXPECT_EQ(relay.json().at("expires_in").as_int64(), 3600);

  const auto list = http(service.port(), "GET", "/v1/hosts", "", service.accountToken("alice"));
  ASSERT_EQ(list.status, 200);
  const auto listed = list.json();
  const auto& hosts = listed.at("hosts").as_array();
  ASSERT_EQ(hosts.size(), 2u);
  const auto isDen = [&](const json::value& h) { return text(h.as_object(), "id") == hostId; };
  const auto found = std::find_if(hosts.begin(), hosts.end(), isDen);
  ASSERT_NE(found, hosts.end());
  const auto& den = found->as_object();
  EXPECT_EQ(text(den, "id"), hostId);
  EXPECT_EQ(text(den, "local_id"), "local-2");
  EXPECT_EQ(text(den, "name"), "Den 2");  // renamed by the relay-token call
  EXPECT_EQ(text(den, "version"), "1.1.0");
  EXPECT_EQ(den.at("online").as_bool(), false);

  const auto ticket =
      http(service.port(), "POST", "/v1/hosts/" + hostId + "/ticket", "", service.accountToken("alice"));
  ASSERT_EQ(ticket.status, 200);
  EXPECT_EQ(text(ticket.json(), "url"), "ws://127.0.0.1:" + std::to_string(service.port()) +
                                            "/v2/client/" + hostId +
                                            "?ticket=" + text(ticket.json(), "ticket"));
  EXPECT_EQ(ticket.json().at("expires_in").as_int64(), 60);

  // Leaving the account: the host token stops working.
  EXPECT_EQ(http(service.port(), "DELETE", "/v1/host", "", hostToken).status, 204);
  EXPECT_EQ(http(service.port(), "DELETE", "/v1/host", "", hostToken).status, 401);
  const auto remove = http(service.port(), "DELETE", "/v1/hosts/" + enrolled.id, "",
                           service.accountToken("alice"));
  EXPECT_EQ(remove.status, 204);
  const auto after = http(service.port(), "GET", "/v1/hosts", "", service.accountToken("alice"));
  EXPECT_TRUE(after.json().at("hosts").as_array().empty());
}

TEST(CloudApi, EveryErrorHasItsStatusAndCode) {
  Service service({}, {"alice", "bob"});
  const auto host = service.enrolAndClaim("local-1");
  const std::string account = service.accountToken("alice");
  const std::string bobs = service.accountToken("bob");
  struct Case {
    const char* method;
    std::string target;
    std::string body;
    std::string token;
    int status;
    const char* code;
  };
  const std::vector<Case> cases = {
      {"POST", "/v1/enroll", "{}", "", 400, "bad_request"},
      {"POST", "/v1/enroll", R"({"local_id":5})", "", 400, "bad_request"},
      {"POST", "/v1/enroll", R"({"local_id":"x","name":7})", "", 400, "bad_request"},
      {"POST", "/v1/enroll", "[1,2]", "", 400, "bad_json"},
      {"POST", "/v1/enroll", "{\"local_id\":", "", 400, "bad_json"},
      {"GET", "/v1/enroll", "", "", 405, "method_not_allowed"},
      {"POST", "/v1/enroll/poll", "{}", "", 400, "bad_request"},
      {"POST", "/v1/enroll/poll", R"({"poll_token":"unknown"})", "", 410, "expired"},
      {"POST", "/v1/host/relay-token", "{}", "", 401, "unauthorized"},
      {"POST", "/v1/host/relay-token", "{}", "not-a-token", 401, "unauthorized"},
      {"POST", "/v1/host/relay-token", "{}", account, 401, "unauthorized"},
      {"POST", "/v1/host/relay-token", R"({"name":["x"]})", host.token, 400, "bad_request"},
      {"DELETE", "/v1/host", "", "not-a-token", 401, "unauthorized"},
      {"GET", "/v1/host", "", host.token, 405, "method_not_allowed"},
      {"POST", "/v1/claim", R"({"code":"ABCD-EFGH"})", host.token, 401, "unauthorized"},
      {"POST", "/v1/claim", R"({"code":"0OI1-AAAA"})", account, 400, "bad_code"},
      {"POST", "/v1/claim", R"({"code":"AAAA-AAAA"})", account, 404, "unknown_code"},
      {"POST", "/v1/claim", "{}", account, 400, "bad_code"},
      {"GET", "/v1/hosts", "", "", 401, "unauthorized"},
      {"PUT", "/v1/hosts", "", account, 405, "method_not_allowed"},
      {"DELETE", "/v1/hosts/" + host.id, "", bobs, 404, "not_found"},
      {"DELETE", "/v1/hosts/nonsense", "", account, 404, "not_found"},
      {"POST", "/v1/hosts/" + host.id + "/ticket", "", bobs, 404, "not_found"},
      {"GET", "/v1/hosts/" + host.id + "/ticket", "", account, 405, "method_not_allowed"},
      {"GET", "/v1/nothing", "", "", 404, "not_found"},
      // GET / is the browser client (web_app_test.cpp); other methods stay the API's.
      {"POST", "/", "", "", 404, "not_found"},
      {"GET", "/v2/host", "", "", 426, "upgrade_required"},
      {"GET", "/v2/client/" + host.id + "?ticket=x", "", "", 426, "upgrade_required"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target + " " + c.body);
    const auto answer = http(service.port(), c.method, c.target, c.body, c.token);
    EXPECT_EQ(answer.status, c.status) << answer.body;
    EXPECT_EQ(answer.errorCode(), c.code);
    EXPECT_EQ(answer.header("content-type"), "application/json");
    const auto error = answer.json().at("error").as_object();
    EXPECT_FALSE(error.at("message").as_string().empty());
    if (c.status == 405) {
      EXPECT_TRUE(answer.headers.count("allow"));
    }
  }
  // None of it touched the host: it still gets relay tokens, and it is still alice's.
  EXPECT_FALSE(service.relayToken(host.token).empty());
  EXPECT_EQ(http(service.port(), "GET", "/v1/hosts", "", account).json().at("hosts").as_array().size(), 1u);
}

TEST(CloudApi, ClaimCodesExpire) {
  Service service;
  const auto enroll = http(service.port(), "POST", "/v1/enroll", R"({"local_id":"a"})");
  const auto e = enroll.json();
  const std::string poll = body({{"poll_token", e.at("poll_token")}});
  service.advance(599);
  EXPECT_EQ(http(service.port(), "POST", "/v1/enroll/poll", poll).status, 202);
  service.advance(2);
  const auto expired = http(service.port(), "POST", "/v1/enroll/poll", poll);
  EXPECT_EQ(expired.status, 410);
  EXPECT_EQ(expired.errorCode(), "expired");
  const auto claim = http(service.port(), "POST", "/v1/claim", body({{"code", e.at("code")}}),
                          service.accountToken("alice"));
  EXPECT_EQ(claim.status, 410);
  EXPECT_EQ(claim.errorCode(), "expired");
}

// Enrolling takes no credentials and a computer's local id is no secret (every pairing link
// carries it): a stranger can enrol under the id of someone's computer and talk its owner into
// claiming the code. Only an enrolment that proved it holds the computer's host token replaces
// the computer; anything less is listed beside it and takes nothing away.
TEST(CloudApi, OnlyAnEnrolmentProvingTheHostTokenReplacesTheComputerWithItsId) {
  struct Case {
    const char* who;
    std::function<std::string(const Service::Host& computer, const Service::Host& strangers)>
        presents;
    bool replaces;
  };
  const std::vector<Case> cases = {
      {"a stranger presenting nothing", [](const auto&, const auto&) { return std::string(); },
       false},
      {"a stranger presenting a made-up token",
       [](const auto&, const auto&) { return std::string(43, 'A'); }, false},
      {"a stranger presenting the real token of its own computer",
       [](const auto&, const auto& strangers) { return strangers.token; }, false},
      {"the computer itself, presenting its host token",
       [](const auto& computer, const auto&) { return computer.token; }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.who);
    Service service({}, {"alice", "mallory"});
    const std::string alice = service.accountToken("alice");
    const auto computer = service.enrolAndClaim("desk-id");
    const auto strangers = service.enrolAndClaim("mallorys-id", "mallory");
    LogWaiter log;
    RelayHost online(service.port(), service.relayToken(computer.token));
    ASSERT_TRUE(log.waitFor("host " + computer.id + " online"));

    // The owner claims the code shown under the computer's id.
    const auto enrolled = service.enrolAndClaim("desk-id", "alice", c.presents(computer, strangers));
    ASSERT_FALSE(enrolled.id.empty());
    ASSERT_NE(enrolled.id, computer.id);

    const auto listed = http(service.port(), "GET", "/v1/hosts", "", alice).json();
    std::set<std::string> ids;
    for (const auto& h : listed.at("hosts").as_array()) ids.insert(text(h.as_object(), "id"));
    if (c.replaces) {
      EXPECT_EQ(online.control.closeCode(), 4410);
      EXPECT_EQ(http(service.port(), "POST", "/v1/host/relay-token", "{}", computer.token).status,
                401);
      EXPECT_EQ(ids, (std::set<std::string>{enrolled.id}));
    } else {
      // The computer keeps its place, its token and its relay connection, which still serves
      // clients; the new enrolment is listed beside it.
      EXPECT_EQ(ids, (std::set<std::string>{computer.id, enrolled.id}));
      EXPECT_FALSE(service.relayToken(computer.token).empty());
      WsClient client(service.port(),
                      "/v2/client/" + computer.id + "?ticket=" + service.ticket(computer.id));
      auto session = online.acceptSession();
      client.send("still the real one", true);
      EXPECT_EQ(session->read().bytes, "still the real one");
    }
    // Whatever was presented, the new enrolment has a token of its own that works, and the
    // stranger's own computer was not touched.
    EXPECT_FALSE(service.relayToken(enrolled.token).empty());
    EXPECT_FALSE(service.relayToken(strangers.token).empty());
  }
}

TEST(CloudApi, TheClaimAnswerNamesTheAccountByItsEmailOnlyWhenItHasOne) {
  Service service;
  // An account added without an email, as the command line allows.
  const std::string carol = randomToken();
  SqliteStore::open(service.dir() / "cloud.db", {})
      ->addAccount("carol", "", tokenHash(carol), service.now());
  const std::vector<std::pair<std::string, std::string>> accounts = {
      {"alice", "alice@example.org"}, {"carol", ""}};
  for (const auto& [account, email] : accounts) {
    SCOPED_TRACE(account);
    const auto enroll = http(service.port(), "POST", "/v1/enroll", R"({"local_id":"L"})");
    const auto e = enroll.json();
    const std::string token = account == "carol" ? carol : service.accountToken(account);
    ASSERT_EQ(http(service.port(), "POST", "/v1/claim", body({{"code", e.at("code")}}), token).status,
              200);
    const auto polled =
        http(service.port(), "POST", "/v1/enroll/poll", body({{"poll_token", e.at("poll_token")}}));
    ASSERT_EQ(polled.status, 200);
    const auto named = polled.json().at("account").as_object();
    EXPECT_EQ(text(named, "name"), account);
    if (email.empty()) {
      EXPECT_FALSE(named.contains("email")) << polled.body;
    } else {
      EXPECT_EQ(text(named, "email"), email);
    }
  }
}

// One IPv6 subscriber holds a whole /64: enrolments and polls are counted per /64, and per
// address for IPv4 (an IPv4 address mapped into IPv6 is that IPv4 address).
TEST(CloudApi, EnrolmentIsLimitedPerIpv6NetworkAndPerIpv4Address) {
  TempDir dir;
  auto store = SqliteStore::open(dir / "db", {});
  Limits limits;
  limits.enrollPerAddress = {2, 1e-6};
  limits.pollPerAddress = {2, 1e-6};
  CloudApi api(*store, CloudApi::Settings{limits, "", "127.0.0.1:1", [] { return 1.8e9; }, {}});
  const auto call = [&](const std::string& target, const std::string& body,
                        const std::string& address) {
    return api.handle(ApiRequest{"POST", target, "", body, address, "127.0.0.1:1", false}).status;
  };
  struct Case {
    const char* what;
    std::vector<std::string> addresses;  // in order; the last one is refused
  };
  const std::vector<Case> cases = {
      {"one /64", {"2001:db8:1:2::5", "2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2:abcd::1"}},
      {"the next /64 has its own", {"2001:db8:1:3::1", "2001:db8:1:3::2", "2001:db8:1:3:1::"}},
      {"one IPv4 address", {"192.0.2.1", "192.0.2.1", "::ffff:192.0.2.1"}},
      {"its neighbour has its own", {"192.0.2.2", "192.0.2.2", "192.0.2.2"}},
  };
  const std::vector<std::pair<std::string, std::string>> calls = {
      {"/v1/enroll", R"({"local_id":"x"})"}, {"/v1/enroll/poll", R"({"poll_token":"unknown"})"}};
  for (const auto& [target, payload] : calls) {
    for (const auto& c : cases) {
      SCOPED_TRACE(target + ": " + c.what);
      for (std::size_t i = 0; i < c.addresses.size(); ++i) {
        const int status = call(target, payload, c.addresses[i]);
        if (i + 1 < c.addresses.size()) {
          EXPECT_NE(status, 429) << c.addresses[i];
        } else {
          EXPECT_EQ(status, 429) << c.addresses[i];
        }
      }
    }
  }
}

TEST(CloudApi, RateLimitsAnswer429WithRetryAfter) {
  Limits limits;
  limits.enrollPerAddress = {2, 0.01};     // then one per 100 s
  limits.pollPerAddress = {3, 0.5};        // then one per 2 s
  limits.relayTokensPerHost = {1, 1.0 / 60};
  limits.ticketsPerAccount = {2, 0.1};
  limits.claimsPerAccount = {1, 0.05};
  Service service(limits);
  // The set-up spends part of the bursts: one enrolment, one claim and one poll.
  const auto host = service.enrolAndClaim("a");  // 1 enrol, 1 claim, 1 poll
  const std::string account = service.accountToken("alice");
  struct Case {
    const char* what;
    std::function<HttpResult()> call;
    int burst;
    const char* retryAfter;
    double refill;  // seconds after which one more goes through
  };
  const std::vector<Case> cases = {
      {"enrol", [&] { return http(service.port(), "POST", "/v1/enroll", R"({"local_id":"b"})"); },
       2, "100", 100},
      {"poll",
       [&] { return http(service.port(), "POST", "/v1/enroll/poll", R"({"poll_token":"x"})"); },
       3, "2", 2},
      {"relay token",
       [&] { return http(service.port(), "POST", "/v1/host/relay-token", "{}", host.token); }, 1,
       "60", 60},
      {"ticket",
       [&] { return http(service.port(), "POST", "/v1/hosts/" + host.id + "/ticket", "", account); },
       2, "10", 10},
      {"claim",
       [&] { return http(service.port(), "POST", "/v1/claim", R"({"code":"AAAA-AAAA"})", account); },
       1, "20", 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Whatever the set-up left of the burst goes first; then the service refuses.
    HttpResult answer;
    int calls = 0;
    do {
      answer = c.call();
    } while (answer.status != 429 && ++calls <= c.burst);
    ASSERT_EQ(answer.status, 429) << "after " << calls << " calls";
    EXPECT_EQ(answer.errorCode(), "rate_limited");
    EXPECT_EQ(answer.header("retry-after"), c.retryAfter);
    service.advance(c.refill - 0.5);
    EXPECT_EQ(c.call().status, 429);
    service.advance(0.5);
    EXPECT_NE(c.call().status, 429);
    EXPECT_EQ(c.call().status, 429);
  }
}

TEST(CloudApi, OversizedBodiesAndMalformedRequestsAreRefusedAndNothingElseIsDisturbed) {
  Service service;
  const auto host = service.enrolAndClaim("a");
  RelayHost relayHost(service.port(), service.relayToken(host.token));
  WsClient client(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id));
  auto session = relayHost.acceptSession();

  const std::string big(64 * 1024, 'x');
  const std::vector<std::pair<std::string, int>> raw = {
      {"POST /v1/enroll HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(big.size()) +
           "\r\n\r\n" + big,
       413},
      {"POST /v1/enroll HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999\r\n\r\n", 413},
      {"GET /v1/hosts HTTP/1.1\r\nHost: x\r\nX-Filler: " + std::string(20000, 'y') + "\r\n\r\n",
       431},
      {"THIS IS NOT HTTP\r\n\r\n", 400},
      {"GET /v1/hosts HTTP/1.1\r\nHost: x\r\nContent-Length: -4\r\n\r\n", 400},
      {"GET /v1/hosts/%zz HTTP/1.1\r\nHost: x\r\n\r\n", 404},
  };
  for (const auto& [request, status] : raw) {
    SCOPED_TRACE(request.substr(0, 60));
    EXPECT_EQ(httpRaw(service.port(), request).status, status);
  }
  // Bad JSON on every endpoint that reads a body.
  for (const char* target : {"/v1/enroll", "/v1/enroll/poll", "/v1/host/relay-token", "/v1/claim"}) {
    const auto answer = http(service.port(), "POST", target, "{oops", service.accountToken("alice"));
    EXPECT_EQ(answer.status, 400) << target;
    EXPECT_EQ(answer.errorCode(), "bad_json") << target;
  }
  // Bad credentials on every relay endpoint: the upgrade is answered, then closed with 4401.
  const std::vector<std::pair<std::string, std::string>> sockets = {
      {"/v2/host", "not-a-token"},
      {"/v2/host", ""},
      {"/v2/host", service.accountToken("alice")},
      {"/v2/host/session/AAAAAAAAAAAAAAAAAAAAAA", "not-a-token"},
      {"/v2/client/" + host.id + "?ticket=not-a-ticket", ""},
      {"/v2/client/" + host.id, ""},
  };
  for (const auto& [target, token] : sockets) {
    WsClient refused(service.port(), target, token);
    EXPECT_EQ(refused.closeCode(), 4401) << target;
  }
  // The session opened before all this still passes messages, and the API still answers.
  client.send("still here", true);
  EXPECT_EQ(session->read().bytes, "still here");
  session->send("and here", false);
  EXPECT_EQ(client.read().bytes, "and here");
  EXPECT_EQ(http(service.port(), "POST", "/v1/enroll", R"({"local_id":"b"})").status, 200);
}

TEST(Relay, ControlConnectionNeedsAValidRelayToken) {
  Service service;
  const auto host = service.enrolAndClaim("a");
  const std::string token = service.relayToken(host.token);
  {
    RelayHost online(service.port(), token);
    // The control connection counts as online once the relay has said so in its log.
    LogWaiter log;
    RelayHost again(service.port(), token);  // a second control of the same host
    EXPECT_EQ(online.control.closeCode(), 4409);
    ASSERT_TRUE(log.waitFor("host " + host.id + " reconnected"));
    const auto list = http(service.port(), "GET", "/v1/hosts", "", service.accountToken("alice"));
    EXPECT_TRUE(list.json().at("hosts").as_array()[0].as_object().at("online").as_bool());
    // The newer one serves clients.
    WsClient client(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id));
    auto session = again.acceptSession();
    client.send("hello", true);
    EXPECT_EQ(session->read().bytes, "hello");
  }
  service.advance(3601);  // the relay token has expired
  WsClient expired(service.port(), "/v2/host", token);
  EXPECT_EQ(expired.closeCode(), 4401);
}

TEST(Relay, RemovingAHostCutsItOffAtOnce) {
  Service service;
  const auto host = service.enrolAndClaim("a");
  const std::string token = service.relayToken(host.token);
  RelayHost relayHost(service.port(), token);
  WsClient client(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id));
  auto session = relayHost.acceptSession();

  EXPECT_EQ(http(service.port(), "DELETE", "/v1/hosts/" + host.id, "", service.accountToken("alice")).status,
            204);
  EXPECT_EQ(relayHost.control.closeCode(), 4410);
  EXPECT_EQ(client.closeCode(), 4410);
  EXPECT_EQ(session->closeCode(), 4410);
  EXPECT_EQ(http(service.port(), "POST", "/v1/host/relay-token", "{}", host.token).status, 401);
  WsClient again(service.port(), "/v2/host", token);
  EXPECT_EQ(again.closeCode(), 4410);
}

TEST(Relay, ClientOfAnOfflineHostIsClosed4404ThenReachesItOnceOnline) {
  Service service;
  const auto host = service.enrolAndClaim("a");
  const std::string ticket = service.ticket(host.id);
  WsClient early(service.port(), "/v2/client/" + host.id + "?ticket=" + ticket);
  EXPECT_EQ(early.closeCode(), 4404);
  // A ticket works once.
  WsClient reused(service.port(), "/v2/client/" + host.id + "?ticket=" + ticket);
  EXPECT_EQ(reused.closeCode(), 4401);

  RelayHost relayHost(service.port(), service.relayToken(host.token));
  WsClient client(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id));
  auto session = relayHost.acceptSession();
  client.send("hello host", true);
  EXPECT_EQ(session->read().bytes, "hello host");

  // A ticket is for its own host only, and expires.
  const auto other = service.enrolAndClaim("b");
  WsClient wrongHost(service.port(), "/v2/client/" + other.id + "?ticket=" + service.ticket(host.id));
  EXPECT_EQ(wrongHost.closeCode(), 4401);
  const std::string stale = service.ticket(host.id);
  service.advance(61);
  WsClient late(service.port(), "/v2/client/" + host.id + "?ticket=" + stale);
  EXPECT_EQ(late.closeCode(), 4401);
}

TEST(Relay, AHostThatDoesNotComeClosesTheClient4504) {
  Limits limits;
  limits.hostArrivalTimeout = 0.3;
  Service service(limits);
  const auto host = service.enrolAndClaim("a");
  const std::string token = service.relayToken(host.token);
  RelayHost relayHost(service.port(), token);
  WsClient client(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id));
  const auto announced = relayHost.control.read();  // announced, but never opened
  EXPECT_THAT(announced.bytes, StartsWith(R"({"t":"incoming","sid":")"));
  EXPECT_TRUE(announced.text);
  EXPECT_EQ(client.closeCode(), 4504);
  // The session is over: opening it late finds nothing.
  const std::string sid(json::parse(announced.bytes).at("sid").as_string());
  WsClient late(service.port(), "/v2/host/session/" + sid, token);
  EXPECT_EQ(late.closeCode(), 4404);
}

// The control connection outlives the relay token it opened with (3600 s): the host opens
// every session socket with that token, and the relay takes it for as long as the control
// connection it authenticated is open, however long ago the token expired.
TEST(Relay, AHostOnlineForTwiceItsTokensLifetimeStillTakesSessions) {
  Service service;
  const auto host = service.enrolAndClaim("a");
  const std::string token = service.relayToken(host.token);
  LogWaiter log;
  RelayHost relayHost(service.port(), token);
  ASSERT_TRUE(log.waitFor("host " + host.id + " online"));
  service.advance(2 * 3600 + 1);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE("session " + std::to_string(i));
    WsClient client(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id));
    auto session = relayHost.acceptSession();
    client.send("past the hour", true);
    EXPECT_EQ(session->read().bytes, "past the hour");
    session->send("still here", false);
    EXPECT_EQ(client.read().bytes, "still here");
  }
  // The expired token opens no new control connection (and leaves the live one alone)...
  WsClient late(service.port(), "/v2/host", token);
  EXPECT_EQ(late.closeCode(), 4401);
  WsClient client(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id));
  auto session = relayHost.acceptSession();
  client.send("undisturbed", true);
  EXPECT_EQ(session->read().bytes, "undisturbed");
  // ...and once the control connection has ended, its expired token opens nothing more.
  relayHost.control.close(1000);
  ASSERT_TRUE(log.waitFor("host " + host.id + " offline"));
  WsClient stale(service.port(), "/v2/host/session/AAAAAAAAAAAAAAAAAAAAAA", token);
  EXPECT_EQ(stale.closeCode(), 4401);
}

// Session ids are what the relay makes (22 characters of URL-safe Base64) and host ids what the
// service makes: anything else is refused before a credential is looked up, so the ticket sent
// with it stays unused.
TEST(Relay, IdsOfAnotherShapeAreRefusedBeforeAnyLookup) {
  Service service;
  const auto host = service.enrolAndClaim("a");
  const std::string token = service.relayToken(host.token);
  RelayHost relayHost(service.port(), token);
  const std::string ticket = service.ticket(host.id);
  const std::vector<std::string> targets = {
      "/v2/host/session/short",
      "/v2/host/session/AAAAAAAAAAAAAAAAAAAAAAA",   // 23 characters
      "/v2/host/session/AAAAAAAAAAAAAAAAAAAAA.",    // a character it never uses
      "/v2/host/session/AAAAAAAAAAAAAAAAAAAA%2B%2B",  // decodes to "+", of the other Base64
      "/v2/host/session/AAAAAAAAAAAAAAAAAAAA%00A",
      "/v2/client/" + host.id + "X?ticket=" + ticket,
      "/v2/client/" + host.id.substr(0, 20) + "%2E?ticket=" + ticket,
      "/v2/client/..?ticket=" + ticket,
  };
  for (const auto& target : targets) {
    SCOPED_TRACE(target);
    const auto answer = upgrade(service.port(), target, token);
    EXPECT_EQ(answer.status, 400) << answer.body;
    EXPECT_EQ(answer.errorCode(), "bad_id");
  }
  // The ticket was never looked at: it still opens a session.
  WsClient client(service.port(), "/v2/client/" + host.id + "?ticket=" + ticket);
  auto session = relayHost.acceptSession();
  client.send("the ticket was kept", true);
  EXPECT_EQ(session->read().bytes, "the ticket was kept");
}

// The relay's private close codes are those of the table the host, nimbrel-client and the
// browser app read their meaning from.
TEST(Relay, CloseCodesAreThoseOfTheSharedTable) {
  const auto file =
      std::filesystem::path(__FILE__).parent_path() / "../../src/net/relay_close_codes.json";
  const auto table = json::parse(nimbrel::test::readFile(file)).as_object();
  const std::map<std::string, int> relay = {
      {"expired", close_code::unauthorized}, {"offline", close_code::offline},
      {"replaced", close_code::replaced},    {"revoked", close_code::removed},
      {"busy", close_code::tooMany},         {"noanswer", close_code::hostTimeout},
  };
  std::map<std::string, int> shared;
  for (const auto& entry : table.at("codes").as_array()) {
    const auto& code = entry.as_object();
    shared[std::string(code.at("name").as_string())] = static_cast<int>(code.at("code").as_int64());
  }
  EXPECT_EQ(relay, shared);
}

// Open connections are capped per address and in all. Beyond a cap the service answers
// "busy" at once, logs the spell of refusals once, and takes connections again as soon as
// some have ended.
TEST(Service, OpenConnectionsAreCappedPerAddressAndInAll) {
  Limits limits;
  limits.maxConnectionsPerAddress = 3;
  limits.maxConnections = 5;
  Service service(limits);
  LogWaiter log;
  std::vector<std::unique_ptr<IdleConnection>> first, second;
  for (int i = 0; i < 3; ++i) {
    first.push_back(std::make_unique<IdleConnection>("127.0.0.1", service.port()));
  }
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE("refusal " + std::to_string(i));
    const auto refused = httpFrom("127.0.0.1", service.port(), "GET", "/healthz");
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(refused.errorCode(), "too_many_connections");
    EXPECT_EQ(refused.header("retry-after"), "10");
  }
  // Another address has room of its own, until the service is full.
  for (int i = 0; i < 2; ++i) {
    second.push_back(std::make_unique<IdleConnection>("127.0.0.2", service.port()));
  }
  EXPECT_EQ(second[0]->get("/healthz").status, 200);
  const auto full = httpFrom("127.0.0.3", service.port(), "GET", "/healthz");
  EXPECT_EQ(full.status, 503);
  EXPECT_EQ(full.errorCode(), "busy");
  // A relay client is refused the same way, before its upgrade.
  EXPECT_EQ(upgrade(service.port(), "/v2/host", "token", "127.0.0.4").status, 503);

  // One of the first address's connections ends: both caps have room again.
  first.pop_back();
  ASSERT_TRUE(log.waitFor("taking connections again (2 refused meanwhile)"))
      << ::testing::PrintToString(log.lines());
  ASSERT_TRUE(log.waitFor("taking connections from 127.0.0.1 again (2 refused meanwhile)"));
  EXPECT_EQ(httpFrom("127.0.0.1", service.port(), "GET", "/healthz").status, 200);
  const auto lines = log.lines();
  const auto logged = [&](const std::string& text) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  };
  EXPECT_EQ(logged("refusing connections from 127.0.0.1: 3 are open from it"), 1);
  EXPECT_EQ(logged("refusing connections: 5 are open"), 1);
}

// Guessing relay credentials costs a lookup per guess: an address whose relay upgrades keep
// failing is refused for a while before anything is looked up, and so is every address that
// failed lately when they fail too often from everywhere. A clean address and a connected
// host's session sockets are always taken.
TEST(Relay, UpgradesThatKeepFailingAreRefusedForAWhile) {
  Limits limits;
  limits.failedUpgradesPerAddress = {3, 0.1};
  limits.failedUpgrades = {5, 0.1};
  Service service(limits);
  const auto host = service.enrolAndClaim("a");
  const std::string token = service.relayToken(host.token);
  LogWaiter log;
  RelayHost relayHost(service.port(), token);
  ASSERT_TRUE(log.waitFor("host " + host.id + " online"));
  for (int i = 0; i < 3; ++i) {
    WsClient guess(service.port(), "/v2/host", "guess-" + std::to_string(i));
    EXPECT_EQ(guess.closeCode(), 4401);
  }
  // Now even a good credential from that address is refused, before any lookup.
  for (int i = 0; i < 2; ++i) {
    const auto refused = upgrade(service.port(), "/v2/host", token);
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(refused.errorCode(), "too_many_failures");
    EXPECT_EQ(refused.header("retry-after"), "10");
  }
  // The API is not concerned, nor is another address.
  EXPECT_EQ(http(service.port(), "GET", "/v1/hosts", "", service.accountToken("alice")).status, 200);
  {
    WsClient client(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id),
                    "", "127.0.0.2");
    auto session = relayHost.acceptSession();
    client.send("through", true);
    EXPECT_EQ(session->read().bytes, "through");
  }
  // A client waits for the host while guesses from a third address use up what everyone may
  // fail: from then on every address that failed lately is refused, but a clean address with a
  // good credential is not, nor are the connected host's session sockets.
  WsClient waiting(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id),
                   "", "127.0.0.2");
  for (int i = 0; i < 2; ++i) {
    WsClient guess(service.port(), "/v2/host", "other-" + std::to_string(i), "127.0.0.3");
    EXPECT_EQ(guess.closeCode(), 4401);
  }
  const auto everyone = upgrade(service.port(), "/v2/host", "other-2", "127.0.0.3");
  EXPECT_EQ(everyone.status, 503);
  EXPECT_EQ(everyone.errorCode(), "busy");
  auto session = relayHost.acceptSession();
  waiting.send("still taken", true);
  EXPECT_EQ(session->read().bytes, "still taken");
  {
    WsClient clean(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id),
                   "", "127.0.0.4");
    auto another = relayHost.acceptSession();
    clean.send("a clean address", true);
    EXPECT_EQ(another->read().bytes, "a clean address");
  }

  const auto lines = log.lines();
  const auto logged = [&](const std::string& text) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  };
  EXPECT_EQ(logged("refusing relay connections from 127.0.0.1"), 1);
  EXPECT_EQ(logged("refusing relay connections: too many failed lately"), 1);
  // Time heals: a try per 10 s comes back.
  service.advance(10);
  RelayHost again(service.port(), token);
  EXPECT_EQ(relayHost.control.closeCode(), 4409);
}

// One large message passes; the session does not keep the room it took.
TEST(Relay, ASessionGivesBackTheRoomALargeMessageTook) {
  Service service;
  const auto host = service.enrolAndClaim("a");
  RelayHost relayHost(service.port(), service.relayToken(host.token));
  WsClient client(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id));
  auto session = relayHost.acceptSession();
  const std::string large = randomBytes(8 << 20, 7);
  client.send(large, false);
  EXPECT_TRUE(session->read().bytes == large);
  session->send(large, false);
  EXPECT_TRUE(client.read().bytes == large);
  EXPECT_GE(service.stats().peakSessionBuffer, large.size());
  // A small message each way: by the time it is through, the large one's room is given back.
  client.send("small", true);
  EXPECT_EQ(session->read().bytes, "small");
  session->send("small", true);
  EXPECT_EQ(client.read().bytes, "small");
  EXPECT_LE(service.stats().sessionBufferCapacity, 2 * Limits{}.sessionBufferKeep);
}

// Hosts send nothing but pings on their control connection: a large message there ends it
// (1009) rather than making the relay hold it.
TEST(Relay, AControlConnectionCarriesNoLargeMessages) {
  Service service;
  const auto host = service.enrolAndClaim("a");
  LogWaiter log;
  RelayHost relayHost(service.port(), service.relayToken(host.token));
  ASSERT_TRUE(log.waitFor("host " + host.id + " online"));
  try {
    relayHost.control.send(std::string(Limits{}.maxControlMessageBytes + 1, 'x'), false);
  } catch (const boost::system::system_error&) {
    // The relay may cut the connection before the whole message is written.
  }
  // Closed with "too big", or cut while the rest of the message was still coming.
  EXPECT_THAT(relayHost.control.closeCode(), ::testing::AnyOf(1009, 0));
  EXPECT_TRUE(log.waitFor("host " + host.id + " offline")) << ::testing::PrintToString(log.lines());
}

TEST(Relay, MoreSessionsThanAllowedAreClosed4429) {
  Limits limits;
  limits.maxSessionsPerHost = 2;
  Service service(limits);
  const auto host = service.enrolAndClaim("a");
  RelayHost relayHost(service.port(), service.relayToken(host.token));
  std::vector<std::unique_ptr<WsClient>> clients, sessions;
  for (int i = 0; i < 2; ++i) {
    clients.push_back(std::make_unique<WsClient>(
        service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id)));
    sessions.push_back(relayHost.acceptSession());
  }
  WsClient third(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id));
  EXPECT_EQ(third.closeCode(), 4429);
  // One ends; its place is free again.
  LogWaiter log;
  clients[0]->close(1000);
  EXPECT_EQ(sessions[0]->closeCode(), 1000);
  ASSERT_TRUE(log.waitFor("closed (code 1000)"));
  WsClient fourth(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id));
  auto session = relayHost.acceptSession();
  fourth.send("room", true);
  EXPECT_EQ(session->read().bytes, "room");
}

TEST(Relay, TwoClientsAtOnceEachReachTheirOwnSession) {
  Service service;
  const auto host = service.enrolAndClaim("a");
  RelayHost relayHost(service.port(), service.relayToken(host.token));
  WsClient first(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id));
  auto firstSession = relayHost.acceptSession();
  WsClient second(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id));
  auto secondSession = relayHost.acceptSession();
  second.send("from second", true);
  first.send("from first", true);
  EXPECT_EQ(firstSession->read().bytes, "from first");
  EXPECT_EQ(secondSession->read().bytes, "from second");
  secondSession->send("to second", false);
  firstSession->send("to first", false);
  EXPECT_EQ(first.read().bytes, "to first");
  EXPECT_EQ(second.read().bytes, "to second");
  EXPECT_EQ(service.stats().sessions, 2);
}

TEST(Relay, MessagesPassUnchangedBothWays) {
  Service service;
  const auto host = service.enrolAndClaim("a");
  RelayHost relayHost(service.port(), service.relayToken(host.token));
  WsClient client(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id));
  auto session = relayHost.acceptSession();
  struct Case {
    const char* what;
    std::string bytes;
    bool text;
  };
  const std::vector<Case> cases = {
      {"1 byte of text", "x", true},
      {"1 byte binary", std::string(1, '\0'), false},
      {"empty text", "", true},
      {"empty binary", "", false},
      {"UTF-8 text", "Grüße, 世界 🌍", true},
      {"8 MB binary", randomBytes(8 << 20, 1), false},
      {"8 MB text", std::string(8 << 20, 'a'), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    client.send(c.bytes, c.text);
    const auto atHost = session->read();
    EXPECT_EQ(atHost.text, c.text);
    EXPECT_TRUE(atHost.bytes == c.bytes);
    session->send(c.bytes, c.text);
    const auto atClient = client.read();
    EXPECT_EQ(atClient.text, c.text);
    EXPECT_TRUE(atClient.bytes == c.bytes);
  }
}

TEST(Relay, TheSideThatClosesGivesItsCodeToTheOther) {
  Service service;
  const auto host = service.enrolAndClaim("a");
  RelayHost relayHost(service.port(), service.relayToken(host.token));
  for (const bool clientCloses : {true, false}) {
    for (const int code : {1000, 4000, 4321}) {
      SCOPED_TRACE(std::to_string(code) + (clientCloses ? " from the client" : " from the host"));
      WsClient client(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id));
      auto session = relayHost.acceptSession();
      WsClient& closer = clientCloses ? client : *session;
      WsClient& other = clientCloses ? *session : client;
      closer.close(code);
      EXPECT_EQ(other.closeCode(), code);
    }
  }
}

TEST(Relay, ASlowReaderHoldsTheSenderBackInsteadOfFillingTheRelay) {
  Service service;
  const auto host = service.enrolAndClaim("a");
  RelayHost relayHost(service.port(), service.relayToken(host.token));
  WsClient client(service.port(), "/v2/client/" + host.id + "?ticket=" + service.ticket(host.id));
  auto session = relayHost.acceptSession();
  session->setReceiveBuffer(64 * 1024);

  constexpr int kMessages = 48;
  constexpr std::size_t kSize = 1 << 20;
  std::atomic<int> sent{0};
  std::thread sender([&] {
    for (int i = 0; i < kMessages; ++i) {
      client.send(randomBytes(kSize, static_cast<unsigned>(i)), false);
      ++sent;
    }
  });
  // The host is a slow reader (a pause before each message); the sender is as fast as it can.
  for (int i = 0; i < kMessages; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto message = session->read();
    ASSERT_TRUE(message.bytes == randomBytes(kSize, static_cast<unsigned>(i))) << i;
  }
  sender.join();
  EXPECT_EQ(sent.load(), kMessages);
  // The relay held the one message it was writing, never more; the rest waited in the sender
  // and in the sockets.
  EXPECT_EQ(service.stats().peakSessionBuffer, kSize);
}

TEST(Relay, AControlConnectionThatStopsAnsweringIsDropped) {
  Limits limits;
  limits.controlIdleTimeout = 0.6;
  Service service(limits);
  const auto host = service.enrolAndClaim("a");
  LogWaiter log;
  // Never reads: the relay's pings go unanswered.
  WsClient silent(service.port(), "/v2/host", service.relayToken(host.token));
  ASSERT_TRUE(log.waitFor("host " + host.id + " online"));
  ASSERT_TRUE(log.waitFor("host " + host.id + " offline"));
  const auto list = http(service.port(), "GET", "/v1/hosts", "", service.accountToken("alice"));
  EXPECT_FALSE(list.json().at("hosts").as_array()[0].as_object().at("online").as_bool());
}

TEST(Relay, EventsAreLoggedWithoutSecrets) {
  LogWaiter log;
  std::string hostToken, relayToken, ticket;
  {
    Service service;
    const auto host = service.enrolAndClaim("a");
    hostToken = host.token;
    relayToken = service.relayToken(host.token);
    RelayHost relayHost(service.port(), relayToken);
    ticket = service.ticket(host.id);
    WsClient client(service.port(), "/v2/client/" + host.id + "?ticket=" + ticket);
    auto session = relayHost.acceptSession();
    client.send("12345", false);
    session->read();
    client.close(1000);
    session->closeCode();
    ASSERT_TRUE(log.waitFor("bytes to the host"));
  }
  const auto lines = log.lines();
  const auto has = [&](const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
  };
  EXPECT_TRUE(has("enrolment started"));
  EXPECT_TRUE(has("claimed: host"));
  EXPECT_TRUE(has("online from 127.0.0.1"));
  EXPECT_TRUE(has("closed (code 1000): 5 bytes to the host, 0 bytes to the client"));
  for (const auto& secret : {hostToken, relayToken, ticket}) EXPECT_FALSE(has(secret)) << secret;
}

}  // namespace
}  // namespace nimbrel::cloud::test
