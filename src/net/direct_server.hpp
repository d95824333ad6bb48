#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/admission_gate.hpp"
#include "net/websocket_transport.hpp"

namespace nimbrel {

class DnsSdAdvertisement;

// The local-network listener: accepts TCP connections on all interfaces (IPv6 and IPv4), reads
// each one's HTTP upgrade request and hands every WebSocket connection, not yet opened, to the
// connection handler as a transport labelled "direct:" + the peer's address. Optionally
// advertises itself by DNS-SD.
//
// A request that is not a WebSocket upgrade gets a short HTTP 426 answer; a peer that has not
// sent its whole upgrade request within the upgrade time-out is dropped; an upgrade from a web
// page other than the host's own or an allowed one (the Origin header) gets 403. Listener
// failures are reported through the state handler ("listening", "failed: " + the system's
// text).
//
// Until a connection has authenticated (its transport is told so), it holds a place in an
// admission gate with a cap in all and per address; a new connection that finds no room pushes
// out a waiting one (see connectionToDrop), so strangers cannot crowd out a paired device.
//
// Thread-safety: every member may be called from any thread. Handlers are called on the
// server's strand and never after the server is gone.
class DirectServer : public std::enable_shared_from_this<DirectServer> {
  struct Private {};

 public:
  using ConnectionHandler = std::function<void(std::shared_ptr<WebSocketTransport>)>;
  using StateHandler = std::function<void(const std::string&)>;
  // Told once a start is done: the bound port, or 0 and why it failed.
  using Started = std::function<void(std::uint16_t port, const std::string& failure)>;

  // `executor` runs the listener and every accepted connection (each on a strand of its own).
  static std::shared_ptr<DirectServer> create(asio::any_io_executor executor,
                                              ConnectionHandler onConnection,
                                              AdmissionLimits limits = {});
  DirectServer(Private, asio::any_io_executor executor, ConnectionHandler onConnection,
               AdmissionLimits limits);
  ~DirectServer();

  void setStateHandler(StateHandler onStateChange);

  // Web pages besides the host's own that may open sessions ("https://example.org"); applies
  // to connections accepted from now on.
  void setAllowedOrigins(std::vector<std::string> origins);

  // Connections accepted that have not authenticated yet.
  std::size_t waitingConnections() const;

  // (Re)starts listening on `port` (0: any free port), first stopping a running listener.
  // Throws std::runtime_error("bad port " + port) when the port is outside 0 to 65535.
  void start(std::int64_t port, const std::string& name, const std::string& hostID,
             bool advertise, Started onStarted = {});

  // Stops listening and withdraws the advertisement; running connections are not touched.
  // `onStopped`, when given, is called once the listening socket is closed.
  void stop(std::function<void()> onStopped = {});

  // The bound port once listening, else 0.
  std::uint16_t localPort() const { return localPort_.load(); }

  // How long a peer has to send its upgrade request (10 s).
  void setUpgradeTimeout(double seconds) { upgradeTimeout_.store(seconds); }

 private:
  struct Listener;

  void startOnStrand(std::uint16_t port, std::string name, std::string hostID, bool advertise,
                     const Started& onStarted);
  void stopOnStrand();
  void reportState(const std::string& text);
  static asio::awaitable<void> acceptLoop(std::weak_ptr<DirectServer> weak,
                                          std::shared_ptr<Listener> listener);

  asio::any_io_executor io_;
  asio::any_io_executor strand_;
  ConnectionHandler onConnection_;
  std::mutex stateLock_;  // guards onStateChange_ and allowedOrigins_
  StateHandler onStateChange_;
  std::vector<std::string> allowedOrigins_;
  const std::shared_ptr<AdmissionGate> gate_;
  std::shared_ptr<Listener> listener_;  // on the strand
  std::unique_ptr<DnsSdAdvertisement> advertisement_;  // on the strand
  std::atomic<std::uint16_t> localPort_{0};
  std::atomic<double> upgradeTimeout_{10.0};
};

}  // namespace nimbrel
