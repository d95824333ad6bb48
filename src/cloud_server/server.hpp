#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "cloud_server/limits.hpp"
#include "cloud_server/rate_limiter.hpp"
#include "cloud_server/relay.hpp"
#include "cloud_server/store.hpp"

namespace boost::asio {
class thread_pool;
namespace ssl {
class context;
}
}  // namespace boost::asio

namespace nimbrel::cloud {

class CloudApi;
struct ApiResponse;

// The service: one HTTP(S) listener for the API and the relay's WebSockets. Network work runs
// on a strand of the given executor; every store call runs on a worker thread of the server's
// own, so that a disk sync never holds up the network.
//
// Open connections are capped per address and in all; relay upgrades that keep failing are
// refused for a while, per address and in all (Limits).
class CloudServer : public std::enable_shared_from_this<CloudServer> {
  struct Private {};

 public:
  struct Options {
    std::string listen = "127.0.0.1:0";  // ADDRESS:PORT, "[::1]:0" for IPv6
    std::string publicUrl;               // how clients reach the service, if not as listened
    std::shared_ptr<boost::asio::ssl::context> tls;  // TLS when set
    Limits limits;
    std::function<double()> now;  // seconds since the epoch; the system clock when empty
  };

  static std::shared_ptr<CloudServer> create(boost::asio::any_io_executor executor,
                                             std::unique_ptr<Store> store, Options options);
  CloudServer(Private, boost::asio::any_io_executor executor, std::unique_ptr<Store> store,
              Options options);
  ~CloudServer();

  // Binds and starts serving. Throws std::runtime_error with the reason when it cannot listen.
  void start();

  // Stops listening, closes every WebSocket with 1001 and calls `done` (on the strand) once
  // they and the requests being answered have finished, or after the close time-out.
  void stop(std::function<void()> done);

  std::uint16_t port() const { return port_.load(); }
  RelayStats relayStats() const;

 private:
  struct Listener;
  class Admissions;
  template <typename Stream>
  friend class Connection;

  asio::awaitable<void> acceptLoop(std::shared_ptr<Listener> listener);
  asio::awaitable<void> housekeeping();
  void connectionStarted();
  void connectionEnded();
  void finishStop();

  // Failed relay upgrades, counted by address key (on the strand). upgradesRefused() is the
  // answer for an address, or for everyone, that failed too often lately; each spell of
  // refusals is logged once.
  std::optional<ApiResponse> upgradesRefused(const std::string& key);
  void upgradeFailed(const std::string& key);

  asio::any_io_executor strand_;
  std::unique_ptr<boost::asio::thread_pool> worker_;
  std::unique_ptr<Store> store_;
  Options options_;
  std::unique_ptr<CloudApi> api_;
  Relay relay_;
  std::shared_ptr<Admissions> admissions_;
  int refusing_ = 0;  // on the strand: over-cap connections being answered
  RateLimiter failedUpgradesByAddress_;
  RateLimiter failedUpgrades_;
  std::map<std::string, double> refusalLogged_;  // on the strand: key -> end of its spell
  std::shared_ptr<Listener> listener_;
  std::atomic<std::uint16_t> port_{0};
  std::string listenAddress_;
  int liveConnections_ = 0;  // on the strand: WebSockets and requests being answered
  bool stopping_ = false;
  std::function<void()> onStopped_;
  asio::steady_timer housekeepingTimer_;
  asio::steady_timer stopTimer_;
  std::int64_t externalChanges_ = -1;  // on the worker
  double lastPurge_ = 0;               // on the worker
};

}  // namespace nimbrel::cloud
