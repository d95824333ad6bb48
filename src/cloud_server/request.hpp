#pragma once

// What the service makes of a request before anything is looked up: which endpoint it is for,
// the ids in its path, its bearer token and its JSON body. Pure functions, shared by the
// server, its tests and the fuzzer.

#include <boost/json/object.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nimbrel::cloud {

enum class Endpoint {
  enroll,        // POST /v1/enroll
  enrollPoll,    // POST /v1/enroll/poll
  relayToken,    // POST /v1/host/relay-token
  leave,         // DELETE /v1/host
  claim,         // POST /v1/claim
  listHosts,     // GET /v1/hosts
  removeHost,    // DELETE /v1/hosts/{id}
  hostTicket,    // POST /v1/hosts/{id}/ticket
  health,        // GET /healthz
  relayHost,     // GET /v2/host (WebSocket)
  relayClient,   // GET /v2/client/{id}?ticket=… (WebSocket)
  relaySession,  // GET /v2/host/session/{sid} (WebSocket)
  unknown,
};

struct Route {
  Endpoint endpoint = Endpoint::unknown;
  bool methodAllowed = false;  // false: the path is known but not with this method
  std::string allow;           // the method the path takes, for "Allow"
  std::string id;              // host id or session id from the path, percent-decoded
  std::string ticket;          // relayClient: the "ticket" query item
};

// `target` is the request target as sent ("/v1/hosts/h…/ticket", with any query).
Route route(std::string_view method, std::string_view target);

bool isWebSocketEndpoint(Endpoint endpoint);

// The token of an "Authorization: Bearer …" header (scheme in any case); nothing otherwise.
std::optional<std::string> bearerToken(std::string_view authorization);

// The value of query item `name` (percent-decoded, "+" as space), or nothing.
std::optional<std::string> queryItem(std::string_view query, std::string_view name);

// A request body that must be one JSON object; an empty body counts as {}. Nothing, with the
// reason in `error`, when it is not.
std::optional<boost::json::object> parseBody(std::string_view body, std::string* error);

// The text at `key`, when it is text of at most `maxLength` bytes; `fallback` when absent.
// Nothing when present but not text or too long.
std::optional<std::string> textField(const boost::json::object& body, std::string_view key,
                                     std::size_t maxLength, std::optional<std::string> fallback);

// What limits per address count by: an IPv4 address as it is (also when mapped into IPv6),
// an IPv6 address by its /64 ("2001:db8:1:2::/64"), since one subscriber holds a whole /64.
// Text that is no address stands for itself.
std::string addressKey(std::string_view address);

// "ADDRESS:PORT" as given to --listen: an IPv4 address, or an IPv6 one in brackets.
struct ListenAddress {
  std::string address;  // without brackets
  std::uint16_t port = 0;
  bool loopback = false;
};
std::optional<ListenAddress> parseListenAddress(std::string_view text);

}  // namespace nimbrel::cloud
