#include "cloud_server/cloud_api.hpp"

#include <cctype>
#include <cmath>

#include "cloud_server/event_log.hpp"
#include "cloud_server/request.hpp"
#include "cloud_server/secrets.hpp"

namespace nimbrel::cloud {

namespace json = boost::json;

ApiResponse apiError(int status, std::string_view code, std::string_view message) {
  ApiResponse response;
  response.status = status;
  response.body = json::object{{"error", json::object{{"code", code}, {"message", message}}}};
  return response;
}

namespace {

bool isSaneHostHeader(std::string_view host) {
  if (host.empty() || host.size() > 255) return false;
  for (char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    if (!ok) return false;
  }
  return true;
}

// Whole numbers as integers ("3", never "3E0"), fractions as they are.
json::value number(double value) {
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    return json::value(static_cast<std::int64_t>(value));
  }
  return json::value(value);
}

ApiResponse unauthorized(std::string_view what) {
  return apiError(401, "unauthorized", std::string("Missing or unknown ") + std::string(what));
}

ApiResponse badRequest(std::string_view message) {
  return apiError(400, "bad_request", message);
}

}  // namespace

std::string relayBase(const std::string& publicUrl, const std::string& hostHeader, bool secure,
                      const std::string& listenAddress) {
  std::string base;
  if (!publicUrl.empty()) {
    base = publicUrl;
    const auto colon = base.find("://");
    std::string scheme = colon == std::string::npos ? "" : base.substr(0, colon);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string rest = colon == std::string::npos ? base : base.substr(colon + 3);
    if (scheme == "https" || scheme == "wss") {
      base = "wss://" + rest;
    } else if (scheme == "http" || scheme == "ws") {
      base = "ws://" + rest;
    } else {
      base = (secure ? "wss://" : "ws://") + rest;
    }
  } else {
    base = std::string(secure ? "wss://" : "ws://") +
           (isSaneHostHeader(hostHeader) ? hostHeader : listenAddress);
  }
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

CloudApi::CloudApi(Store& store, Settings settings)
    : store_(store),
      settings_(std::move(settings)),
      enrollLimiter_(settings_.limits.enrollPerAddress),
      pollLimiter_(settings_.limits.pollPerAddress),
      relayTokenLimiter_(settings_.limits.relayTokensPerHost),
      ticketLimiter_(settings_.limits.ticketsPerAccount),
      claimLimiter_(settings_.limits.claimsPerAccount) {}

ApiResponse CloudApi::handle(const ApiRequest& request) {
  try {
    return dispatch(request);
  } catch (const std::exception& e) {
    // The path only: a query may carry a ticket.
    const std::string path = request.target.substr(0, request.target.find('?'));
    logEvent("request failed: " + request.method + " " + quote(path) + ": " + e.what());
    return apiError(500, "internal", "The service could not complete the request");
  }
}

std::optional<ApiResponse> CloudApi::limited(RateLimiter& limiter, const std::string& key,
                                             std::string_view what) {
  const auto wait = limiter.take(key, settings_.now());
  if (!wait) return std::nullopt;
  const double seconds = std::max(1.0, std::ceil(*wait));
  logEvent("rate limited: " + std::string(what) + " for " + key + ", retry in " +
           std::to_string(static_cast<long long>(seconds)) + " s");
  ApiResponse response = apiError(429, "rate_limited", "Too many requests; try again later");
  response.retryAfter = seconds;
  return response;
}

ApiResponse CloudApi::dispatch(const ApiRequest& request) {
  const Route r = route(request.method, request.target);
  if (r.endpoint == Endpoint::unknown) return apiError(404, "not_found", "No such endpoint");
  if (!r.methodAllowed) {
    ApiResponse response = apiError(405, "method_not_allowed", "This endpoint takes " + r.allow);
    response.allow = r.allow;
    return response;
  }
  if (isWebSocketEndpoint(r.endpoint)) {
    return apiError(426, "upgrade_required", "This endpoint takes a WebSocket connection");
  }
  if (r.endpoint == Endpoint::health) {
    ApiResponse response;
    // "service" tells the browser client, loaded from this origin, that it talks to the
    // service rather than to a host.
    response.body = json::object{{"ok", true}, {"service", "nimbrel-cloud"}};
    return response;
  }

  std::string why;
  const auto body = parseBody(request.body, &why);
  if (!body) return apiError(400, "bad_json", why);

  const auto token = bearerToken(request.authorization);
  switch (r.endpoint) {
    case Endpoint::enroll:
      if (auto refusal =
              limited(enrollLimiter_, addressKey(request.clientAddress), "enrolment")) {
        return *refusal;
      }
      return enroll(request, *body);
    case Endpoint::enrollPoll:
      if (auto refusal =
              limited(pollLimiter_, addressKey(request.clientAddress), "enrolment polls")) {
        return *refusal;
      }
      return poll(*body);
    case Endpoint::relayToken:
    case Endpoint::leave: {
      const auto host = token ? store_.hostByToken(tokenHash(*token)) : std::nullopt;
      if (!host) return unauthorized("host token");
      if (r.endpoint == Endpoint::relayToken) return relayToken(request, *host, *body);
      store_.removeHost(host->id, 0, settings_.now());
      logEvent("host " + host->id + " " + quote(host->name) + " left its account");
      ApiResponse response;
      response.status = 204;
      response.cutOff = {host->id};
      return response;
    }
    default:
      break;
  }
  const auto account = token ? store_.accountByToken(tokenHash(*token)) : std::nullopt;
  if (!account) return unauthorized("account token");
  switch (r.endpoint) {
    case Endpoint::claim:
      if (auto refusal = limited(claimLimiter_, "account " + account->name, "claims")) {
        return *refusal;
      }
      return claim(*account, *body);
    case Endpoint::listHosts:
      return listHosts(*account);
    case Endpoint::removeHost:
      return removeHost(*account, r.id);
    case Endpoint::hostTicket:
      if (auto refusal = limited(ticketLimiter_, "account " + account->name, "tickets")) {
        return *refusal;
      }
      return ticket(request, *account, r.id);
    default:
      return apiError(404, "not_found", "No such endpoint");
  }
}

ApiResponse CloudApi::enroll(const ApiRequest& request, const json::object& body) {
  const auto localId = textField(body, "local_id", 128, std::nullopt);
  const auto name = textField(body, "name", 200, std::string());
  const auto os = textField(body, "os", 32, std::string());
  const auto version = textField(body, "version", 64, std::string());
  const auto presented = textField(body, "host_token", 512, std::string());
  if (!localId || localId->empty()) return badRequest("\"local_id\" must be text of 1 to 128 bytes");
  if (!name || !os || !version) {
    return badRequest("\"name\", \"os\" and \"version\" must be short texts");
  }
  if (!presented) return badRequest("\"host_token\" must be text");
  const double now = settings_.now();
  const double lifetime = settings_.limits.codeLifetime;
  NewEnrolment enrolment{{}, {}, *localId, name->empty() ? *localId : *name, *os, *version,
                         request.clientAddress, now, now + lifetime, {}};
  // A computer enrolling again while it holds its host token proves which host it is; a claim
  // of this enrolment may then take that host's place. The token itself is not kept.
  std::string proof;
  if (!presented->empty()) {
    const auto proven = store_.hostByToken(tokenHash(*presented));
    if (proven && proven->localId == *localId) {
      enrolment.provenHostId = proven->id;
      proof = ", proved to be host " + proven->id;
    } else {
      proof = ", its host token proves nothing (enrolled as a new computer)";
    }
  }
  const std::string pollToken = randomToken();
  enrolment.pollHash = tokenHash(pollToken);
  bool stored = false;
  for (int attempt = 0; attempt < 8 && !stored; ++attempt) {
    enrolment.code = newClaimCode();
    stored = store_.addEnrolment(enrolment);
  }
  if (!stored) return apiError(503, "busy", "No claim code could be issued; try again");
  logEvent("enrolment started: " + quote(enrolment.name) + " (local id " +
           quote(enrolment.localId) + ", " + quote(enrolment.os) + ") from " +
           request.clientAddress + proof);
  ApiResponse response;
  response.body = json::object{{"code", enrolment.code},
                               {"poll_token", pollToken},
                               {"interval", number(settings_.limits.pollInterval)},
                               {"expires_in", std::llround(lifetime)}};
  return response;
}

ApiResponse CloudApi::poll(const json::object& body) {
  const auto pollToken = textField(body, "poll_token", 512, std::nullopt);
  if (!pollToken || pollToken->empty()) return badRequest("\"poll_token\" must be text");
  const std::string hostToken = randomToken();
  const PollResult result =
      store_.pollEnrolment(tokenHash(*pollToken), tokenHash(hostToken), settings_.now());
  ApiResponse response;
  switch (result.state) {
    case PollResult::State::pending:
      response.status = 202;
      response.body = json::object{{"status", "pending"}};
      return response;
    case PollResult::State::unknown:
    case PollResult::State::expired:
      return apiError(410, "expired", "The claim code has expired; enrol again");
    case PollResult::State::claimed:
      break;
  }
  logEvent("enrolled: host " + result.host.id + " " + quote(result.host.name) +
           " received its token (account " + quote(result.account.name) + ")");
  // An account without an email is named by its name alone: an empty "email" would stand
  // in for the name on the host's screen.
  json::object account{{"name", result.account.name}};
  if (!result.account.email.empty()) account["email"] = result.account.email;
  response.body = json::object{
      {"host_id", result.host.id}, {"host_token", hostToken}, {"account", std::move(account)}};
  return response;
}

ApiResponse CloudApi::relayToken(const ApiRequest& request, const HostRecord& host,
                                 const json::object& body) {
  if (auto refusal = limited(relayTokenLimiter_, "host " + host.id, "relay tokens")) {
    return *refusal;
  }
  const auto name = textField(body, "name", 200, std::string());
  const auto version = textField(body, "version", 64, std::string());
  if (!name || !version) return badRequest("\"name\" and \"version\" must be short texts");
  const double now = settings_.now();
  store_.touchHost(host.id, *name, *version, now);
  const std::string token = randomToken();
  const double lifetime = settings_.limits.relayTokenLifetime;
  store_.addRelayToken(tokenHash(token), host.id, now + lifetime);
  ApiResponse response;
  response.body = json::object{
      {"relay_url", relayBase(settings_.publicUrl, request.host, request.secure,
                              settings_.listenAddress)},
      {"token", token},
      {"expires_in", std::llround(lifetime)}};
  return response;
}

ApiResponse CloudApi::claim(const Account& account, const json::object& body) {
  const auto typed = textField(body, "code", 64, std::nullopt);
  const auto code = typed ? normaliseClaimCode(*typed) : std::nullopt;
  if (!code) return apiError(400, "bad_code", "That is not a claim code (XXXX-XXXX)");
  const ClaimResult result = store_.claim(*code, account.id, newHostId(), settings_.now());
  switch (result.state) {
    case ClaimResult::State::unknown:
      return apiError(404, "unknown_code", "No computer is waiting with that code");
    case ClaimResult::State::expired:
      return apiError(410, "expired", "That code has expired; the computer shows a new one");
    case ClaimResult::State::taken:
      return apiError(409, "already_claimed", "That code has been used already");
    case ClaimResult::State::claimed:
      break;
  }
  for (const auto& old : result.replacedHostIds) {
    logEvent("host " + old + " removed: replaced by a new enrolment of the same computer");
  }
  for (const auto& other : result.keptHostIds) {
    logEvent("host " + other + " kept: the new enrolment shares its local id but did not prove "
             "to be that computer");
  }
  logEvent("claimed: host " + result.host.id + " " + quote(result.host.name) +
           " into account " + quote(account.name));
  ApiResponse response;
  response.body = json::object{{"host_id", result.host.id},
                               {"name", result.host.name},
                               {"local_id", result.host.localId}};
  response.cutOff = result.replacedHostIds;
  return response;
}

ApiResponse CloudApi::listHosts(const Account& account) {
  json::array list;
  for (const HostRecord& host : store_.hosts(account.id)) {
    list.push_back(json::object{{"id", host.id},
                                {"local_id", host.localId},
                                {"name", host.name},
                                {"os", host.os},
                                {"version", host.version},
                                {"online", settings_.isOnline && settings_.isOnline(host.id)},
                                {"last_seen", std::llround(host.lastSeen)}});
  }
  ApiResponse response;
  response.body = json::object{{"hosts", std::move(list)}};
  return response;
}

ApiResponse CloudApi::removeHost(const Account& account, const std::string& hostId) {
  if (!isHostId(hostId) || !store_.removeHost(hostId, account.id, settings_.now())) {
    return apiError(404, "not_found", "This account has no such computer");
  }
  logEvent("host " + hostId + " removed by account " + quote(account.name));
  ApiResponse response;
  response.status = 204;
  response.cutOff = {hostId};
  return response;
}

ApiResponse CloudApi::ticket(const ApiRequest& request, const Account& account,
                             const std::string& hostId) {
  const auto host = isHostId(hostId) ? store_.host(hostId) : std::nullopt;
  if (!host || host->accountId != account.id) {
    return apiError(404, "not_found", "This account has no such computer");
  }
  const std::string ticket = randomToken();
  const double lifetime = settings_.limits.ticketLifetime;
  store_.addTicket(tokenHash(ticket), host->id, account.id, settings_.now() + lifetime);
  const std::string base =
      relayBase(settings_.publicUrl, request.host, request.secure, settings_.listenAddress);
  ApiResponse response;
  response.body = json::object{{"ticket", ticket},
                               {"expires_in", std::llround(lifetime)},
                               {"url", base + "/v2/client/" + host->id + "?ticket=" + ticket},
                               {"online", settings_.isOnline && settings_.isOnline(host->id)}};
  return response;
}

Credential CloudApi::relayCredential(const std::string& token) {
  return store_.relayToken(tokenHash(token), settings_.now());
}

Credential CloudApi::useTicket(const std::string& ticket) {
  return store_.takeTicket(tokenHash(ticket), settings_.now());
}

}  // namespace nimbrel::cloud
