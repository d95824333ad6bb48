#include "app/host_controller.hpp"

#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "app/pairing_link.hpp"
#include "base/graphemes.hpp"
#include "base/log.hpp"
#include "boost/await_on.hpp"
#include "cloud/http_client.hpp"
#include "net/async_event.hpp"
#include "net/direct_server.hpp"
#include "net/task_completion.hpp"
#include "net/websocket_transport.hpp"
#include "platform/network_watch.hpp"
#include "platform/sleep_inhibitor.hpp"
#include "platform/user_settings.hpp"
#include "session/host_session.hpp"

// g++ 12 reports Asio's coroutine frame allocator as mismatched new/delete (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace nimbrel {

namespace {

// How the listener's state reads once it has failed; its description follows.
const std::string kListenerFailed = "failed: ";

// Opens a direct connection and runs its session; the session lists itself once its client
// has authenticated (`listed` then says so), and is unlisted here when it ends. Runs on a
// strand of its own; the list belongs to the controller's strand.
asio::awaitable<void> runSession(std::weak_ptr<HostController> weak,
                                 asio::any_io_executor controllerStrand,
                                 std::shared_ptr<HostSession> session,
                                 std::shared_ptr<WebSocketTransport> transport, bool direct,
                                 std::string label, std::shared_ptr<std::atomic<bool>> listed) {
  if (direct) {
    try {
      co_await transport->open(10);
    } catch (const TransportError&) {
      co_return;  // never became ready: dropped without a word
    }
  }
  std::exception_ptr failure;
  try {
    co_await session->run();
  } catch (...) {
    failure = std::current_exception();  // unlisted all the same, then reported by the spawner
  }
  if (listed->load()) {
    asio::post(controllerStrand, [weak, label] {
      if (auto self = weak.lock()) self->listSession(false, label);
    });
  }
  if (failure) std::rethrow_exception(failure);
}

// The cloud link's view of the configuration, read on the controller's strand; a new,
// unsaved identity once the controller is gone.
asio::awaitable<CloudIdentity> cloudIdentityOf(std::weak_ptr<HostController> weak) {
  const HostConfig config = [&] {
    auto self = weak.lock();
    return self ? self->config() : newIdentity();
  }();
  co_return CloudIdentity{config.hostID, config.name, config.hostToken, config.enrolled()};
}

// Tells the service that this host left its account; the token is forgotten once it has.
asio::awaitable<void> confirmLeaveWith(CloudAPI api, std::string token,
                                       std::shared_ptr<SettingsStore> settings) {
  try {
    co_await api.leave(token);
  } catch (const std::exception& error) {
    logLine("Couldn't tell Nimbrel Cloud that this computer left its account (will try again): " +
            std::string(error.what()));
    co_return;
  }
  settings->change([token](UserSettings& saved) {
    if (saved.leaveToken == token) saved.leaveToken.clear();
  });
}

}  // namespace

std::shared_ptr<HostController> HostController::create(asio::any_io_executor io,
                                                       asio::any_io_executor workers,
                                                       Options options, Services services) {
  return std::make_shared<HostController>(Private{}, std::move(io), std::move(workers), options,
                                          std::move(services));
}

HostController::HostController(Private, asio::any_io_executor io, asio::any_io_executor workers,
                               Options options, Services services)
    : io_(io),
      strand_(asio::make_strand(io)),
      workers_(std::move(workers)),
      saves_(asio::make_strand(workers_)),
      options_(options),
      config_(loadConfig()),
      services_(std::move(services)),
      settings_(SettingsStore::open(
          services_.settingsPath.empty() ? userSettingsPath() : services_.settingsPath, saves_)) {
  if (!services_.inhibitor) services_.inhibitor = makeLogindInhibitor();
  if (services_.autostartEntry.empty()) services_.autostartEntry = autostartEntryPath();
  if (!services_.print) {
    services_.print = [](const std::string& text) {
      std::fwrite(text.data(), 1, text.size(), stdout);  // one write, then a flush
      std::fflush(stdout);
    };
  }
  if (!services_.desktop.makeSession) {
    services_.desktop =
        options_.dryRun ? syntheticDesktop(options_.syntheticFollowsCursor) : x11Desktop();
  }
  if (!services_.desktopAccess) services_.desktopAccess = services_.desktop.access;
  const DesktopAccess access = services_.desktopAccess();
  screenRecordingOK_ = access.screenRecording;
  accessibilityOK_ = access.accessibility;
  const UserSettings saved = settings_->saved();
  keepAwake_ = saved.keepAwake;
  pairedOnce_ = saved.pairedOnce;
  launchAtLogin_ = autostartEnabled(services_.autostartEntry);
  published();
}

std::shared_ptr<HostController> HostController::create(asio::any_io_executor io,
                                                       asio::any_io_executor workers,
                                                       Options options) {
  return create(std::move(io), std::move(workers), options, Services{});
}

std::uint16_t HostController::listeningPort() const { return server_ ? server_->localPort() : 0; }

HostController::~HostController() {
  if (server_) server_->stop();
  if (networkWatch_) networkWatch_->stop();
  if (resumeWatch_) resumeWatch_->stop();
  if (cloudLink_) cloudLink_->stop();
}

void HostController::refreshPermissions() {
  askDesktopAccess([](HostController& controller, const DesktopAccess& access) {
    controller.applyPermissions(access);
  });
}

void HostController::askDesktopAccess(
    std::function<void(HostController&, const DesktopAccess&)> then) {
  // Asking the display may wait on it: a worker asks, the strand takes the answer.
  const std::weak_ptr<HostController> weak = weak_from_this();
  asio::post(workers_, [weak, ask = services_.desktopAccess, then = std::move(then)]() mutable {
    const DesktopAccess access = ask();
    auto owner = weak.lock();
    if (!owner) return;
    asio::post(owner->strand_, [weak, access, then = std::move(then)] {
      if (auto controller = weak.lock()) then(*controller, access);
    });
  });
}

void HostController::applyPermissions(const DesktopAccess& access) {
  if (access.screenRecording == screenRecordingOK_ && access.accessibility == accessibilityOK_) {
    return;  // unchanged polls publish nothing
  }
  screenRecordingOK_ = access.screenRecording;
  accessibilityOK_ = access.accessibility;
  published();
}

bool HostController::needsPermissions() const {
  return !options_.dryRun && (!screenRecordingOK_ || !accessibilityOK_);
}

void HostController::schedulePermissionPoll() {
  permissionTimer_->expires_after(timeoutDuration(services_.permissionPollInterval));
  const std::weak_ptr<HostController> weak = weak_from_this();
  permissionTimer_->async_wait([weak](const boost::system::error_code& error) {
    auto self = weak.lock();
    if (error || !self || !self->permissionTimer_) return;
    self->askDesktopAccess([](HostController& controller, const DesktopAccess& access) {
      if (!controller.permissionTimer_) return;  // stopped meanwhile
      controller.applyPermissions(access);
      controller.schedulePermissionPoll();
    });
  });
}

void HostController::saveInBackground() {
  // The file is synced to disk: that waits on the disk, so a worker does it, in order.
  const std::weak_ptr<HostController> weak = weak_from_this();
  asio::post(saves_, [weak, config = config_, strand = strand_] {
    saveConfig(config);
    asio::post(strand, [weak] {
      if (auto self = weak.lock()) self->published();
    });
  });
}

void HostController::published() {
  if (services_.onChange) services_.onChange();
}

void HostController::log(const std::string& text) { logLine(LogChannel::controller, text); }

void HostController::start() {
  const std::weak_ptr<HostController> weak = weak_from_this();
  server_ = DirectServer::create(io_, [weak](std::shared_ptr<WebSocketTransport> transport) {
    if (auto self = weak.lock()) {
      asio::post(self->strand_, [weak, transport] {
        if (auto controller = weak.lock()) controller->makeSession(transport, std::nullopt);
      });
    }
  });
  server_->setStateHandler([weak](const std::string& state) {
    if (auto self = weak.lock()) {
      asio::post(self->strand_, [weak, state] {
        if (auto controller = weak.lock()) controller->onListenerState(state);
      });
    }
  });
  server_->setAllowedOrigins(config_.allowedOrigins);
  try {
    server_->start(config_.port, config_.name, config_.hostID, options_.advertise);
  } catch (const std::exception& e) {
    listenerState_ = kListenerFailed + e.what();
    published();
  }
  running_ = true;
  watchForKicks();
  log(std::string("Nimbrel host ") + hostVersion() + " - '" + config_.name +
      "' listening on port " + std::to_string(config_.port));
  if (listenerState_.starts_with(kListenerFailed)) logListenerFailure();
  startCloud();
  if (!options_.dryRun) {
    permissionTimer_.emplace(strand_);
    schedulePermissionPoll();
  }
  applyKeepAwakeRule();
  if (config_.port != 0) printPairingLink();
}

void HostController::onListenerState(const std::string& state) {
  listenerState_ = state;
  published();
  // Port 0 asks for any free port: the link can only be told once one is bound.
  if (state == "listening" && config_.port == 0) printPairingLink();
  if (state.starts_with(kListenerFailed)) logListenerFailure();
}

void HostController::logListenerFailure() {
  // The start line has been printed by now; without this, a host whose port is taken would be
  // taken at its word by whoever reads the log.
  log("Couldn't listen on port " + std::to_string(config_.port) + ": " +
      listenerState_.substr(kListenerFailed.size()) +
      ". Devices on this network can't connect until the port is free.");
}

void HostController::stop() {
  running_ = false;
  stopCloud();
  if (networkWatch_) networkWatch_->stop();
  if (resumeWatch_) resumeWatch_->stop();
  networkWatch_.reset();
  resumeWatch_.reset();
  if (server_) server_->stop();
  if (permissionTimer_) {
    permissionTimer_->cancel();
    permissionTimer_.reset();
  }
  applyKeepAwakeRule();
}

void HostController::applyKeepAwakeRule() {
  if (running_ && keepAwake_ && config_.enrolled()) {
    if (awake_) return;
    std::string error;
    if (services_.inhibitor->acquire("Keeping this computer reachable from anywhere through Nimbrel",
                                     error)) {
      awake_ = true;
    } else if (!inhibitorFailureLogged_) {
      inhibitorFailureLogged_ = true;
      log("Couldn't keep the computer awake: " + error);
    }
  } else if (awake_) {
    services_.inhibitor->release();
    awake_ = false;
  }
}

void HostController::changeSettings(std::function<void(UserSettings&)> edit,
                                    const std::string& what) {
  // The store writes on a worker; what it saved comes back here, and is what the menu shows.
  const std::weak_ptr<HostController> weak = weak_from_this();
  settings_->change(std::move(edit), [weak, strand = strand_, what](const UserSettings& saved,
                                                                     const std::string& error) {
    asio::post(strand, [weak, saved, error, what] {
      auto self = weak.lock();
      if (!self) return;
      self->keepAwake_ = saved.keepAwake;
      self->pairedOnce_ = saved.pairedOnce;
      self->settingsProblem_ = error.empty() ? std::string() : "Couldn't save " + what + ": " + error;
      if (!error.empty()) self->log(self->settingsProblem_);
      self->published();
      self->applyKeepAwakeRule();
    });
  });
}

void HostController::setKeepAwake(bool on) {
  changeSettings([on](UserSettings& settings) { settings.keepAwake = on; }, "Keep awake");
}

void HostController::markPairedOnce() {
  if (pairedOnce_) return;
  changeSettings([](UserSettings& settings) { settings.pairedOnce = true; }, "the settings");
}

void HostController::setOpenAtLogin(bool on) {
  // Writing the entry waits on the disk: a worker does it, the strand takes what it found.
  const std::weak_ptr<HostController> weak = weak_from_this();
  asio::post(saves_, [weak, on, entry = services_.autostartEntry, strand = strand_] {
    std::string error;
    if (!setAutostart(on, entry, currentProgram(), error)) {
      error = "Couldn't change Open at Login: " + error;
    }
    const bool enabled = autostartEnabled(entry);
    asio::post(strand, [weak, error, enabled] {
      auto self = weak.lock();
      if (!self) return;
      self->launchAtLogin_ = enabled;
      self->settingsProblem_ = error;
      if (!error.empty()) self->log(error);
      self->published();
    });
  });
}

void HostController::rename(const std::string& newName) {
  const std::string name = trimWhiteSpace(newName);
  if (name.empty() || name == config_.name) return;
  config_.name = name;
  saveInBackground();
  published();
  if (server_) {
    try {
      server_->start(config_.port, config_.name, config_.hostID, options_.advertise);
    } catch (const std::exception&) {
      // The listener keeps its state text; a rename does not report it twice.
    }
  }
}

void HostController::onCloudStatus(CloudStatus status) {
  if (status == cloudStatus_) return;
  cloudStatus_ = status;
  published();
  if (status == CloudStatus::unavailable) {
    log("Nimbrel Cloud unavailable; pairing works on this network for now.");
  } else if (status == CloudStatus::online) {
    log("Reachable from anywhere through the Nimbrel relay.");
  }
}

void HostController::onClaimCode(const std::optional<std::string>& code) {
  if (code == claimCode_) return;
  claimCode_ = code;
  published();
  if (code) printPairingLink();
}

void HostController::onEnrolled(const std::string& cloudID, const std::string& hostToken,
                                const std::string& account) {
  config_.cloudID = cloudID;
  config_.hostToken = hostToken;
  saveInBackground();
  account_ = account;
  published();
  log("Added to " + (account.empty() ? std::string("your Nimbrel account") : account) +
      ". This computer is now reachable from anywhere.");
  printPairingLink();
  applyKeepAwakeRule();
}

void HostController::onRemoved() {
  forgetEnrolment();
  log("This computer was removed from its Nimbrel account; scan the new QR code to add it again.");
  printPairingLink();
}

void HostController::forgetEnrolment() {
  config_.cloudID.clear();
  config_.hostToken.clear();
  saveInBackground();
  account_.clear();
  published();
  applyKeepAwakeRule();
}

void HostController::leaveAccount() {
  const std::string token = config_.hostToken;
  if (!token.empty()) {
    // Remembered before anything else, so that a failed request is retried at the next start.
    settings_->change([token](UserSettings& settings) { settings.leaveToken = token; });
  }
  forgetEnrolment();
  log("This computer left its Nimbrel account.");
  printPairingLink();
  startCloud();
}

void HostController::watchForKicks() {
  // Opening the system bus waits on it: a worker does it, the strand keeps the watchers.
  const std::weak_ptr<HostController> weak = weak_from_this();
  asio::post(workers_, [weak, strand = strand_] {
    auto kick = [weak](const char* reason) {
      return [weak, reason] {
        if (auto self = weak.lock()) self->kickCloud(reason);
      };
    };
    std::string networkError, resumeError;
    auto network = NetworkWatch::start(kick("network changed"), networkError);
    auto resume = ResumeWatch::start(kick("woke from sleep"), resumeError);
    if (!network) logLine("Network changes are not followed: " + networkError);
    if (!resume) logLine("Waking from sleep is not noticed: " + resumeError);
    asio::post(strand, [weak, network, resume] {
      auto self = weak.lock();
      if (!self || !self->running_) {
        if (network) network->stop();
        if (resume) resume->stop();
        return;
      }
      self->networkWatch_ = network;
      self->resumeWatch_ = resume;
    });
  });
}

void HostController::kickCloud(const std::string& reason) {
  std::shared_ptr<CloudLink> link;
  {
    const std::lock_guard guard(cloudLock_);
    link = cloudLink_;
  }
  if (link) link->kick(reason);
}

void HostController::stopCloud() {
  std::shared_ptr<CloudLink> link;
  {
    const std::lock_guard guard(cloudLock_);
    link.swap(cloudLink_);
  }
  if (link) link->stop();
}

void HostController::confirmLeave(const CloudAPI& api) {
  // Read on the saves strand, after any change queued before it (a leave just asked for).
  asio::post(saves_, [weak = weak_from_this(), api, settings = settings_, io = io_] {
    const std::string token = settings->saved().leaveToken;
    if (token.empty() || weak.expired()) return;
    spawnLogged(asio::make_strand(io), confirmLeaveWith(api, token, settings),
                "leaving the account on Nimbrel Cloud");
  });
}

void HostController::startCloud() {
  stopCloud();
  if (!config_.cloud) {
    cloudStatus_ = CloudStatus::unavailable;
    published();
    return;
  }
  CloudAPI api(config_.api, makeHttpClient(io_));
  confirmLeave(api);
  const std::weak_ptr<HostController> weak = weak_from_this();
  // Each callback hops to the controller's strand and does nothing once it is gone.
  auto onStrand = [weak, strand = strand_](auto action) {
    asio::post(strand, [weak, action] {
      if (auto self = weak.lock()) action(*self);
    });
  };
  CloudLink::Callbacks callbacks;
  callbacks.currentConfig = [weak, strand = strand_]() {
    return awaitOn(strand, cloudIdentityOf(weak));
  };
  callbacks.onStatus = [onStrand](CloudStatus status) {
    onStrand([status](HostController& self) { self.onCloudStatus(status); });
  };
  callbacks.onClaimCode = [onStrand](const std::optional<std::string>& code) {
    onStrand([code](HostController& self) { self.onClaimCode(code); });
  };
  callbacks.onEnrolled = [onStrand](const std::string& cloudID, const std::string& hostToken,
                                    const std::string& account) {
    onStrand([cloudID, hostToken, account](HostController& self) {
      self.onEnrolled(cloudID, hostToken, account);
    });
  };
  callbacks.onRemoved = [onStrand] { onStrand([](HostController& self) { self.onRemoved(); }); };
  callbacks.onSession = [onStrand](std::shared_ptr<WebSocketTransport> transport) {
    onStrand([transport](HostController& self) { self.makeSession(transport, "relay"); });
  };
  auto link = CloudLink::create(io_, std::move(api), std::move(callbacks), services_.cloud,
                                CloudLink::Timing{});
  {
    const std::lock_guard guard(cloudLock_);
    cloudLink_ = link;
  }
  spawnLogged(link->executor(), runCloudLink(link), "the cloud link");
}

std::string HostController::pairingLink() const {
  HostConfig linked = config_;
  if (linked.port == 0) linked.port = listeningPort();
  return nimbrel::pairingLink(linked, claimCode_);
}

void HostController::printPairingLink() {
  if (!options_.headless) return;
  services_.print(pairingLinkBlock(pairingLink(), config_.cloud ? config_.api : std::string()));
}

void HostController::makeSession(std::shared_ptr<WebSocketTransport> transport,
                                 std::optional<std::string> relayLabel) {
  HostSession::Setup setup;
  setup.via = relayLabel ? *relayLabel : "direct:" + transport->remoteHost();
  setup.transport = transport;
  setup.identity = {config_.name, config_.hostID, config_.secret};
  SessionDesktop desktop = services_.desktop.makeSession(workers_);
  setup.input = desktop.input;
  setup.source = desktop.source;
  if (desktop.fallbackMonitors) {
    setup.fallbackMonitors = [listed = desktop.fallbackMonitors] {
      auto monitors = listed();
      return monitors.empty() ? HostSession::defaultFallbackMonitors() : monitors;
    };
  }
  setup.workers = workers_;
  const std::string label = relayLabel ? *relayLabel : transport->label();
  if (desktop.watchEnd) {
    // The desktop stopped sharing: the session ends, and its client sees the connection go.
    desktop.watchEnd([weak = std::weak_ptr<WebSocketTransport>(transport), label](
                         const std::string& why) {
      logLine("Ending the session from " + label + ": " + why + ".");
      if (auto ending = weak.lock()) ending->close();
    });
  }
  const std::weak_ptr<HostController> weak = weak_from_this();
  auto listed = std::make_shared<std::atomic<bool>>(false);
  setup.onAuthenticated = [weak, listed, label, strand = strand_] {
    listed->store(true);
    asio::post(strand, [weak, label] {
      if (auto self = weak.lock()) self->listSession(true, label);
    });
  };
  auto session = HostSession::create(std::move(setup));
  spawnLogged(asio::make_strand(io_),
              runSession(weak, strand_, session, transport, !relayLabel, label, listed),
              "the session from " + label);
}

void HostController::listSession(bool listed, const std::string& entry) {
  if (listed) {
    sessions_.push_back(entry);
  } else if (auto it = std::find(sessions_.begin(), sessions_.end(), entry); it != sessions_.end()) {
    sessions_.erase(it);
  } else {
    return;
  }
  published();
}

}  // namespace nimbrel
