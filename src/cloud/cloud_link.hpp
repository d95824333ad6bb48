#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cloud/cloud_api.hpp"
#include "cloud/link_schedule.hpp"
#include "net/async_event.hpp"
#include "net/websocket_transport.hpp"

namespace nimbrel {

// What the link needs of the host's configuration, read at the top of every round.
struct CloudIdentity {
  std::string hostID;
  std::string name;
  std::string hostToken;
  bool enrolled = false;
};

// Makes the host reachable through the cloud: while not enrolled it gets a claim code,
// publishes it and polls until the owner claims the host; while enrolled it keeps one relay
// control connection open and hands every relayed client connection over. One long-lived loop
// with pacing, back-off and rate-limit pauses; kicks (woke from sleep, network changed) end a
// wait early and reconnect.
//
// Runs on its own strand (`executor()`); kick() and stop() may be called from any thread. The
// callbacks are called on the link's strand, in order; the controller's hop to its own.
class CloudLink : public std::enable_shared_from_this<CloudLink> {
  struct Private {};

 public:
  enum class Status { starting, waitingForClaim, unavailable, online, offline };

  struct Callbacks {
    std::function<asio::awaitable<CloudIdentity>()> currentConfig;
    std::function<void(Status)> onStatus;
    std::function<void(const std::optional<std::string>& code)> onClaimCode;
    std::function<void(const std::string& cloudID, const std::string& hostToken,
                       const std::string& account)>
        onEnrolled;
    std::function<void()> onRemoved;
    // An open relayed client connection.
    std::function<void(std::shared_ptr<WebSocketTransport>)> onSession;
  };

  struct Settings {
    std::vector<PollStep> pollSchedule = kDefaultPollSchedule;
    double tokenRefreshMargin = 600;
    double maxRetryAfter = 900;
    double openTimeout = 15;        // the relay's sockets
    double keepAliveInterval = 15;  // a ping this often on the control connection...
    double pingTimeout = 20;        // ...answered within this
    // Relayed session sockets being opened at once; announcements beyond are refused.
    int maxSessionDials = 8;
    std::shared_ptr<asio::ssl::context> tls;  // for wss; the system's CA store when null
  };

  // The link's time: uptime seconds, a plain sleep (ended early only by stop) and a wait on the
  // nudge event (true when it was set). Empty members get the real ones; tests drive their own.
  struct Timing {
    std::function<double()> now;
    std::function<asio::awaitable<void>(double seconds)> sleep;
    std::function<asio::awaitable<bool>(AsyncEvent& nudge, double seconds)> waitNudge;
  };

  static std::shared_ptr<CloudLink> create(asio::any_io_executor executor, CloudAPI api,
                                           Callbacks callbacks, Settings settings,
                                           Timing timing);
  CloudLink(Private, asio::any_io_executor executor, CloudAPI api, Callbacks callbacks,
            Settings settings, Timing timing);

  const asio::any_io_executor& executor() const { return strand_; }

  // The whole life of the link; spawn runCloudLink(link) on executor(), which keeps the link
  // alive while it runs. Returns once stopped.
  asio::awaitable<void> run();

  // Re-establishes the relay control connection now; a reason is logged.
  void kick(const std::optional<std::string>& reason = std::nullopt);

  // Ends every wait; run() returns at its next check. The relayed sessions go on.
  void stop();
  bool stopped() const { return stopped_; }

 private:
  struct Grant {
    std::string hostToken;
    std::string url;
    std::string token;
    double expires = 0;
  };
  struct Outcome {
    RoundResult result;
    std::optional<double> retryAfter;
  };

  asio::awaitable<void> enrolmentPhase();
  // True once the host was claimed.
  asio::awaitable<bool> poll();
  asio::awaitable<Outcome> relayRound(const CloudIdentity& identity);
  asio::awaitable<Outcome> relayCredentials(const CloudIdentity& identity, bool* reused);
  void onControlMessage(const WebSocketTransport::Message& message, const std::string& base,
                        const std::string& token);
  // Spawned beside the loop, each holding the link (`self`) for as long as it runs.
  asio::awaitable<void> acceptSession(std::shared_ptr<CloudLink> self, std::string url,
                                      WebSocketTransport::Headers headers);
  asio::awaitable<void> keepAlive(std::shared_ptr<CloudLink> self,
                                  std::shared_ptr<WebSocketTransport> control,
                                  std::shared_ptr<AsyncEvent> over);
  // A session socket's dial has ended, opened or not (on the strand).
  void dialDone();
  // After a 4409: whether another computer keeps taking this host's place.
  bool noteConflict();

  // The callbacks while the link runs; a stopped link reports nothing more (a new link may be
  // running for the controller by then). Relayed sessions are handed over even so.
  const Callbacks& report() const { return stopped_ ? silent_ : callbacks_; }

  double now() const { return timing_.now(); }
  asio::awaitable<void> sleep(double seconds) { return timing_.sleep(seconds); }

  const asio::any_io_executor strand_;
  CloudAPI api_;
  const Callbacks callbacks_;
  const Callbacks silent_;  // every report does nothing
  const Settings settings_;
  Timing timing_;
  const std::shared_ptr<AsyncEvent> nudge_;
  const std::shared_ptr<AsyncEvent> stopEvent_;
  std::atomic<bool> stopped_{false};

  std::mutex lock_;  // guards control_
  std::shared_ptr<WebSocketTransport> control_;

  // On the strand only.
  std::optional<Grant> grant_;
  std::optional<boost::json::object> claim_;
  double claimStart_ = 0;
  double claimDeadline_ = 0;
  bool insecureApiLogged_ = false;
  std::vector<double> conflicts_;  // times of 4409 closes in a row
  bool conflictLogged_ = false;
  bool holdOff_ = false;  // another computer uses this identity: back off 30 s, no fighting
  int dialling_ = 0;      // session sockets being opened
  int refusedDials_ = 0;  // announcements refused since the dials were last below the cap
};

// Runs `link` to its end, holding it.
asio::awaitable<void> runCloudLink(std::shared_ptr<CloudLink> link);

}  // namespace nimbrel
