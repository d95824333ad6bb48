// The browser client served by the service: its files at the root with the same caching
// headers as the host gives them, revalidation by ETag, and the API's own answers around them
// unchanged.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "cloud_server/cloud_test_support.hpp"
#include "cloud_server/web_app.hpp"
#include "net/web_files.hpp"

namespace nimbrel::cloud::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// Everything the service sends back for `raw` until it closes the connection.
std::string exchange(std::uint16_t port, const std::string& raw) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
  boost::asio::write(socket, boost::asio::buffer(raw));
  std::string received;
  boost::system::error_code error;
  boost::asio::read(socket, boost::asio::dynamic_buffer(received), error);
  return received;
}

TEST(CloudWebApp, IfNoneMatchNamesTheTagInAListWeaklyOrByStar) {
  const std::string_view tag = "\"abc\"";
  const std::vector<std::pair<std::string_view, bool>> cases = {
      {"\"abc\"", true},          {"W/\"abc\"", true},  {"\"x\", \"abc\"", true},
      {" \"x\" ,W/\"abc\" ", true}, {"*", true},          {"", false},
      {"\"abcd\"", false},        {"abc", false},       {"\"x\",", false},
  };
  for (const auto& [header, expected] : cases) {
    EXPECT_EQ(etagMatches(header, tag), expected) << header;
  }
}

TEST(CloudWebApp, OnlyGetAndHeadOfTheAppsPathsAreFiles) {
  EXPECT_TRUE(webAppAnswer("GET", "/", ""));
  EXPECT_TRUE(webAppAnswer("HEAD", "/app.js", ""));
  EXPECT_FALSE(webAppAnswer("POST", "/", ""));
  EXPECT_FALSE(webAppAnswer("GET", "/v1/hosts", ""));
  EXPECT_FALSE(webAppAnswer("GET", "/healthz", ""));
  EXPECT_FALSE(webAppAnswer("GET", "/app.js/", ""));
  const auto head = webAppAnswer("HEAD", "/app.css", "");
  ASSERT_TRUE(head);
  EXPECT_FALSE(head->sendBody);
  EXPECT_EQ(head->body.size(), webFile("/app.css")->body.size());
}

TEST(CloudWebApp, ServesEveryFileOfTheAppWithItsTypeAndTheHostsHeaders) {
  Service service;
  struct Case {
    std::string target;
    std::string file;  // the path it is served from
    std::string type;
    std::string start;  // how the body begins
  };
  const std::vector<Case> cases = {
      {"/", "/", "text/html; charset=utf-8", "<!doctype html>"},
      {"/index.html", "/", "text/html; charset=utf-8", "<!doctype html>"},
      {"/?from=home-screen", "/", "text/html; charset=utf-8", "<!doctype html>"},
      {"/app.js", "/app.js", "text/javascript; charset=utf-8", ""},
      {"/app.css", "/app.css", "text/css; charset=utf-8", ":root"},
      {"/manifest.webmanifest", "/manifest.webmanifest", "application/manifest+json", "{"},
      {"/icon.svg", "/icon.svg", "image/svg+xml", "<svg"},
      {"/apple-touch-icon.png", "/apple-touch-icon.png", "image/png", "\x89PNG"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const auto file = webFile(c.file);
    ASSERT_TRUE(file);
    const auto got = http(service.port(), "GET", c.target);
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.header("content-type"), c.type);
    EXPECT_EQ(got.header("etag"), file->etag);
    EXPECT_EQ(got.header("cache-control"), "no-cache");
    EXPECT_EQ(got.header("x-content-type-options"), "nosniff");
    EXPECT_THAT(got.header("content-security-policy"), HasSubstr("connect-src 'self' ws: wss:"));
    EXPECT_EQ(got.header("server"), "nimbrel-cloud");
    EXPECT_EQ(got.body, file->body);
    EXPECT_THAT(got.body, StartsWith(c.start));
  }
}

TEST(CloudWebApp, ACurrentCopyIsAnswered304AndHeadSendsNoBody) {
  Service service;
  const auto file = webFile("/app.js");
  ASSERT_TRUE(file);
  const std::string etag(file->etag);
  const auto request = [&](const std::string& ifNoneMatch) {
    return httpRaw(service.port(), "GET /app.js HTTP/1.1\r\nHost: x\r\nIf-None-Match: " +
                                       ifNoneMatch + "\r\nConnection: close\r\n\r\n");
  };
  for (const std::string& current : {etag, "W/" + etag, "\"old\", " + etag}) {
    const auto got = request(current);
    EXPECT_EQ(got.status, 304) << current;
    EXPECT_EQ(got.body, "");
    EXPECT_EQ(got.header("etag"), etag);
  }
  const auto changed = request("\"old\"");
  EXPECT_EQ(changed.status, 200);
  EXPECT_EQ(changed.body, file->body);

  const std::string head = exchange(service.port(), "HEAD / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_THAT(head, StartsWith("HTTP/1.1 200 OK\r\n"));
  EXPECT_THAT(head, HasSubstr("Content-Length: " + std::to_string(webFile("/")->body.size()) + "\r\n"));
  ASSERT_NE(head.find("\r\n\r\n"), std::string::npos);
  EXPECT_EQ(head.substr(head.find("\r\n\r\n") + 4), "") << "a HEAD answer has no body";
}

TEST(CloudWebApp, TheApiAndUnknownPathsAnswerAsBefore) {
  Service service;
  const auto health = http(service.port(), "GET", "/healthz");
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(health.json().at("ok").as_bool(), true);
  EXPECT_EQ(health.json().at("service").as_string(), "nimbrel-cloud");

  EXPECT_EQ(http(service.port(), "GET", "/v1/hosts").status, 401);
  const auto hosts = http(service.port(), "GET", "/v1/hosts", "", service.accountToken("alice"));
  EXPECT_EQ(hosts.status, 200);
  EXPECT_TRUE(hosts.json().at("hosts").is_array());

  struct Case {
    std::string method;
    std::string target;
    int status;
    std::string code;
  };
  const std::vector<Case> cases = {
      {"POST", "/", 404, "not_found"},          {"DELETE", "/app.js", 404, "not_found"},
      {"GET", "/nothing.js", 404, "not_found"}, {"GET", "/app.js/x", 404, "not_found"},
      {"GET", "/v2/client/habc", 426, "upgrade_required"},
      {"POST", "/healthz", 405, "method_not_allowed"},
  };
  for (const auto& c : cases) {
    const auto got = http(service.port(), c.method, c.target);
    EXPECT_EQ(got.status, c.status) << c.method << " " << c.target;
    EXPECT_EQ(got.errorCode(), c.code) << c.method << " " << c.target;
    EXPECT_EQ(got.header("content-type"), "application/json");
  }
}

TEST(CloudWebApp, AFileAndAnApiCallShareOneKeptAliveConnection) {
  Service service;
  const std::string both = exchange(
      service.port(),
      "GET /app.css HTTP/1.1\r\nHost: x\r\n\r\nGET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  const auto first = both.find("HTTP/1.1 200 OK");
  const auto second = both.find("HTTP/1.1 200 OK", first + 1);
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos) << both;
  EXPECT_THAT(both.substr(first, second - first), HasSubstr("text/css"));
  EXPECT_THAT(both.substr(second), HasSubstr("\"service\":\"nimbrel-cloud\""));
}

}  // namespace
}  // namespace nimbrel::cloud::test
