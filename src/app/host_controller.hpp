#pragma once

#include <boost/asio/any_io_executor.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.hpp"
#include "app/host_config.hpp"

namespace nimbrel {

namespace asio = boost::asio;

class DirectServer;
class WebSocketTransport;

// The one object that runs the host: the direct listener, the cloud link and the sessions it
// turns every accepted connection into, and the state the user interface shows.
//
// Confined to its strand (the "main actor"): construct it, then call everything through
// post(executor(), ...) or from code already running there.
class HostController : public std::enable_shared_from_this<HostController> {
  struct Private {};

 public:
  using Options = HostOptions;
  enum class CloudStatus { starting, waitingForClaim, unavailable, online, offline };

  // `io` runs the listener and the sessions; `workers` the input, clipboard and encode work.
  static std::shared_ptr<HostController> create(asio::any_io_executor io,
                                                asio::any_io_executor workers, Options options);
  HostController(Private, asio::any_io_executor io, asio::any_io_executor workers,
                 Options options);
  ~HostController();

  const asio::any_io_executor& executor() const { return strand_; }

  void start();
  void stop();

  // Diagnostic line (to standard output too when headless; the entry installs that).
  void log(const std::string& text);

  // The pairing-link block on standard output, when headless.
  void printPairingLink();

  const HostConfig& config() const { return config_; }
  const std::string& listenerState() const { return listenerState_; }
  CloudStatus cloudStatus() const { return cloudStatus_; }
  const std::vector<std::string>& sessions() const { return sessions_; }
  bool running() const { return running_; }

 private:
  void makeSession(std::shared_ptr<WebSocketTransport> transport,
                   std::optional<std::string> relayLabel);
  void startCloud();
  void setCloudStatus(CloudStatus status);

  const asio::any_io_executor io_;
  const asio::any_io_executor strand_;
  const asio::any_io_executor workers_;
  const Options options_;
  HostConfig config_;
  std::string listenerState_ = "starting";
  CloudStatus cloudStatus_ = CloudStatus::starting;
  std::optional<std::string> claimCode_;
  std::vector<std::string> sessions_;
  std::shared_ptr<DirectServer> server_;
  bool running_ = false;
};

// The host's version: "1.0.0" unless the build says otherwise.
const char* hostVersion();

}  // namespace nimbrel
