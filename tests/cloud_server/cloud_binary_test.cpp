// The nimbrel-cloud program itself: its commands on a shared data directory while the service
// runs, a restart that keeps every enrolment, a clean stop on SIGTERM, TLS, and the refusals an
// operator must see.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "cloud_server/cloud_test_support.hpp"
#include "support/process.hpp"

namespace nimbrel::cloud::test {
namespace {

namespace json = boost::json;
using ::testing::HasSubstr;
using nimbrel::test::Process;

const std::string kCloud = NIMBREL_CLOUD_BINARY;

struct CommandResult {
  int status = -1;
  std::string out;
  std::string err;
};

// One command to its end.
CommandResult run(const std::vector<std::string>& arguments) {
  Process process(kCloud, arguments);
  CommandResult result;
  result.status = process.wait(std::chrono::seconds(30)).value_or(-1);
  result.out = process.output();
  result.err = process.errorOutput();
  return result;
}

// The last line of a command's output (where "account add" prints the token).
std::string lastLine(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
  return trimmed.substr(trimmed.rfind('\n') + 1);
}

class CloudProgram : public ::testing::Test {
 protected:
  // Starts `serve` on a free loopback port and waits until it listens.
  std::unique_ptr<Process> serve(std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments = {"serve", "--data", data(), "--listen", "127.0.0.1:0"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    auto process = std::make_unique<Process>(kCloud, arguments);
    EXPECT_TRUE(process->waitForOutput(" (http", 10s)) << process->errorOutput();
    std::smatch match;
    const std::string out = process->output();
    EXPECT_TRUE(std::regex_search(out, match, std::regex("listening on 127\\.0\\.0\\.1:(\\d+)")));
    port_ = match.empty() ? 0 : static_cast<std::uint16_t>(std::stoi(match[1]));
    return process;
  }

  std::string data() const { return (dir_ / "data").string(); }

  TempDir dir_;
  std::uint16_t port_ = 0;
};

TEST_F(CloudProgram, CommandsWorkWhileServingAndARestartKeepsEveryEnrolment) {
  const CommandResult added = run({"account", "add", "alice", "--email", "alice@example.org", "--data", data()});
  ASSERT_EQ(added.status, 0) << added.err;
  const std::string accountToken = lastLine(added.out);
  EXPECT_EQ(accountToken.size(), 43u);

  auto service = serve();
  const auto enrolled =
      http(port_, "POST", "/v1/enroll", R"({"local_id":"L1","name":"Desk","os":"linux","version":"1"})");
  ASSERT_EQ(enrolled.status, 200);
  const std::string code(enrolled.json().at("code").as_string());
  const std::string poll = json::serialize(json::object{{"poll_token", enrolled.json().at("poll_token")}});

  // Claimed from the command line while the service runs.
  const CommandResult claimed = run({"claim", code, "--account", "alice", "--data", data()});
  ASSERT_EQ(claimed.status, 0) << claimed.err;
  EXPECT_THAT(claimed.out, HasSubstr("into account \"alice\""));
  const auto polled = http(port_, "POST", "/v1/enroll/poll", poll);
  ASSERT_EQ(polled.status, 200) << polled.body;
  const std::string hostId(polled.json().at("host_id").as_string());
  const std::string hostToken(polled.json().at("host_token").as_string());
  EXPECT_EQ(polled.json().at("account").as_object().at("email").as_string(), "alice@example.org");

  const auto relay = http(port_, "POST", "/v1/host/relay-token", "{}", hostToken);
  ASSERT_EQ(relay.status, 200);
  {
    RelayHost online(port_, std::string(relay.json().at("token").as_string()));
    ASSERT_TRUE(service->waitForOutput("host " + hostId + " online", 10s));
    const CommandResult listed = run({"hosts", "--account", "alice", "--data", data()});
    EXPECT_EQ(listed.status, 0);
    EXPECT_THAT(listed.out, HasSubstr(hostId));
    EXPECT_THAT(listed.out, HasSubstr("\"Desk\""));

    // SIGTERM: the control connection is closed with "going away" and the program exits 0.
    service->signal(SIGTERM);
    EXPECT_EQ(online.control.closeCode(), 1001);
    EXPECT_EQ(service->wait(10s), 0);
    EXPECT_THAT(service->output(), HasSubstr("stopped"));
  }

  // After a restart the host's token still works, and so does the account's.
  service = serve();
  EXPECT_EQ(http(port_, "POST", "/v1/host/relay-token", "{}", hostToken).status, 200);
  const auto hosts = http(port_, "GET", "/v1/hosts", "", accountToken);
  ASSERT_EQ(hosts.status, 200);
  EXPECT_EQ(hosts.json().at("hosts").as_array().at(0).as_object().at("id").as_string(), hostId);

  // Removed from the command line: the running service cuts the host off.
  const auto relay2 = http(port_, "POST", "/v1/host/relay-token", "{}", hostToken);
  RelayHost online(port_, std::string(relay2.json().at("token").as_string()));
  ASSERT_TRUE(service->waitForOutput("host " + hostId + " online", 10s));
  const CommandResult removed = run({"remove", hostId, "--data", data()});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(online.control.closeCode(), 4410);
  EXPECT_EQ(http(port_, "POST", "/v1/host/relay-token", "{}", hostToken).status, 401);
  EXPECT_EQ(run({"remove", hostId, "--data", data()}).status, 1);
}

// The real host, its cloud link against the real service handing out relay tokens of 2 s, and
// nimbrel-client through the relay once the token the host connected with has run out twice
// over: the host is still online and still takes the session.
TEST_F(CloudProgram, AHostOnlineForTwiceItsRelayTokensLifetimeStillTakesSessions) {
  const CommandResult added = run({"account", "add", "alice", "--data", data()});
  ASSERT_EQ(added.status, 0) << added.err;
  const std::string accountToken = lastLine(added.out);
  auto service = serve({"--relay-token-lifetime", "2"});
  const std::string api = "http://127.0.0.1:" + std::to_string(port_);
  const auto home = dir_ / "home";
  Process host(NIMBREL_HOST_BINARY,
               {"--headless", "--dry-run", "--no-bonjour", "--synthetic", "cursor", "--port", "0",
                "--home", (home / "data").string(), "--api", api},
               {{"HOME", home.string()}, {"XDG_CONFIG_HOME", (home / "xdg").string()}});
  ASSERT_TRUE(host.waitForOutput("&c=", 20s)) << host.output() << host.errorOutput();
  std::smatch match;
  std::string out = host.output();
  ASSERT_TRUE(std::regex_search(out, match, std::regex("&c=([A-Z0-9-]+)")));
  const CommandResult claimed = run({"claim", match[1], "--account", "alice", "--data", data()});
  ASSERT_EQ(claimed.status, 0) << claimed.err;
  ASSERT_TRUE(std::regex_search(claimed.out, match, std::regex("Claimed (\\S+)")));
  const std::string hostId = match[1];
  ASSERT_TRUE(service->waitForOutput("host " + hostId + " online", 30s)) << service->output();
  ASSERT_TRUE(host.waitForOutput("&cid=" + hostId, 10s)) << host.output();

  // What is tested is a deadline passing: the token's lifetime, twice.
  std::this_thread::sleep_until(std::chrono::steady_clock::now() + 2 * 2s + 500ms);
  EXPECT_FALSE(service->waitForOutput("host " + hostId + " offline", 200ms)) << service->output();

  out = host.output();
  std::string link;
  const std::regex pairing("nimbrel://pair\\?\\S+");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), pairing);
       it != std::sregex_iterator(); ++it) {
    link = (*it)[0];
  }
  ASSERT_NE(link.find("&cid=" + hostId), std::string::npos) << link;
  const auto shot = dir_ / "shot.png";
  Process client(NIMBREL_CLIENT_BINARY, {link, "--cloud", api, "--account-token", accountToken,
                                         "--via-relay", "--snapshot", shot.string(), "--seconds",
                                         "1.5"});
  ASSERT_EQ(client.wait(60s), 0) << client.errorOutput() << service->output();
  EXPECT_GT(std::filesystem::file_size(shot), 100u);
  EXPECT_TRUE(service->waitForOutput("bytes to the client", 10s)) << service->output();
  EXPECT_EQ(service->output().find("host " + hostId + " offline"), std::string::npos);
  EXPECT_EQ(service->output().find("relay refused"), std::string::npos) << service->output();
}

TEST_F(CloudProgram, ADamagedDatabaseIsReportedAndLeftAlone) {
  std::filesystem::create_directories(data());
  const auto file = std::filesystem::path(data()) / "nimbrel-cloud.db";
  const std::string garbage(16384, 'q');
  nimbrel::test::writeFile(file, garbage);
  Process service(kCloud, {"serve", "--data", data(), "--listen", "127.0.0.1:0"});
  EXPECT_EQ(service.wait(20s), 1);
  EXPECT_THAT(service.errorOutput(), HasSubstr("is damaged"));
  const CommandResult add = run({"account", "add", "alice", "--data", data()});
  EXPECT_EQ(add.status, 1);
  EXPECT_THAT(add.err, HasSubstr("is damaged"));
  EXPECT_EQ(nimbrel::test::readFile(file), garbage);
}

TEST_F(CloudProgram, RefusalsAnOperatorCanActOn) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{"serve", "--data", data(), "--listen", "0.0.0.0:0"}, 2, "refusing plain HTTP"},
      {{"serve", "--data", data(), "--listen", "localhost:0"}, 2, "--listen takes ADDRESS:PORT"},
      {{"serve", "--data", data(), "--listen", "127.0.0.1:0", "--cert", "/nonexistent.pem", "--key",
        "/nonexistent.pem"},
       2, "cannot load the certificate"},
      {{"claim", "ABCD-EFGH", "--account", "alice", "--data", (dir_ / "none").string()}, 1,
       "no nimbrel-cloud data"},
      {{"bogus"}, 2, "unknown command"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const CommandResult result = run(c.arguments);
    EXPECT_EQ(result.status, c.status);
    EXPECT_THAT(result.err, HasSubstr(c.message));
  }
  // One service per data directory.
  auto first = serve();
  const CommandResult second = run({"serve", "--data", data(), "--listen", "127.0.0.1:0"});
  EXPECT_EQ(second.status, 1);
  EXPECT_THAT(second.err, HasSubstr("another nimbrel-cloud is serving"));
  // An unknown account and a code nobody waits with are refused with their reason.
  EXPECT_THAT(run({"claim", "ABCD-EFGH", "--account", "nobody", "--data", data()}).err,
              HasSubstr("no account named \"nobody\""));
  run({"account", "add", "alice", "--data", data()});
  EXPECT_THAT(run({"account", "add", "alice", "--data", data()}).err, HasSubstr("exists already"));
  EXPECT_THAT(run({"claim", "ABCD-EFGH", "--account", "alice", "--data", data()}).err,
              HasSubstr("no computer is waiting"));
}

TEST_F(CloudProgram, ServesHttpsAndSecureRelayUrlsWithACertificate) {
  const std::string cert = (dir_ / "cert.pem").string(), key = (dir_ / "key.pem").string();
  const std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                           "-nodes -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
                           "-keyout " + key + " -out " + cert + " 2>/dev/null";
  ASSERT_EQ(std::system(make.c_str()), 0);
  const CommandResult added = run({"account", "add", "alice", "--data", data()});
  ASSERT_EQ(added.status, 0);
  std::vector<std::string> arguments = {"serve", "--data", data(), "--listen", "127.0.0.1:0",
                                        "--cert", cert, "--key", key};
  Process service(kCloud, arguments);
  ASSERT_TRUE(service.waitForOutput("(https)", 10s)) << service.errorOutput();
  std::smatch match;
  const std::string out = service.output();
  ASSERT_TRUE(std::regex_search(out, match, std::regex("listening on 127\\.0\\.0\\.1:(\\d+)")));
  const auto port = static_cast<std::uint16_t>(std::stoi(match[1]));
  const auto enrolled = https(port, "POST", "/v1/enroll", R"({"local_id":"L"})", cert);
  EXPECT_EQ(enrolled.status, 200) << enrolled.body;
  const std::string code(enrolled.json().at("code").as_string());
  ASSERT_EQ(run({"claim", code, "--account", "alice", "--data", data()}).status, 0);
  const auto polled = https(port, "POST", "/v1/enroll/poll",
                            json::serialize(json::object{{"poll_token", enrolled.json().at("poll_token")}}),
                            cert);
  ASSERT_EQ(polled.status, 200);
  const auto relay = https(port, "POST", "/v1/host/relay-token", "{}", cert,
                           std::string(polled.json().at("host_token").as_string()));
  EXPECT_EQ(relay.json().at("relay_url").as_string(), "wss://127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(relay.json().at("expires_in").as_int64(), 3600);
  // Plain HTTP on the TLS port gets nothing.
  EXPECT_EQ(http(port, "GET", "/healthz").status, 0);
}

}  // namespace
}  // namespace nimbrel::cloud::test
