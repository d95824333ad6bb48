#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.hpp"
#include "app/desktop_backend.hpp"
#include "app/host_config.hpp"
#include "app/settings_store.hpp"
#include "base/version.hpp"
#include "cloud/cloud_link.hpp"

namespace nimbrel {

namespace asio = boost::asio;

class DirectServer;
class NetworkWatch;
class ResumeWatch;
class SleepInhibitor;
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
  using CloudStatus = CloudLink::Status;

  using DesktopAccess = nimbrel::DesktopAccess;

  // The system services the controller uses; empty ones get the real thing.
  struct Services {
    // The desktop the sessions share; empty: the synthetic screen for a dry run, else X11.
    DesktopBackend desktop;
    // What it allows (on X11: the display opens and has MIT-SHM and DAMAGE for the screen,
    // XTEST for input); empty: the desktop's own answer.
    std::function<DesktopAccess()> desktopAccess;
    std::shared_ptr<SleepInhibitor> inhibitor;
    std::filesystem::path settingsPath;  // settings.json, which the controller alone writes
    std::filesystem::path autostartEntry;
    std::function<void(const std::string&)> print;  // standard output
    // Called on the strand after any published field changed (what a user interface shows),
    // and after each save of the configuration.
    std::function<void()> onChange;
    double permissionPollInterval = 2.0;  // seconds
    // The cloud link's settings (its relay's TLS trust, in tests).
    CloudLink::Settings cloud;
  };

  // `io` runs the listener and the sessions; `workers` the input, clipboard and encode work.
  static std::shared_ptr<HostController> create(asio::any_io_executor io,
                                                asio::any_io_executor workers, Options options,
                                                Services services);
  static std::shared_ptr<HostController> create(asio::any_io_executor io,
                                                asio::any_io_executor workers, Options options);
  HostController(Private, asio::any_io_executor io, asio::any_io_executor workers,
                 Options options, Services services);
  ~HostController();

  const asio::any_io_executor& executor() const { return strand_; }

  void start();
  void stop();

  // Reads both permissions again: a worker asks the display, the strand applies the answer,
  // and each flag changes (and is published) only when its value did. Returns at once.
  void refreshPermissions();
  // True unless a dry run: a permission the host needs is missing.
  bool needsPermissions() const;
  bool screenRecordingOK() const { return screenRecordingOK_; }
  bool accessibilityOK() const { return accessibilityOK_; }

  // Diagnostic line (to standard output too when headless; the entry installs that).
  void log(const std::string& text);

  // The pairing-link block on standard output, when headless.
  void printPairingLink();

  // The name shown to clients and on the network; spaces around it are dropped, an empty or
  // unchanged name changes nothing.
  void rename(const std::string& newName);

  // Adds a session's row (its client has authenticated) or removes it (it ended).
  void listSession(bool listed, const std::string& entry);

  // Keep the computer from idle sleep while enrolled and running (stored for next time). The
  // setting changes once it has been saved; a failure is logged and kept in settingsProblem.
  void setKeepAwake(bool on);
  // Writes or removes the autostart entry (on a worker); launchAtLogin then says what is there.
  void setOpenAtLogin(bool on);
  // The pairing window has been seen: it no longer opens by itself at launch.
  void markPairedOnce();

  // What the cloud link reports.
  void onCloudStatus(CloudStatus status);
  void onClaimCode(const std::optional<std::string>& code);
  void onEnrolled(const std::string& cloudID, const std::string& hostToken,
                  const std::string& account);
  void onRemoved();

  // Leaves the account: the enrolment is forgotten at once and a new claim code follows; the
  // service is told in the background (again at each cloud start until it has confirmed).
  void leaveAccount();

  // Re-establishes the relay connection now (woke from sleep, network changed). Any thread.
  void kickCloud(const std::string& reason);

  const HostConfig& config() const { return config_; }
  // The pairing link as it stands: the configuration's port, or the bound one when that is 0
  // (any free port).
  std::string pairingLink() const;
  const Options& options() const { return options_; }
  const std::optional<std::string>& claimCode() const { return claimCode_; }
  bool keepAwake() const { return keepAwake_; }
  bool holdingAwake() const { return awake_; }
  bool launchAtLogin() const { return launchAtLogin_; }
  bool pairedOnce() const { return pairedOnce_; }
  // Why the last change of a setting was not saved; empty when it was.
  const std::string& settingsProblem() const { return settingsProblem_; }
  const std::string& account() const { return account_; }
  std::uint16_t listeningPort() const;
  const std::string& listenerState() const { return listenerState_; }
  CloudStatus cloudStatus() const { return cloudStatus_; }
  const std::vector<std::string>& sessions() const { return sessions_; }
  bool running() const { return running_; }
  DesktopKind desktop() const { return services_.desktop.kind; }
  bool pollingPermissions() const { return permissionTimer_.has_value(); }

 private:
  void makeSession(std::shared_ptr<WebSocketTransport> transport,
                   std::optional<std::string> relayLabel);
  void startCloud();
  void stopCloud();
  // Kicks the cloud link when the computer wakes or its network path changes.
  void watchForKicks();
  // Tells the service about a host token left behind, until it confirms.
  void confirmLeave(const CloudAPI& api);
  void forgetEnrolment();
  void applyKeepAwakeRule();
  void schedulePermissionPoll();
  void askDesktopAccess(std::function<void(HostController&, const DesktopAccess&)> then);
  void applyPermissions(const DesktopAccess& access);
  void published();
  void saveInBackground();
  // Saves one change of the user settings; `what` names it in a failure.
  void changeSettings(std::function<void(UserSettings&)> edit, const std::string& what);
  // The listener started ("listening") or failed ("failed: " and why).
  void onListenerState(const std::string& state);
  void logListenerFailure();

  const asio::any_io_executor io_;
  const asio::any_io_executor strand_;
  const asio::any_io_executor workers_;
  const asio::any_io_executor saves_;  // configuration saves, one at a time, in order
  const Options options_;
  HostConfig config_;
  std::string listenerState_ = "starting";
  CloudStatus cloudStatus_ = CloudStatus::starting;
  std::optional<std::string> claimCode_;
  std::vector<std::string> sessions_;
  std::shared_ptr<DirectServer> server_;
  std::shared_ptr<CloudLink> cloudLink_;
  std::mutex cloudLock_;  // guards cloudLink_ for kickCloud, which may come from any thread
  std::shared_ptr<NetworkWatch> networkWatch_;
  std::shared_ptr<ResumeWatch> resumeWatch_;
  bool running_ = false;
  Services services_;
  bool keepAwake_ = true;
  bool awake_ = false;  // holding the inhibitor
  bool inhibitorFailureLogged_ = false;
  bool launchAtLogin_ = false;
  bool pairedOnce_ = false;
  std::string settingsProblem_;
  std::shared_ptr<SettingsStore> settings_;
  std::string account_;
  bool screenRecordingOK_ = false;
  bool accessibilityOK_ = false;
  std::optional<asio::steady_timer> permissionTimer_;
};

}  // namespace nimbrel
