#include "cloud/cloud_link.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <set>

#include "scripted_relay.hpp"
#include "support/io_runner.hpp"
#include "support/log_capture.hpp"

namespace nimbrel {
namespace {

namespace json = boost::json;
using test::ScriptedRelay;
using namespace std::chrono_literals;

// The cloud link against a scripted API (answers by request, on a virtual clock that jumps
// through every sleep and wait) and, once enrolled, a scripted relay on loopback.
class CloudLinkTest : public ::testing::Test {
 public:
  using Answer = std::function<HttpResponse(const HttpRequest&)>;

 protected:
  struct Call {
    double at;
    std::string method;
    std::string path;
    std::string authorization;
    std::string body;
  };

  class ScriptedApi final : public HttpClient {
   public:
    explicit ScriptedApi(CloudLinkTest& test) : test_(test) {}
    asio::awaitable<HttpResponse> perform(HttpRequest request) override {
      co_return test_.answer(request);
    }

   private:
    CloudLinkTest& test_;
  };

  static HttpResponse reply(int status, std::string body = "{}",
                            std::map<std::string, std::string> headers = {}) {
    return HttpResponse{status, std::move(headers), std::move(body)};
  }

  // Answers for "POST /v1/enroll" and so on: the queued ones first, then the standing one.
  void on(const std::string& call, Answer answer) {
    std::lock_guard guard(lock_);
    standing_[call] = std::move(answer);
  }
  void once(const std::string& call, Answer answer) {
    std::lock_guard guard(lock_);
    queued_[call].push_back(std::move(answer));
  }

  HttpResponse answer(const HttpRequest& request) {
    const std::string path = request.url.substr(request.url.find('/', 8));
    const std::string call = request.method + " " + path;
    Answer answer;
    {
      std::lock_guard guard(lock_);
      auto auth = request.headers.find("Authorization");
      calls_.push_back({t_, request.method, path,
                        auth == request.headers.end() ? "" : auth->second, request.body});
      if (auto& queue = queued_[call]; !queue.empty()) {
        answer = std::move(queue.front());
        queue.pop_front();
      } else if (auto it = standing_.find(call); it != standing_.end()) {
        answer = it->second;
      }
    }
    note("call " + call);
    return answer ? answer(request) : reply(500);
  }

  void start(CloudIdentity identity) {
    {
      std::lock_guard guard(lock_);
      identity_ = std::move(identity);
    }
    CloudLink::Callbacks callbacks;
    callbacks.currentConfig = [this]() -> asio::awaitable<CloudIdentity> {
      std::lock_guard guard(lock_);
      co_return identity_;
    };
    callbacks.onStatus = [this](CloudLink::Status status) {
      const char* names[] = {"starting", "waitingForClaim", "unavailable", "online", "offline"};
      note(std::string("status ") + names[static_cast<int>(status)]);
    };
    callbacks.onClaimCode = [this](const std::optional<std::string>& code) {
      note("claim " + code.value_or("none"));
    };
    callbacks.onEnrolled = [this](const std::string& id, const std::string& token,
                                  const std::string& account) {
      {
        std::lock_guard guard(lock_);
        identity_.enrolled = true;
        identity_.hostToken = token;
      }
      note("enrolled " + id + " " + token + " " + account);
    };
    callbacks.onRemoved = [this] {
      {
        std::lock_guard guard(lock_);
        identity_.enrolled = false;
        identity_.hostToken.clear();
      }
      note("removed");
    };
    callbacks.onSession = [this](std::shared_ptr<WebSocketTransport> transport) {
      {
        std::lock_guard guard(lock_);
        sessions_.push_back(transport);
      }
      note("session");
    };
    CloudLink::Timing timing;
    timing.now = [this] {
      std::lock_guard guard(lock_);
      return t_;
    };
    timing.sleep = [this](double seconds) -> asio::awaitable<void> {
      passTime("sleep", seconds);
      co_return;
    };
    timing.waitNudge = [this](AsyncEvent& nudge, double seconds) -> asio::awaitable<bool> {
      if (nudge.isSet()) {
        note("nudged");
        co_return true;
      }
      passTime("wait", seconds);
      co_return false;
    };
    CloudLink::Settings settings;
    settings.openTimeout = 5;
    link_ = CloudLink::create(io_.executor(), CloudAPI("http://127.0.0.1:9", std::make_shared<ScriptedApi>(*this)),
                              std::move(callbacks), settings, std::move(timing));
    done_ = asio::co_spawn(link_->executor(), runCloudLink(link_), asio::use_future);
  }

  // Stops the link once `until` holds for the events so far (checked after each one).
  void stopWhen(std::function<bool(const std::vector<std::string>&)> until) {
    std::lock_guard guard(lock_);
    until_ = std::move(until);
  }

  // Waits for the link to stop and returns what happened.
  std::vector<std::string> finish() {
    if (done_.wait_for(30s) != std::future_status::ready) {
      link_->stop();
      ADD_FAILURE() << "the link did not stop; events: " << ::testing::PrintToString(events());
      done_.wait_for(10s);
    }
    return events();
  }

  std::vector<std::string> events() {
    std::lock_guard guard(lock_);
    return events_;
  }
  std::vector<Call> calls() {
    std::lock_guard guard(lock_);
    return calls_;
  }
  std::vector<std::shared_ptr<WebSocketTransport>> sessions() {
    std::lock_guard guard(lock_);
    return sessions_;
  }
  double now() {
    std::lock_guard guard(lock_);
    return t_;
  }

  void note(std::string event) {
    bool stop = false;
    std::function<void(const std::string&)> react;
    {
      std::lock_guard guard(lock_);
      events_.push_back(event);
      stop = until_ && until_(events_);
      react = react_;
    }
    changed_.notify_all();
    if (react) react(event);
    if (stop && link_) link_->stop();
  }

  // Called with each event as it happens, on the thread that reports it.
  void reactTo(std::function<void(const std::string&)> react) {
    std::lock_guard guard(lock_);
    react_ = std::move(react);
  }

  // Clears what the previous link left, for a test that runs several in turn.
  void forget() {
    std::lock_guard guard(lock_);
    events_.clear();
    calls_.clear();
    sessions_.clear();
    until_ = nullptr;
  }

  void passTime(const char* kind, double seconds) {
    {
      std::lock_guard guard(lock_);
      t_ += seconds;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s %g", kind, seconds);
    note(text);
  }

  static std::size_t count(const std::vector<std::string>& events, const std::string& event) {
    return static_cast<std::size_t>(std::count(events.begin(), events.end(), event));
  }

  test::IoRunner io_;
  std::mutex lock_;
  std::condition_variable changed_;
  CloudIdentity identity_;
  double t_ = 1000;
  std::map<std::string, Answer> standing_;
  std::map<std::string, std::deque<Answer>> queued_;
  std::vector<Call> calls_;
  std::vector<std::string> events_;
  std::vector<std::shared_ptr<WebSocketTransport>> sessions_;
  std::function<bool(const std::vector<std::string>&)> until_;
  std::function<void(const std::string&)> react_;
  std::shared_ptr<CloudLink> link_;
  std::future<void> done_;
};

const CloudIdentity kNew{"0123456789abcdef", "Desk", "", false};
const CloudIdentity kEnrolled{"0123456789abcdef", "Desk", "host-token", true};

TEST_F(CloudLinkTest, PollsAtTheServicesPaceThenEvery30ThenEvery300Seconds) {
  on("POST /v1/enroll", [](const HttpRequest&) {
    return reply(200, R"({"code":"ABCD-EFGH","poll_token":"p","interval":5,"expires_in":100000})");
  });
  on("POST /v1/enroll/poll", [](const HttpRequest&) { return reply(202); });
  stopWhen([this](const auto&) { return t_ > 1000 + 4000; });
  start(kNew);
  const auto events = finish();
  EXPECT_EQ(events[0], "call POST /v1/enroll");
  EXPECT_EQ(events[1], "claim ABCD-EFGH");
  EXPECT_EQ(events[2], "status waitingForClaim");
  // The gaps between polls, by the claim's age when each poll was made.
  std::vector<Call> polls;
  for (const Call& call : calls()) {
    if (call.path == "/v1/enroll/poll") polls.push_back(call);
  }
  ASSERT_GT(polls.size(), 200u);
  for (std::size_t i = 1; i < polls.size(); ++i) {
    const double age = polls[i - 1].at - 1000;
    const double gap = polls[i].at - polls[i - 1].at;
    const double expected = age < 600 ? 5 : (age < 3600 ? 30 : 300);
    ASSERT_EQ(gap, expected) << "poll " << i << " at age " << age;
  }
  EXPECT_EQ(count(events, "call POST /v1/enroll"), 1u);  // one claim all along
}

TEST_F(CloudLinkTest, EnrolmentFailuresRetryAfterDoublingPausesAndWithdrawTheCode) {
  on("POST /v1/enroll", [](const HttpRequest&) { return reply(503); });
  stopWhen([](const auto& events) { return std::count(events.begin(), events.end(), "sleep 300") == 2; });
  start(kNew);
  std::vector<std::string> sleeps;
  for (const auto& event : finish()) {
    if (event.rfind("sleep", 0) == 0) sleeps.push_back(event);
  }
  EXPECT_EQ(sleeps, (std::vector<std::string>{"sleep 5", "sleep 10", "sleep 20", "sleep 40",
                                              "sleep 80", "sleep 160", "sleep 300", "sleep 300"}));
  const auto events = this->events();
  EXPECT_EQ(events[1], "claim none");
  EXPECT_EQ(events[2], "status unavailable");
}

// A link stopped while a request was out (a new one may run by then) reports nothing of its
// answer.
TEST_F(CloudLinkTest, AStoppedLinkReportsNothingMore) {
  on("POST /v1/enroll", [this](const HttpRequest&) {
    link_->stop();
    return reply(200, R"({"code":"LATE-CODE","poll_token":"p","interval":5})");
  });
  start(kNew);
  const auto events = finish();
  EXPECT_EQ(events, (std::vector<std::string>{"call POST /v1/enroll"}));
}

TEST_F(CloudLinkTest, AnExpiredClaimIsReplacedAtOnceAndAClaimedOneEnrols) {
  int enrolments = 0;
  on("POST /v1/enroll", [&](const HttpRequest&) {
    ++enrolments;
    // The first claim has no "expires_in": it lasts 600 s.
    return reply(200, enrolments == 1 ? R"({"code":"AAAA-AAAA","poll_token":"p1","interval":100})"
                                      : R"({"code":"BBBB-BBBB","poll_token":"p2","interval":100})");
  });
  int secondClaimPolls = 0;
  on("POST /v1/enroll/poll", [&](const HttpRequest& request) {
    if (request.body.find("p1") != std::string::npos) return reply(202);
    if (++secondClaimPolls == 1) return reply(410);  // the second claim expires early...
    return reply(200, R"({"host_id":"c1","host_token":"t1","account":{"name":"Ann","email":"ann@example.org"}})");
  });
  stopWhen([](const auto& events) { return !events.empty() && events.back().rfind("enrolled", 0) == 0; });
  start(kNew);
  const auto events = finish();
  // Six polls of the first claim fill its 600 s; then a new code, whose 410 makes the next
  // round enrol again at once, without a pause.
  EXPECT_EQ(count(events, "claim AAAA-AAAA"), 1u);
  EXPECT_EQ(count(events, "claim BBBB-BBBB"), 2u);
  const auto calls = this->calls();
  for (std::size_t i = 1; i < calls.size(); ++i) {
    if (calls[i].path == "/v1/enroll" && calls[i - 1].path == "/v1/enroll/poll" && i > 8) {
      EXPECT_EQ(calls[i].at, calls[i - 1].at) << "re-enrolled after a pause";
    }
  }
  EXPECT_EQ(events.back(), "enrolled c1 t1 ann@example.org");
  EXPECT_EQ(events[events.size() - 2], "claim none");
}

// The account the host shows once claimed: its email, else its name; never an empty email
// standing in for a name the answer gave.
TEST_F(CloudLinkTest, TheAccountShownIsItsEmailElseItsName) {
  const struct {
    const char* account;  // the poll answer's "account", as JSON; nullptr: none
    const char* shown;
  } cases[] = {
      {R"({"email":"ann@example.org","name":"Ann"})", "ann@example.org"},
      {R"({"email":"","name":"Ann"})", "Ann"},
      {R"({"name":"Ann"})", "Ann"},
      {R"({"email":7,"name":"Ann"})", "Ann"},
      {R"("Ann")", "Ann"},
      {R"({})", ""},
      {nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.account ? c.account : "no account");
    forget();
    on("POST /v1/enroll", [](const HttpRequest&) {
      return reply(200, R"({"code":"AAAA-AAAA","poll_token":"p","interval":1})");
    });
    const std::string answer = std::string(R"({"host_id":"c1","host_token":"t1")") +
                               (c.account ? std::string(R"(,"account":)") + c.account : "") + "}";
    on("POST /v1/enroll/poll", [answer](const HttpRequest&) { return reply(200, answer); });
    stopWhen([](const auto& events) { return !events.empty() && events.back().rfind("enrolled", 0) == 0; });
    start(kNew);
    const auto events = finish();
    EXPECT_EQ(events.back(), std::string("enrolled c1 t1 ") + c.shown);
  }
}

// A host that still holds a host token when it enrols (its configuration lost its cloud id)
// presents it, so that the service can let the new enrolment take the old one's place.
TEST_F(CloudLinkTest, AnEnrolmentPresentsTheHostTokenItHolds) {
  for (const std::string token : {"old-host-token", ""}) {
    SCOPED_TRACE(token.empty() ? "no token" : token);
    forget();
    on("POST /v1/enroll", [](const HttpRequest&) {
      return reply(200, R"({"code":"AAAA-AAAA","poll_token":"p","interval":1})");
    });
    on("POST /v1/enroll/poll", [](const HttpRequest&) { return reply(202); });
    stopWhen([](const auto& events) { return count(events, "call POST /v1/enroll/poll") == 1; });
    start(CloudIdentity{"0123456789abcdef", "Desk", token, false});
    finish();
    const auto calls = this->calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].path, "/v1/enroll");
    EXPECT_EQ(calls[0].authorization, "");  // in the body, not as a credential of the call
    const auto sent = json::parse(calls[0].body).as_object();
    EXPECT_EQ(sent.at("local_id").as_string(), "0123456789abcdef");
    const json::value* presented = sent.if_contains("host_token");
    if (token.empty()) {
      EXPECT_EQ(presented, nullptr) << calls[0].body;
    } else {
      ASSERT_NE(presented, nullptr) << calls[0].body;
      EXPECT_EQ(*presented, json::value(token));
    }
  }
}

// The relay-token answer: the scripted relay's address, a token and its lifetime.
CloudLinkTest::Answer relayGrant(const ScriptedRelay& relay, double lifetime, std::string token) {
  return [url = relay.url() + "/", lifetime, token](const HttpRequest&) {
    return HttpResponse{200, {}, json::serialize(json::object{{"relay_url", url}, {"token", token},
                                                              {"expires_in", lifetime}})};
  };
}

// A control connection that the relay closes with `code` once the link is connected.
ScriptedRelay::Script closeWith(std::uint16_t code) {
  return [code](const ScriptedRelay::Request&, ScriptedRelay::Socket& ws) {
    ws.close(boost::beast::websocket::close_reason(code));
    boost::beast::flat_buffer drain;
    boost::system::error_code ignored;
    ws.read(drain, ignored);
  };
}

// The relay's connections, rounds and waits only.
std::vector<std::string> rounds(const std::vector<std::string>& events) {
  std::vector<std::string> kept;
  for (const auto& event : events) {
    if (event.rfind("call POST /v1/host/relay-token", 0) == 0) kept.push_back("token");
    if (event.rfind("wait", 0) == 0 || event.rfind("sleep", 0) == 0 || event == "nudged" ||
        event == "status online") {
      kept.push_back(event);
    }
  }
  return kept;
}

TEST_F(CloudLinkTest, CloseCodesDecideTheNextRound) {
  test::LogCapture log;
  ScriptedRelay relay;
  on("POST /v1/host/relay-token", relayGrant(relay, 3600, "rt1"));
  for (std::uint16_t code : {4401, 1000, 4401, 4410, 4409, 4409, 4409}) relay.then(closeWith(code));
  stopWhen([](const auto& events) { return !events.empty() && events.back() == "wait 30"; });
  start(kEnrolled);
  const auto events = finish();
  EXPECT_EQ(rounds(events), (std::vector<std::string>{
                                "token", "status online", "wait 1",  // 4401, fresh grant: back off
                                "token", "status online", "wait 1",  // 1000: a short pause
                                "status online",                     // 4401, reused: again at once
                                "token", "status online", "wait 1",  // 4410: back off, new grant
                                "token", "status online", "wait 2",  // 4409: back off
                                "status online", "wait 4",           // 4409 again
                                "status online", "wait 30",  // a third within a minute: hold off
                            }));
  const auto lines = log.lines();
  auto has = [&](const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
  };
  EXPECT_EQ(has("relay access revoked; checking with Nimbrel Cloud"), 1u);
  EXPECT_EQ(has("another copy of this computer connected to the relay"), 3u);
  EXPECT_EQ(has("another computer uses this host's identity (a copied configuration?); "
                "backing off instead of taking its place"), 1u);
  EXPECT_EQ(has("relay connected (" + relay.url() + ")"), 7u);
  // Every control connection carried the relay token, never the host token.
  for (const auto& request : relay.requests()) {
    EXPECT_EQ(request.target(), "/v2/host");
    EXPECT_EQ(request["Authorization"], "Bearer rt1");
  }
  for (const Call& call : calls()) EXPECT_EQ(call.authorization, "Bearer host-token");
}

// The hold-off after repeated identity conflicts is a wait like any other: a kick (woke from
// sleep, network changed) ends it and the link reconnects at once.
TEST_F(CloudLinkTest, AKickEndsTheIdentityConflictHoldOff) {
  test::LogCapture log;
  ScriptedRelay relay;
  on("POST /v1/host/relay-token", relayGrant(relay, 3600, "rt1"));
  for (int i = 0; i < 3; ++i) relay.then(closeWith(4409));
  relay.then([](const ScriptedRelay::Request&, ScriptedRelay::Socket& ws) {
    boost::beast::flat_buffer buffer;
    boost::system::error_code ignored;
    ws.read(buffer, ignored);
  });
  // The third conflict has just been seen: the computer wakes from sleep.
  reactTo([this](const std::string& event) {
    if (event == "status offline" && count(events(), "status offline") == 3) {
      link_->kick("woke from sleep");
    }
  });
  stopWhen([](const auto& events) { return count(events, "status online") == 4; });
  start(kEnrolled);
  const auto events = finish();
  EXPECT_EQ(rounds(events), (std::vector<std::string>{"token", "status online", "wait 1",
                                                      "status online", "wait 2",
                                                      "status online", "nudged",
                                                      "status online"}));
  const auto lines = log.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "woke from sleep; reconnecting to the relay"),
            lines.end());
}

TEST_F(CloudLinkTest, AGrantIsReusedUntilTenMinutesBeforeItExpires) {
  for (const auto& [lifetime, calls] : {std::pair{11 * 60.0, 1u}, std::pair{9 * 60.0, 2u}}) {
    ScriptedRelay relay;
    on("POST /v1/host/relay-token", relayGrant(relay, lifetime, "rt"));
    relay.then(closeWith(1000));
    relay.then(closeWith(1000));
    stopWhen([](const auto& events) {
      return std::count(events.begin(), events.end(), "status online") == 2 && events.back() == "wait 1";
    });
    start(kEnrolled);
    finish();
    EXPECT_EQ(count(events(), "call POST /v1/host/relay-token"), calls) << lifetime;
    std::lock_guard guard(lock_);
    events_.clear();
    calls_.clear();
  }
}

TEST_F(CloudLinkTest, ARateLimitedTokenPausesWithinBoundsAndSaysSo) {
  test::LogCapture log;
  once("POST /v1/host/relay-token",
       [](const HttpRequest&) { return reply(429, "{}", {{"retry-after", "2000"}}); });
  once("POST /v1/host/relay-token", [](const HttpRequest&) { return reply(429); });
  on("POST /v1/host/relay-token", [](const HttpRequest&) { return reply(503); });
  stopWhen([](const auto& events) { return count(events, "status offline") == 3; });
  start(kEnrolled);
  const auto events = finish();
  EXPECT_EQ(rounds(events), (std::vector<std::string>{"token", "sleep 900", "token", "sleep 60",
                                                      "token"}));
  const auto lines = log.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "relay token rate limited; retrying in 900 s"),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "relay token rate limited; retrying in 60 s"),
            lines.end());
}

TEST_F(CloudLinkTest, ARejectedHostTokenMeansRemovedAndANewClaimCode) {
  on("POST /v1/host/relay-token", [](const HttpRequest&) { return reply(401); });
  on("POST /v1/enroll", [](const HttpRequest&) {
    return reply(200, R"({"code":"NEWC-ODE2","poll_token":"p","interval":5})");
  });
  on("POST /v1/enroll/poll", [](const HttpRequest&) { return reply(202); });
  stopWhen([](const auto& events) { return count(events, "claim NEWC-ODE2") == 1; });
  start(kEnrolled);
  const auto events = finish();
  const auto removed = std::find(events.begin(), events.end(), "removed");
  ASSERT_NE(removed, events.end());
  EXPECT_NE(std::find(removed, events.end(), "call POST /v1/enroll"), events.end());
}

TEST_F(CloudLinkTest, IncomingClientsOpenSessionSocketsInParallelThatOutliveTheRound) {
  test::LogCapture log;
  ScriptedRelay relay;
  on("POST /v1/host/relay-token", relayGrant(relay, 3600, "rt1"));
  std::promise<void> sessionsOpen;
  auto opened = sessionsOpen.get_future().share();
  relay.then([&relay, opened](const ScriptedRelay::Request&, ScriptedRelay::Socket& ws) {
    ws.text(true);
    ws.write(boost::asio::buffer(std::string(R"({"t":"hello"})")));          // ignored
    ws.write(boost::asio::buffer(std::string("not json")));                  // ignored
    ws.write(boost::asio::buffer(std::string(R"({"t":"incoming","sid":7})")));  // no text sid
    ws.write(boost::asio::buffer(std::string(R"({"t":"incoming","sid":"s 1/x","instance":"iad-2"})")));
    ws.binary(true);
    ws.write(boost::asio::buffer(std::string(R"({"t":"incoming","sid":"s2","instance":"a\r\nX: 1"})")));
    opened.wait();  // the control connection stays open meanwhile
    ws.close(boost::beast::websocket::close_code::normal);
    boost::beast::flat_buffer drain;
    boost::system::error_code ignored;
    ws.read(drain, ignored);
  });
  // Each session socket echoes one message, after the control connection has gone.
  auto echo = [](const ScriptedRelay::Request&, ScriptedRelay::Socket& ws) {
    boost::beast::flat_buffer buffer;
    ws.read(buffer);
    ws.text(ws.got_text());
    ws.write(buffer.data());
    ws.read(buffer);
  };
  relay.then(echo);
  relay.then(echo);
  stopWhen([](const auto& events) { return count(events, "session") == 2; });
  start(kEnrolled);
  finish();
  sessionsOpen.set_value();
  ASSERT_TRUE(relay.waitForConnections(3)) << ::testing::PrintToString(log.lines());
  std::map<std::string, ScriptedRelay::Request> byTarget;
  for (const auto& request : relay.requests()) byTarget[std::string(request.target())] = request;
  ASSERT_EQ(byTarget.count("/v2/host/session/s%201%2Fx"), 1u);
  ASSERT_EQ(byTarget.count("/v2/host/session/s2"), 1u);
  EXPECT_EQ(byTarget["/v2/host/session/s%201%2Fx"]["Authorization"], "Bearer rt1");
  EXPECT_EQ(byTarget["/v2/host/session/s%201%2Fx"]["fly-force-instance-id"], "iad-2");
  EXPECT_EQ(byTarget["/v2/host/session/s2"].count("fly-force-instance-id"), 0u);
  // The link has stopped and the control connection is closed; the sessions go on.
  for (const auto& session : sessions()) {
    EXPECT_EQ(session->label(), "relay-session");
    session->send("still here");
    const auto message = io_.run(session->receiveFrame());
    EXPECT_EQ(message.text, "still here");
    session->close();
  }
}

// Log lines as they come, waited for.
class LogWaiter {
 public:
  LogWaiter() {
    previous_ = setLogSink([this](LogChannel, std::string_view text) {
      {
        std::lock_guard guard(lock_);
        lines_.emplace_back(text);
      }
      changed_.notify_all();
    });
  }
  ~LogWaiter() { setLogSink(std::move(previous_)); }

  bool waitFor(const std::string& text) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, 20s, [&] {
      return std::any_of(lines_.begin(), lines_.end(),
                         [&](const std::string& line) { return line.find(text) != std::string::npos; });
    });
  }
  std::vector<std::string> lines() {
    std::lock_guard guard(lock_);
    return lines_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  LogSink previous_;
};

// A relay (or whoever speaks for it) announcing sessions faster than they open gets at most
// eight dials at once from the host; the announcements beyond are refused and said so, and
// once the dials are done the host takes announcements again.
TEST_F(CloudLinkTest, AtMostEightSessionSocketsAreDialledAtOnce) {
  LogWaiter log;
  ScriptedRelay relay;
  relay.holdUpgrades("/v2/host/session/");
  on("POST /v1/host/relay-token", relayGrant(relay, 3600, "rt1"));
  std::promise<void> eightOpen;
  auto opened = eightOpen.get_future().share();
  relay.then([opened](const ScriptedRelay::Request&, ScriptedRelay::Socket& ws) {
    ws.text(true);
    for (int i = 0; i < 10; ++i) {
      ws.write(boost::asio::buffer(R"({"t":"incoming","sid":"s)" + std::to_string(i) + R"("})"));
    }
    opened.wait();
    ws.write(boost::asio::buffer(std::string(R"({"t":"incoming","sid":"s10"})")));
    boost::beast::flat_buffer buffer;
    boost::system::error_code ignored;
    ws.read(buffer, ignored);  // until the link goes away
  });
  auto holdOpen = [](const ScriptedRelay::Request&, ScriptedRelay::Socket& ws) {
    boost::beast::flat_buffer buffer;
    boost::system::error_code ignored;
    ws.read(buffer, ignored);  // until the host closes it
  };
  for (int i = 0; i < 9; ++i) relay.then(holdOpen);
  // Whatever happens below, the relay's threads are let go before the relay goes.
  bool released = false;
  struct Finally {
    std::function<void()> run;
    ~Finally() { run(); }
  } letGo{[&] {
    if (!released) eightOpen.set_value();
    if (link_) link_->stop();
    for (const auto& session : sessions()) session->close();
  }};
  stopWhen([](const auto& events) { return count(events, "session") == 9; });
  start(kEnrolled);

  ASSERT_TRUE(log.waitFor("relay session refused: 8 sessions are opening already"))
      << ::testing::PrintToString(log.lines());
  ASSERT_TRUE(relay.waitForConnections(1 + 8));
  relay.releaseHeld();
  {
    std::unique_lock guard(lock_);
    ASSERT_TRUE(changed_.wait_for(guard, 20s, [&] {
      return std::count(events_.begin(), events_.end(), "session") == 8;
    }));
  }
  eightOpen.set_value();
  released = true;
  finish();
  EXPECT_TRUE(log.waitFor("relay sessions open again; 2 announcements were refused meanwhile"));
  std::set<std::string> dialled;
  for (const auto& request : relay.requests()) dialled.insert(std::string(request.target()));
  EXPECT_EQ(dialled.size(), 1u + 9u);
  for (const char* refused : {"/v2/host/session/s8", "/v2/host/session/s9"}) {
    EXPECT_EQ(dialled.count(refused), 0u) << refused;
  }
  EXPECT_EQ(dialled.count("/v2/host/session/s10"), 1u);
}

TEST_F(CloudLinkTest, AKickEndsTheControlConnectionAndTheWaitThatFollows) {
  test::LogCapture log;
  ScriptedRelay relay;
  on("POST /v1/host/relay-token", relayGrant(relay, 3600, "rt1"));
  auto holdOpen = [](const ScriptedRelay::Request&, ScriptedRelay::Socket& ws) {
    boost::beast::flat_buffer buffer;
    boost::system::error_code ignored;
    ws.read(buffer, ignored);  // until the link goes away
  };
  relay.then(holdOpen);
  relay.then(holdOpen);
  stopWhen([](const auto& events) { return count(events, "status online") == 2; });
  start(kEnrolled);
  {
    std::unique_lock guard(lock_);
    ASSERT_TRUE(changed_.wait_for(guard, 20s, [&] {
      return std::count(events_.begin(), events_.end(), "status online") == 1;
    }));
  }
  link_->kick("network changed");
  const auto events = finish();
  // Short pause, cut short by the kick; the grant is reused.
  EXPECT_EQ(rounds(events), (std::vector<std::string>{"token", "status online", "nudged",
                                                      "status online"}));
  const auto lines = log.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "network changed; reconnecting to the relay"),
            lines.end());
}

TEST_F(CloudLinkTest, ARelayWithoutEncryptionIsRefused) {
  test::LogCapture log;
  on("POST /v1/host/relay-token", [](const HttpRequest&) {
    return reply(200, R"({"relay_url":"ws://relay.example","token":"rt"})");
  });
  stopWhen([](const auto& events) { return !events.empty() && events.back().rfind("wait", 0) == 0; });
  start(kEnrolled);
  const auto events = finish();
  EXPECT_EQ(count(events, "status online"), 0u);
  EXPECT_EQ(count(events, "status offline"), 1u);
  const auto lines = log.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "refusing the relay at ws://relay.example: it must use wss (plain ws only "
                      "to this computer)"),
            lines.end());
}

}  // namespace
}  // namespace nimbrel
