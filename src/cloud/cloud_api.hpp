#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "cloud/http_client.hpp"

namespace nimbrel {

// A failed cloud call that had an answer (status > 0), or one that was refused before it was
// sent (status 0: "bad_url", "insecure_url"). what() is the user-facing description: the
// message, else the code, else "HTTP " and the status.
class CloudHTTPError : public std::runtime_error {
 public:
  CloudHTTPError(int status, std::string code, std::string message,
                 std::optional<double> retryAfter = std::nullopt);

  int status() const { return status_; }
  const std::string& code() const { return code_; }
  const std::string& message() const { return message_; }
  std::optional<double> retryAfter() const { return retryAfter_; }

 private:
  int status_;
  std::string code_;
  std::string message_;
  std::optional<double> retryAfter_;
};

// "Retry-After" in seconds: a decimal number (fractions allowed) with blanks around it; a date
// or anything else gives nothing.
std::optional<double> parseRetryAfter(std::string_view text);

// `base` without its leading and trailing "/" followed by `path`; nothing when that is not an
// http or https URL.
std::optional<std::string> cloudRequestUrl(std::string_view base, std::string_view path);

// Tokens travel only encrypted: an https (or wss) URL, or one to this machine's loopback.
bool urlMayCarryTokens(std::string_view url);

// The host's client of the cloud service's HTTP API.
class CloudAPI {
 public:
  struct Response {
    int status = 0;
    boost::json::object body;  // an empty object when the body is not a JSON object
    std::optional<double> retryAfter;
  };
  enum class PollState { claimed, pending, expired };
  struct Poll {
    PollState state;
    boost::json::object body;  // claimed: the answer
  };
  struct RelayCredentials {
    std::string url;
    std::string token;
    double lifetime = 3600;  // seconds
  };

  CloudAPI(std::string base, std::shared_ptr<HttpClient> http);

  const std::string& base() const { return base_; }

  // One call: throws CloudHTTPError status 0 for a bad or insecure URL, HttpFailure when
  // nothing answered; any status is returned.
  boost::asio::awaitable<Response> request(std::string method, std::string path,
                                           std::optional<std::string> token,
                                           std::optional<boost::json::object> body);

  // These throw CloudHTTPError for every answer but their success, as the API defines it.
  // `hostToken`, when not empty, is the host token the host still holds: it proves to the
  // service which computer enrols again.
  boost::asio::awaitable<boost::json::object> enroll(std::string hostID, std::string name,
                                                     std::string hostToken = {});
  boost::asio::awaitable<Poll> pollEnrollment(std::string pollToken);
  boost::asio::awaitable<RelayCredentials> relayToken(std::string hostToken, std::string name);
  boost::asio::awaitable<void> leave(std::string hostToken);

 private:
  std::string base_;
  std::shared_ptr<HttpClient> http_;
};

}  // namespace nimbrel
