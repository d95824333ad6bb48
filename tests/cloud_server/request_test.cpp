#include "cloud_server/request.hpp"

#include <gtest/gtest.h>

#include "cloud_server/cloud_api.hpp"
#include "cloud_server/command_line.hpp"

namespace nimbrel::cloud {
namespace {

TEST(Request, Routes) {
  struct Case {
    const char* method;
    const char* target;
    Endpoint endpoint;
    bool allowed;
    const char* id;
    const char* ticket;
  };
  const Case cases[] = {
      {"POST", "/v1/enroll", Endpoint::enroll, true, "", ""},
      {"POST", "/v1/enroll/", Endpoint::enroll, true, "", ""},
      {"GET", "/v1/enroll", Endpoint::enroll, false, "", ""},
      {"POST", "/v1/enroll/poll", Endpoint::enrollPoll, true, "", ""},
      {"POST", "/v1/host/relay-token", Endpoint::relayToken, true, "", ""},
      {"DELETE", "/v1/host", Endpoint::leave, true, "", ""},
      {"POST", "/v1/host", Endpoint::leave, false, "", ""},
      {"POST", "/v1/claim", Endpoint::claim, true, "", ""},
      {"GET", "/v1/hosts", Endpoint::listHosts, true, "", ""},
      {"GET", "/v1/hosts?x=1", Endpoint::listHosts, true, "", ""},
      {"DELETE", "/v1/hosts/habc", Endpoint::removeHost, true, "habc", ""},
      {"DELETE", "/v1/hosts/h%61bc", Endpoint::removeHost, true, "habc", ""},
      {"POST", "/v1/hosts/habc/ticket", Endpoint::hostTicket, true, "habc", ""},
      {"GET", "/v2/host", Endpoint::relayHost, true, "", ""},
      {"GET", "/v2/client/habc?ticket=T%2Bx", Endpoint::relayClient, true, "habc", "T+x"},
      {"GET", "/v2/client/habc?a=b&ticket=Q", Endpoint::relayClient, true, "habc", "Q"},
      {"GET", "/v2/host/session/s1", Endpoint::relaySession, true, "s1", ""},
      {"GET", "/healthz", Endpoint::health, true, "", ""},
      {"GET", "/", Endpoint::unknown, false, "", ""},
      {"GET", "", Endpoint::unknown, false, "", ""},
      {"GET", "v1/hosts", Endpoint::unknown, false, "", ""},
      {"GET", "//v1/hosts", Endpoint::unknown, false, "", ""},
      {"GET", "/v1/hosts/a%2Fb", Endpoint::unknown, false, "", ""},
      {"GET", "/v1/hosts/%zz", Endpoint::unknown, false, "", ""},
      {"GET", "/v1/hosts/a/b/c/d/e/f/g/h/i", Endpoint::unknown, false, "", ""},
      {"GET", "/V1/HOSTS", Endpoint::unknown, false, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    const Route r = route(c.method, c.target);
    EXPECT_EQ(r.endpoint, c.endpoint);
    EXPECT_EQ(r.methodAllowed, c.allowed);
    EXPECT_EQ(r.id, c.id);
    EXPECT_EQ(r.ticket, c.ticket);
  }
}

TEST(Request, BearerTokens) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"Bearer abc", "abc"},   {"bearer abc", "abc"}, {"BEARER  abc ", "abc"},
      {"  Bearer abc", "abc"}, {"Bearer ", {}},        {"Bearer", {}},
      {"Basic abc", {}},       {"", {}},               {"Bearerabc", {}},
  };
  for (const auto& [header, token] : cases) EXPECT_EQ(bearerToken(header), token) << header;
  EXPECT_FALSE(bearerToken("Bearer " + std::string(600, 'x')));
}

TEST(Request, Bodies) {
  std::string why;
  EXPECT_TRUE(parseBody("", &why));
  EXPECT_TRUE(parseBody(" \r\n", &why));
  EXPECT_TRUE(parseBody(R"({"a":1})", &why));
  for (const char* bad : {"[]", "1", "\"x\"", "{", "{\"a\":}", "null",
                          "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"}) {
    why.clear();
    EXPECT_FALSE(parseBody(bad, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
  const auto body = *parseBody(R"({"s":"text","n":5,"long":"abcdef"})", nullptr);
  EXPECT_EQ(textField(body, "s", 10, std::nullopt), "text");
  EXPECT_EQ(textField(body, "missing", 10, std::string("dflt")), "dflt");
  EXPECT_EQ(textField(body, "missing", 10, std::nullopt), std::nullopt);
  EXPECT_EQ(textField(body, "n", 10, std::string()), std::nullopt);
  EXPECT_EQ(textField(body, "long", 3, std::string()), std::nullopt);
}

TEST(Request, ListenAddresses) {
  struct Case {
    const char* text;
    bool valid;
    const char* address;
    int port;
    bool loopback;
  };
  const Case cases[] = {
      {"127.0.0.1:8443", true, "127.0.0.1", 8443, true},
      {"127.1.2.3:0", true, "127.1.2.3", 0, true},
      {"[::1]:443", true, "::1", 443, true},
      {"0.0.0.0:443", true, "0.0.0.0", 443, false},
      {"[::]:443", true, "::", 443, false},
      {"192.0.2.7:80", true, "192.0.2.7", 80, false},
      {"::1:443", false, "", 0, false},
      {"localhost:443", false, "", 0, false},
      {"127.0.0.1", false, "", 0, false},
      {"127.0.0.1:", false, "", 0, false},
      {"127.0.0.1:65536", false, "", 0, false},
      {"127.0.0.1:8x", false, "", 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto parsed = parseListenAddress(c.text);
    ASSERT_EQ(parsed.has_value(), c.valid);
    if (!parsed) continue;
    EXPECT_EQ(parsed->address, c.address);
    EXPECT_EQ(parsed->port, c.port);
    EXPECT_EQ(parsed->loopback, c.loopback);
  }
}

TEST(Request, RelayBase) {
  struct Case {
    const char* publicUrl;
    const char* host;
    bool secure;
    const char* base;
  };
  const Case cases[] = {
      {"https://cloud.example.org/", "", false, "wss://cloud.example.org"},
      {"HTTP://cloud.example.org:8080", "", true, "ws://cloud.example.org:8080"},
      {"wss://relay.example.org", "", false, "wss://relay.example.org"},
      {"", "127.0.0.1:9000", false, "ws://127.0.0.1:9000"},
      {"", "cloud.example.org", true, "wss://cloud.example.org"},
      {"", "evil/path?x", false, "ws://127.0.0.1:1"},
      {"", "", true, "wss://127.0.0.1:1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(relayBase(c.publicUrl, c.host, c.secure, "127.0.0.1:1"), c.base)
        << c.publicUrl << " " << c.host;
  }
}

TEST(CommandLine, Commands) {
  using Command = CommandLine::Command;
  struct Case {
    std::vector<std::string> args;
    std::optional<Command> command;  // nothing: refused
  };
  const std::vector<Case> cases = {
      {{"serve", "--data", "d", "--listen", "127.0.0.1:1"}, Command::serve},
      {{"serve", "--data", "d"}, {}},
      {{"serve", "--listen", "127.0.0.1:1"}, {}},
      {{"serve", "--data", "d", "--listen", "x:1", "--cert", "c"}, {}},
      {{"serve", "--data", "d", "--listen", "x:1", "--max-sessions-per-host", "0"}, {}},
      {{"serve", "--data", "d", "--listen", "x:1", "--max-sessions-per-host", "3x"}, {}},
      {{"serve", "--data", "d", "--listen", "x:1", "--relay-token-lifetime", "0"}, {}},
      {{"serve", "--data", "d", "--listen", "x:1", "--relay-token-lifetime", "1h"}, {}},
      {{"serve", "--data", "d", "--listen", "x:1", "--relay-token-lifetime", "604801"}, {}},
      {{"serve", "--data", "d", "--listen", "x:1", "--relay-token-lifetime"}, {}},
      {{"account", "add", "alice", "--email", "a@b", "--data", "d"}, Command::accountAdd},
      {{"account", "remove", "alice", "--data", "d"}, {}},
      {{"account", "add", "--data", "d"}, {}},
      {{"claim", "ABCD-EFGH", "--account", "alice", "--data", "d"}, Command::claim},
      {{"claim", "ABCD-EFGH", "--data", "d"}, {}},
      {{"hosts", "--data", "d"}, Command::hosts},
      {{"hosts", "--account", "alice", "--data", "d"}, Command::hosts},
      {{"remove", "habc", "--data", "d"}, Command::remove},
      {{"remove", "--data", "d"}, {}},
      {{"frobnicate", "--data", "d"}, {}},
      {{"hosts", "--data"}, {}},
      {{"hosts", "--data", "d", "--bogus"}, {}},
      {{}, {}},
      {{"--help"}, Command::help},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    if (!c.command) {
      EXPECT_THROW(parseCommandLine(c.args), std::invalid_argument);
      continue;
    }
    EXPECT_EQ(parseCommandLine(c.args).command, *c.command);
  }
  const auto line = parseCommandLine({"serve", "--data", "d", "--listen", "0.0.0.0:443", "--cert",
                                      "c.pem", "--key", "k.pem", "--public-url", "https://x",
                                      "--max-sessions-per-host", "3", "--relay-token-lifetime",
                                      "120"});
  EXPECT_EQ(line.data, "d");
  EXPECT_EQ(line.cert, "c.pem");
  EXPECT_EQ(line.key, "k.pem");
  EXPECT_EQ(line.publicUrl, "https://x");
  EXPECT_EQ(line.maxSessionsPerHost, 3);
  EXPECT_EQ(line.relayTokenLifetime, 120);
  EXPECT_EQ(parseCommandLine({"serve", "--data", "d", "--listen", "x:1"}).relayTokenLifetime, 0);
}

TEST(Request, AddressKeysCountAnIpv6Slash64AsOneAddress) {
  const struct {
    const char* address;
    const char* key;
  } cases[] = {
      {"192.0.2.7", "192.0.2.7"},
      {"::ffff:192.0.2.7", "192.0.2.7"},
      {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
      {"2001:db8:1:2::", "2001:db8:1:2::/64"},
      {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
      {"::1", "::/64"},
      {"fe80::1%1", "fe80::/64"},
      {"not an address", "not an address"},
  };
  for (const auto& c : cases) EXPECT_EQ(addressKey(c.address), c.key) << c.address;
}

}  // namespace
}  // namespace nimbrel::cloud
