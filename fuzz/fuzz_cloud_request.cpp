// The cloud service's request handling fed arbitrary bytes: they are parsed as an HTTP request
// with the server's own limits, routed, and answered by the API against a real store (in a
// temporary directory, kept across inputs so that earlier inputs leave accounts, enrolments and
// hosts behind). Every answer must be a known status with a well-formed body.

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/json/serialize.hpp>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "cloud_server/cloud_api.hpp"
#include "cloud_server/request.hpp"
#include "cloud_server/secrets.hpp"
#include "cloud_server/sqlite_store.hpp"

using namespace nimbrel::cloud;
namespace http = boost::beast::http;

namespace {

Store& store() {
  static std::unique_ptr<SqliteStore> instance = [] {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("nimbrel-fuzz-cloud-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto s = SqliteStore::open(dir / "cloud.db", {});
    // A known account, so that requests carrying its token reach the account endpoints.
    if (!s->accountByName("fuzz")) s->addAccount("fuzz", "", tokenHash("fuzz-account"), 0);
    return s;
  }();
  return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // The pure parsers on the raw text.
  (void)route("GET", input);
  (void)bearerToken(input);
  (void)queryItem(input, "ticket");
  (void)parseListenAddress(input);
  (void)normaliseClaimCode(input);
  std::string why;
  (void)parseBody(input, &why);

  // The whole request, as the server reads it.
  const Limits limits;
  http::request_parser<http::string_body> parser;
  parser.header_limit(static_cast<std::uint32_t>(limits.maxHeaderBytes));
  parser.body_limit(limits.maxBodyBytes);
  parser.eager(true);
  boost::system::error_code error;
  parser.put(boost::asio::buffer(input.data(), input.size()), error);
  if (!error && !parser.is_done()) parser.put_eof(error);
  if (error || !parser.is_done()) return 0;
  auto& request = parser.get();
  std::string authorization(request[http::field::authorization]);
  if (authorization == "Bearer A") authorization = "Bearer fuzz-account";

  static double now = 1.8e9;
  now += 1000;  // every rate limit has refilled by the next input
  CloudApi api(store(), CloudApi::Settings{limits, "", "127.0.0.1:1", [] { return now; },
                                           [](const std::string&) { return false; }});
  const ApiResponse answer = api.handle(ApiRequest{std::string(request.method_string()),
                                                   std::string(request.target()), authorization,
                                                   request.body(), "192.0.2.1",
                                                   std::string(request[http::field::host]), false});
  static const std::set<int> known = {200, 202, 204, 400, 401, 404, 405, 409, 410, 426, 429};
  if (!known.count(answer.status)) std::abort();
  if (answer.status >= 400) {
    if (!answer.body || !answer.body->contains("error")) std::abort();
    const auto& e = answer.body->at("error").as_object();
    if (!e.at("code").is_string() || !e.at("message").is_string()) std::abort();
  }
  if (answer.status == 204 && answer.body) std::abort();
  if (answer.status == 429 && !answer.retryAfter) std::abort();
  (void)boost::json::serialize(answer.body.value_or(boost::json::object()));
  return 0;
}
