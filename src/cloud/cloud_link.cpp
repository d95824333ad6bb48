#include "cloud/cloud_link.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/strand.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <cmath>

#include "base/clock.hpp"
#include "base/log.hpp"
#include "net/task_completion.hpp"

// g++ 12 reports Asio's coroutine frame allocator as mismatched new/delete (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace nimbrel {

namespace json = boost::json;

namespace {

std::string textAt(const json::object& object, std::string_view key) {
  const json::value* value = object.if_contains(key);
  return value && value->is_string() ? std::string(value->get_string()) : std::string();
}

std::optional<double> numberAt(const json::object& object, std::string_view key) {
  const json::value* value = object.if_contains(key);
  if (!value || !value->is_number()) return std::nullopt;
  return value->to_number<double>();
}

// The account a claim names: its "email", else its "name", or the text itself. An empty email
// names nobody.
std::string accountOf(const json::object& body) {
  const json::value* account = body.if_contains("account");
  if (!account) return {};
  if (account->is_string()) return std::string(account->get_string());
  if (!account->is_object()) return {};
  const json::object& object = account->get_object();
  if (std::string email = textAt(object, "email"); !email.empty()) return email;
  return textAt(object, "name");
}

void systemLog(const std::string& text) { logLine(LogChannel::subsystem, text); }

}  // namespace

std::shared_ptr<CloudLink> CloudLink::create(asio::any_io_executor executor, CloudAPI api,
                                             Callbacks callbacks, Settings settings,
                                             Timing timing) {
  return std::make_shared<CloudLink>(Private{}, std::move(executor), std::move(api),
                                     std::move(callbacks), std::move(settings), std::move(timing));
}

CloudLink::CloudLink(Private, asio::any_io_executor executor, CloudAPI api, Callbacks callbacks,
                     Settings settings, Timing timing)
    : strand_(asio::make_strand(executor)),
      api_(std::move(api)),
      callbacks_(std::move(callbacks)),
      silent_{callbacks_.currentConfig, [](Status) {}, [](const std::optional<std::string>&) {},
              [](const std::string&, const std::string&, const std::string&) {}, [] {},
              callbacks_.onSession},
      settings_(std::move(settings)),
      timing_(std::move(timing)),
      nudge_(AsyncEvent::create(strand_)),
      stopEvent_(AsyncEvent::create(strand_)) {
  if (!timing_.now) timing_.now = uptimeSeconds;
  if (!timing_.sleep) {
    timing_.sleep = [stop = stopEvent_](double seconds) -> asio::awaitable<void> {
      return [](std::shared_ptr<AsyncEvent> event, double s) -> asio::awaitable<void> {
        co_await event->wait(s);
      }(stop, seconds);
    };
  }
  if (!timing_.waitNudge) {
    timing_.waitNudge = [](AsyncEvent& nudge, double seconds) { return nudge.wait(seconds); };
  }
}

void CloudLink::kick(const std::optional<std::string>& reason) {
  std::shared_ptr<WebSocketTransport> control;
  {
    const std::lock_guard guard(lock_);
    control = control_;
  }
  if (reason) systemLog(*reason + "; reconnecting to the relay");
  nudge_->set();
  if (control) control->close();
}

void CloudLink::stop() {
  stopped_ = true;
  stopEvent_->set();
  kick();
}

asio::awaitable<void> runCloudLink(std::shared_ptr<CloudLink> link) { co_await link->run(); }

asio::awaitable<void> CloudLink::run() {
  double backoff = 1;
  while (!stopped_) {
    nudge_->reset();
    const CloudIdentity identity = co_await callbacks_.currentConfig();
    if (stopped_) break;
    if (!identity.enrolled) {
      co_await enrolmentPhase();
      continue;
    }
    const Outcome outcome = co_await relayRound(identity);
    if (stopped_) break;
    switch (outcome.result) {
      case RoundResult::againFresh:
        backoff = 1;
        break;
      case RoundResult::again:
        break;
      case RoundResult::rateLimited:
        co_await sleep(rateLimitPause(outcome.retryAfter, settings_.maxRetryAfter));
        break;
      case RoundResult::shortPause:
        backoff = co_await timing_.waitNudge(*nudge_, 1) ? 1 : 2;
        break;
      case RoundResult::backOff:
        if (holdOff_) {
          // Two computers with one identity would take each other's place for ever; a kick
          // (woke from sleep, network changed) still ends the wait as it ends any other.
          backoff = co_await timing_.waitNudge(*nudge_, 30) ? 1 : 30;
        } else {
          backoff = nextBackoff(backoff, co_await timing_.waitNudge(*nudge_, backoff));
        }
        break;
    }
  }
}

asio::awaitable<void> CloudLink::enrolmentPhase() {
  double retry = 5;
  while (!stopped_) {
    const CloudIdentity identity = co_await callbacks_.currentConfig();
    if (identity.enrolled || stopped_) co_return;
    if (claim_ && now() < claimDeadline_) {
      co_await sleep(pollDelay(numberAt(*claim_, "interval"), now() - claimStart_,
                               settings_.pollSchedule));
      if (stopped_) co_return;
      if (co_await poll()) co_return;
      continue;
    }
    std::optional<json::object> answer;
    try {
      answer = co_await api_.enroll(identity.hostID, identity.name, identity.hostToken);
    } catch (const CloudHTTPError& error) {
      if (error.status() == 0 && !insecureApiLogged_) {
        insecureApiLogged_ = true;
        systemLog(std::string("Cloud unavailable: ") + error.what());
      }
    } catch (const std::exception&) {
    }
    if (stopped_) co_return;
    if (!answer) {
      report().onClaimCode(std::nullopt);
      report().onStatus(Status::unavailable);
      co_await sleep(retry);
      retry = nextEnrolRetry(retry);
      claim_.reset();
      continue;
    }
    claim_ = std::move(*answer);
    claimStart_ = now();
    claimDeadline_ = claimStart_ + numberAt(*claim_, "expires_in").value_or(600);
    const std::string code = textAt(*claim_, "code");
    report().onClaimCode(code.empty() ? std::nullopt : std::optional<std::string>(code));
    report().onStatus(Status::waitingForClaim);
    retry = 5;
    co_await sleep(pollDelay(numberAt(*claim_, "interval"), now() - claimStart_,
                             settings_.pollSchedule));
    if (stopped_) co_return;
    if (co_await poll()) co_return;
  }
}

asio::awaitable<bool> CloudLink::poll() {
  const std::string pollToken = textAt(*claim_, "poll_token");
  if (pollToken.empty()) co_return false;
  CloudAPI::Poll answer{CloudAPI::PollState::pending, {}};
  try {
    answer = co_await api_.pollEnrollment(pollToken);
  } catch (const std::exception&) {
    co_return false;  // the claim stays; the next poll follows the schedule
  }
  switch (answer.state) {
    case CloudAPI::PollState::pending:
      co_return false;
    case CloudAPI::PollState::expired:
      claim_.reset();
      co_return false;
    case CloudAPI::PollState::claimed:
      break;
  }
  const json::value* hostID = answer.body.if_contains("host_id");
  const json::value* hostToken = answer.body.if_contains("host_token");
  if (!hostID || !hostID->is_string() || !hostToken || !hostToken->is_string()) co_return false;
  claim_.reset();
  report().onClaimCode(std::nullopt);
  report().onEnrolled(std::string(hostID->get_string()), std::string(hostToken->get_string()),
                        accountOf(answer.body));
  co_return true;
}

asio::awaitable<CloudLink::Outcome> CloudLink::relayCredentials(const CloudIdentity& identity,
                                                                bool* reused) {
  if (grant_ && grantReusable(grant_->hostToken, grant_->expires, identity.hostToken, now(),
                              settings_.tokenRefreshMargin)) {
    *reused = true;
    co_return Outcome{RoundResult::again, std::nullopt};
  }
  grant_.reset();
  try {
    const CloudAPI::RelayCredentials credentials =
        co_await api_.relayToken(identity.hostToken, identity.name);
    grant_ = Grant{identity.hostToken, credentials.url, credentials.token,
                   now() + credentials.lifetime};
    co_return Outcome{RoundResult::again, std::nullopt};
  } catch (const CloudHTTPError& error) {
    if (error.status() == 429) {
      const double seconds = rateLimitPause(error.retryAfter(), settings_.maxRetryAfter);
      systemLog("relay token rate limited; retrying in " +
                std::to_string(static_cast<long long>(seconds)) + " s");
      report().onStatus(Status::offline);
      co_return Outcome{RoundResult::rateLimited, error.retryAfter()};
    }
    if (error.status() == 401) {
      systemLog("this computer was removed from its account; showing a new QR code");
      report().onRemoved();
      co_return Outcome{RoundResult::again, std::nullopt};
    }
  } catch (const std::exception&) {
  }
  report().onStatus(Status::offline);
  co_return Outcome{RoundResult::backOff, std::nullopt};
}

asio::awaitable<CloudLink::Outcome> CloudLink::relayRound(const CloudIdentity& identity) {
  bool reused = false;
  if (const Outcome credentials = co_await relayCredentials(identity, &reused); !grant_) {
    co_return credentials;
  }
  const Grant grant = *grant_;
  const std::string base(trimSlashes(grant.url));
  const std::string url = base + "/v2/host";
  // The relay token never travels in the clear.
  if (!urlMayCarryTokens(url)) {
    systemLog("refusing the relay at " + base + ": it must use wss (plain ws only to this computer)");
    report().onStatus(Status::offline);
    co_return Outcome{RoundResult::backOff, std::nullopt};
  }
  const WebSocketTransport::Headers headers{{"Authorization", "Bearer " + grant.token}};
  auto control = WebSocketTransport::dial(strand_, url, "relay", headers, settings_.tls);
  if (!control) co_return Outcome{RoundResult::backOff, std::nullopt};
  try {
    co_await control->open(settings_.openTimeout);
  } catch (const std::exception&) {
    report().onStatus(Status::offline);
    co_return Outcome{RoundResult::backOff, std::nullopt};
  }
  {
    const std::lock_guard guard(lock_);
    control_ = control;
  }
  if (stopped_) control->close();
  report().onStatus(Status::online);
  systemLog("relay connected (" + base + ")");

  const auto over = AsyncEvent::create(strand_);
  spawnLogged(strand_, keepAlive(shared_from_this(), control, over), "the relay keep-alive");
  for (;;) {
    try {
      const WebSocketTransport::Message message = co_await control->receiveFrame();
      onControlMessage(message, base, grant.token);
    } catch (const std::exception&) {
      break;
    }
  }
  control->close();
  report().onStatus(Status::offline);
  over->set();
  {
    const std::lock_guard guard(lock_);
    if (control_ == control) control_.reset();
  }
  const auto code = control->closeCode();
  if (code == 4409) {
    systemLog("another copy of this computer connected to the relay");
    holdOff_ = noteConflict();
  } else {
    conflicts_.clear();
    holdOff_ = false;
  }
  if (code == 4401) grant_.reset();
  if (code == 4410) {
    systemLog("relay access revoked; checking with Nimbrel Cloud");
    grant_.reset();
  }
  co_return Outcome{afterControlClosed(code, reused), std::nullopt};
}

bool CloudLink::noteConflict() {
  const double t = now();
  conflicts_.push_back(t);
  std::erase_if(conflicts_, [t](double at) { return at < t - 60; });
  if (conflicts_.size() < 3) return false;
  if (!conflictLogged_) {
    conflictLogged_ = true;
    systemLog("another computer uses this host's identity (a copied configuration?); "
              "backing off instead of taking its place");
  }
  return true;
}

void CloudLink::onControlMessage(const WebSocketTransport::Message& message,
                                 const std::string& base, const std::string& token) {
  const std::string_view text =
      message.kind == WebSocketTransport::Message::Kind::text
          ? std::string_view(message.text)
          : std::string_view(reinterpret_cast<const char*>(message.data.data()),
                             message.data.size());
  boost::system::error_code error;
  const json::value parsed = json::parse(text, error);
  if (error || !parsed.is_object()) return;
  const json::object& object = parsed.get_object();
  if (textAt(object, "t") != "incoming") return;
  const json::value* sid = object.if_contains("sid");
  if (!sid || !sid->is_string()) return;
  // However fast announcements come, only so many session sockets are dialled at once.
  if (dialling_ >= settings_.maxSessionDials) {
    if (refusedDials_++ == 0) {
      systemLog("relay session refused: " + std::to_string(dialling_) +
                " sessions are opening already");
    }
    return;
  }
  WebSocketTransport::Headers headers{{"Authorization", "Bearer " + token}};
  if (auto instance = safeHeaderValue(textAt(object, "instance"))) {
    headers["fly-force-instance-id"] = *instance;
  }
  const std::string url = base + "/v2/host/session/" + pathSegment(sid->get_string());
  ++dialling_;
  spawnLogged(strand_, acceptSession(shared_from_this(), url, std::move(headers)),
              "a relayed session's opening");
}

void CloudLink::dialDone() {
  --dialling_;
  if (refusedDials_ > 0 && dialling_ < settings_.maxSessionDials) {
    systemLog("relay sessions open again; " + std::to_string(refusedDials_) +
              (refusedDials_ == 1 ? " announcement was" : " announcements were") +
              " refused meanwhile");
    refusedDials_ = 0;
  }
}

// The unnamed first parameters hold the link: a coroutine keeps its own copy of every parameter.
asio::awaitable<void> CloudLink::acceptSession(std::shared_ptr<CloudLink>, std::string url,
                                               WebSocketTransport::Headers headers) {
  // The dial's place is given back however this ends, a throw included.
  struct DialPlace {
    CloudLink* link;
    ~DialPlace() { link->dialDone(); }
  } place{this};
  std::shared_ptr<WebSocketTransport> transport;
  try {
    transport =
        WebSocketTransport::dial(strand_, url, "relay-session", std::move(headers), settings_.tls);
    if (!transport) co_return;
    co_await transport->open(settings_.openTimeout);
  } catch (const std::exception& error) {
    systemLog(std::string("relay session failed: ") + error.what());
    co_return;
  }
  callbacks_.onSession(std::move(transport));
}

asio::awaitable<void> CloudLink::keepAlive(std::shared_ptr<CloudLink>,
                                           std::shared_ptr<WebSocketTransport> control,
                                           std::shared_ptr<AsyncEvent> over) {
  for (;;) {
    if (co_await over->wait(settings_.keepAliveInterval)) co_return;
    try {
      co_await control->ping(settings_.pingTimeout);
    } catch (const std::exception&) {
      control->close();  // ends the receive loop
      co_return;
    }
  }
}

}  // namespace nimbrel
