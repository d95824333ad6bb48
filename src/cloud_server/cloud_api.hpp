#pragma once

#include <boost/json/object.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cloud_server/limits.hpp"
#include "cloud_server/rate_limiter.hpp"
#include "cloud_server/store.hpp"

namespace nimbrel::cloud {

// An HTTP request as the API sees it.
struct ApiRequest {
  std::string method;
  std::string target;
  std::string authorization;
  std::string body;
  std::string clientAddress;
  std::string host;     // the Host header, for relay URLs when no public URL is set
  bool secure = false;  // arrived over TLS
};

struct ApiResponse {
  int status = 200;
  std::optional<boost::json::object> body;  // nothing: no body (204)
  std::optional<double> retryAfter;         // seconds, for "Retry-After"
  std::string allow;                        // for 405
  std::vector<std::string> cutOff;          // hosts whose relay connections must end (4410)
};

// An error answer: {"error": {"code": code, "message": message}}.
ApiResponse apiError(int status, std::string_view code, std::string_view message);

// The relay's WebSocket base URL ("wss://relay.example.org", "ws://127.0.0.1:8443"): from the
// public URL when there is one (http becomes ws, https wss), else from the request's Host
// header, else from `listenAddress`.
std::string relayBase(const std::string& publicUrl, const std::string& hostHeader, bool secure,
                      const std::string& listenAddress);

// The HTTP API: each call is a function of the request, the store and the time. Blocking (the
// store may sync to disk): run it on the worker, never on the network thread.
class CloudApi {
 public:
  struct Settings {
    Limits limits;
    std::string publicUrl;      // may be empty
    std::string listenAddress;  // "127.0.0.1:8443"
    std::function<double()> now;                              // seconds since the epoch
    std::function<bool(const std::string& hostId)> isOnline;  // thread-safe
  };

  CloudApi(Store& store, Settings settings);

  ApiResponse handle(const ApiRequest& request);

  // For the relay's upgrades: the host behind a relay token, and a ticket used up.
  Credential relayCredential(const std::string& token);
  Credential useTicket(const std::string& ticket);

  const Limits& limits() const { return settings_.limits; }

 private:
  ApiResponse dispatch(const ApiRequest& request);
  std::optional<ApiResponse> limited(RateLimiter& limiter, const std::string& key,
                                     std::string_view what);
  ApiResponse enroll(const ApiRequest& request, const boost::json::object& body);
  ApiResponse poll(const boost::json::object& body);
  ApiResponse relayToken(const ApiRequest& request, const HostRecord& host,
                         const boost::json::object& body);
  ApiResponse claim(const Account& account, const boost::json::object& body);
  ApiResponse listHosts(const Account& account);
  ApiResponse removeHost(const Account& account, const std::string& hostId);
  ApiResponse ticket(const ApiRequest& request, const Account& account, const std::string& hostId);

  Store& store_;
  Settings settings_;
  RateLimiter enrollLimiter_;
  RateLimiter pollLimiter_;
  RateLimiter relayTokenLimiter_;
  RateLimiter ticketLimiter_;
  RateLimiter claimLimiter_;
};

}  // namespace nimbrel::cloud
