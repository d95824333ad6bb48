#include "app/host_controller.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>

#include <future>

#include "client/client_connection.hpp"
#include "platform/sleep_inhibitor.hpp"
#include "platform/user_settings.hpp"
#include "session/crypto.hpp"
#include "support/io_runner.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class FakeInhibitor final : public SleepInhibitor {
 public:
  bool acquire(const std::string&, std::string& error) override {
    if (refuse) {
      error = "logind is not running";
      return false;
    }
    ++acquired;
    return true;
  }
  void release() override { ++released; }
  bool refuse = false;
  int acquired = 0;
  int released = 0;
};

class HostControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setHomeOverride(home_ / "data");
    HostConfig config = loadConfig();
    config.port = 0;  // any free port
    config.name = "Studio";
    config.api = "http://127.0.0.1:9";  // the cloud link's requests stay on this machine
    saveConfig(config);
  }
  void TearDown() override {
    if (controller_) onStrand([this] { controller_->stop(); });
    io_.stop();
    controller_.reset();
    workers_.join();
    setHomeOverride(std::nullopt);
  }

  void create(bool headless = true, bool dryRun = true) {
    HostController::Services services;
    services.desktopAccess = [this] {
      if (displayAnswers_.valid()) displayAnswers_.wait();
      std::lock_guard guard(accessLock_);
      return access_;
    };
    services.inhibitor = inhibitor_;
    services.settingsPath = home_ / "config/settings.json";
    services.autostartEntry = home_ / "config/autostart/nimbrel.desktop";
    services.print = [this](const std::string& text) { printed_.push_back(text); };
    services.onChange = [this] {
      {
        std::lock_guard guard(changeLock_);
        ++changes_;
      }
      changed_.notify_all();
    };
    services.permissionPollInterval = 0.05;
    HostOptions options;
    options.headless = headless;
    options.dryRun = dryRun;
    options.advertise = false;
    controller_ = HostController::create(io_.executor(), workers_.get_executor(), options, services);
  }

  // Waits until `holds` (run on the strand) is true, checking again after every published change.
  template <typename F>
  bool waitUntil(F holds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      int seen;
      {
        std::lock_guard guard(changeLock_);
        seen = changes_;
      }
      bool done = false;
      onStrand([&] { done = holds(); });
      if (done) return true;
      std::unique_lock lock(changeLock_);
      if (!changed_.wait_until(lock, deadline, [&] { return changes_ != seen; })) return false;
    }
  }

  // Runs `work` on the controller's strand and waits for it.
  template <typename F>
  void onStrand(F work) {
    std::promise<void> done;
    asio::post(controller_->executor(), [&] {
      work();
      done.set_value();
    });
    done.get_future().wait();
  }

  test::TempDir home_;
  test::LogCapture log_;
  asio::thread_pool workers_{2};
  test::IoRunner io_;
  std::shared_ptr<FakeInhibitor> inhibitor_ = std::make_shared<FakeInhibitor>();
  std::shared_ptr<HostController> controller_;
  std::vector<std::string> printed_;
  std::mutex accessLock_;
  std::shared_future<void> displayAnswers_;  // when valid, asking the display waits for it
  std::mutex changeLock_;
  std::condition_variable changed_;
  int changes_ = 0;
  HostController::DesktopAccess access_{true, false};
};

TEST_F(HostControllerTest, PermissionsAreReadAtStartAndPolledUnlessADryRun) {
  create(true, false);
  bool screen = false, input = true, needs = false;
  onStrand([&] {
    controller_->start();
    screen = controller_->screenRecordingOK();
    input = controller_->accessibilityOK();
    needs = controller_->needsPermissions();
  });
  EXPECT_TRUE(screen);
  EXPECT_FALSE(input);
  EXPECT_TRUE(needs);
  {
    std::lock_guard guard(accessLock_);
    access_ = {false, true};
  }
  // The next poll publishes the change.
  EXPECT_TRUE(waitUntil([&] {
    return !controller_->screenRecordingOK() && controller_->accessibilityOK();
  }));
}

TEST_F(HostControllerTest, ADryRunNeedsNoPermissionsAndDoesNotPoll) {
  create(true, true);
  onStrand([&] { controller_->start(); });
  {
    std::lock_guard guard(accessLock_);
    access_ = {false, false};
  }
  bool screen = false, needs = true, polling = true;
  onStrand([&] {
    screen = controller_->screenRecordingOK();
    needs = controller_->needsPermissions();
    polling = controller_->pollingPermissions();
  });
  EXPECT_FALSE(polling);
  EXPECT_TRUE(screen);  // read once at construction, never again
  EXPECT_FALSE(needs);
}

TEST_F(HostControllerTest, RefreshingPermissionsNeverHoldsTheStrandWhileTheDisplayIsSlow) {
  create(true, true);
  onStrand([&] { controller_->start(); });
  std::promise<void> answer;
  displayAnswers_ = answer.get_future().share();
  {
    std::lock_guard guard(accessLock_);
    access_ = {false, false};
  }
  asio::post(controller_->executor(), [this] { controller_->refreshPermissions(); });
  std::promise<void> reached;
  asio::post(controller_->executor(), [&reached] { reached.set_value(); });
  const bool strandFree =
      reached.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  answer.set_value();
  EXPECT_TRUE(strandFree) << "the strand waited for the display";
  EXPECT_TRUE(waitUntil([&] {
    return !controller_->screenRecordingOK() && !controller_->accessibilityOK();
  }));
}

TEST_F(HostControllerTest, RenameTrimsAndIgnoresEmptyOrUnchangedNames) {
  create();
  const std::string before = test::readFile(home_ / "data/config.json");
  onStrand([this] { controller_->rename("   \n"); });
  onStrand([this] { controller_->rename("  Studio  "); });
  onStrand([this] { controller_->rename("\u00A0\u2028 \u3000"); });     // Unicode blanks only
  onStrand([this] { controller_->rename("\u00A0Studio\u2029\u3000"); });  // the same name
  EXPECT_EQ(test::readFile(home_ / "data/config.json"), before);
  onStrand([this] { controller_->rename("  Den PC\n"); });
  EXPECT_EQ(controller_->config().name, "Den PC");
  EXPECT_TRUE(waitUntil([] { return loadConfig().name == "Den PC"; }));
}

TEST_F(HostControllerTest, OpenAtLoginStartsThisProgramByItsAbsolutePath) {
  create();
  onStrand([this] { controller_->setOpenAtLogin(true); });
  ASSERT_TRUE(waitUntil([this] { return controller_->launchAtLogin(); }));
  const std::string entry = test::readFile(home_ / "config/autostart/nimbrel.desktop");
  const std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
  EXPECT_NE(entry.find("\nExec=" + desktopExecArgument(program) + "\n"), std::string::npos) << entry;
  EXPECT_EQ(program.front(), '/');
  onStrand([this] { controller_->setOpenAtLogin(false); });
  EXPECT_TRUE(waitUntil([this] { return !controller_->launchAtLogin(); }));
}

TEST_F(HostControllerTest, KeepAwakeIsHeldExactlyWhileRunningEnrolledAndWanted) {
  create(false);
  onStrand([this] { controller_->start(); });
  EXPECT_EQ(inhibitor_->acquired, 0);  // not enrolled
  onStrand([this] { controller_->onEnrolled("cloud-1", "token-1", "me@example.invalid"); });
  EXPECT_EQ(inhibitor_->acquired, 1);
  EXPECT_TRUE(controller_->holdingAwake());
  // A change takes effect once it is saved.
  onStrand([this] { controller_->setKeepAwake(false); });
  ASSERT_TRUE(waitUntil([this] { return !controller_->keepAwake(); }));
  EXPECT_EQ(inhibitor_->released, 1);
  EXPECT_FALSE(loadUserSettings(home_ / "config/settings.json").keepAwake);
  onStrand([this] { controller_->setKeepAwake(true); });
  ASSERT_TRUE(waitUntil([this] { return controller_->keepAwake(); }));
  EXPECT_EQ(inhibitor_->acquired, 2);
  onStrand([this] { controller_->onRemoved(); });
  EXPECT_EQ(inhibitor_->released, 2);
  EXPECT_TRUE(waitUntil([] { return !loadConfig().enrolled(); }));
  EXPECT_THAT(log_.lines(), testing::Contains("Added to me@example.invalid. This computer is now "
                                              "reachable from anywhere."));
  EXPECT_THAT(log_.lines(), testing::Contains("This computer was removed from its Nimbrel account; "
                                              "scan the new QR code to add it again."));

  // An inhibitor that cannot be had is said once, and the host carries on.
  inhibitor_->refuse = true;
  onStrand([this] { controller_->onEnrolled("cloud-2", "token-2", ""); });
  onStrand([this] { controller_->setKeepAwake(false); });
  ASSERT_TRUE(waitUntil([this] { return !controller_->keepAwake(); }));
  onStrand([this] { controller_->setKeepAwake(true); });
  ASSERT_TRUE(waitUntil([this] { return controller_->keepAwake(); }));
  int refusals = 0;
  for (const auto& line : log_.lines()) refusals += line.find("Couldn't keep the computer awake") != std::string::npos;
  EXPECT_EQ(refusals, 1);
  EXPECT_THAT(log_.lines(), testing::Contains("Added to your Nimbrel account. This computer is now "
                                              "reachable from anywhere."));
}

TEST_F(HostControllerTest, StatusAndClaimCodeAreReportedOnlyWhenTheyChange) {
  // No live cloud link: its own reports would race the ones this test makes.
  HostConfig config = loadConfig();
  config.cloud = false;
  saveConfig(config);
  create();
  onStrand([this] { controller_->start(); });
  // Any free port: the link is printed once the listener has bound one.
  ASSERT_TRUE(waitUntil([&] { return !printed_.empty(); }));
  const std::size_t linksAtStart = printed_.size();
  EXPECT_EQ(linksAtStart, 1u);
  onStrand([this] {
    controller_->onCloudStatus(HostController::CloudStatus::unavailable);  // already so
    controller_->onCloudStatus(HostController::CloudStatus::online);
    controller_->onCloudStatus(HostController::CloudStatus::online);
    controller_->onCloudStatus(HostController::CloudStatus::unavailable);
    controller_->onClaimCode(std::string("ABCD-1234"));
    controller_->onClaimCode(std::string("ABCD-1234"));
    controller_->onClaimCode(std::nullopt);
  });
  std::vector<std::string> statusLines;
  for (const auto& line : log_.lines()) {
    if (line.find("Cloud") != std::string::npos || line.find("relay") != std::string::npos) {
      statusLines.push_back(line);
    }
  }
  EXPECT_THAT(statusLines, ElementsAre("Reachable from anywhere through the Nimbrel relay.",
                                       "Nimbrel Cloud unavailable; pairing works on this network for now."));
  ASSERT_EQ(printed_.size(), linksAtStart + 1);
  EXPECT_THAT(printed_.back(), HasSubstr("&c=ABCD-1234"));
}

// A port the host cannot have is said after the start line, whether the server refuses it at
// once or the system does when it binds.
TEST_F(HostControllerTest, AListenerThatCannotStartIsSaidAfterTheStartLine) {
  asio::io_context io;
  asio::ip::tcp::acceptor taken(io, {asio::ip::tcp::v4(), 0});
  const auto takenPort = static_cast<std::int64_t>(taken.local_endpoint().port());
  struct Case {
    std::int64_t port;
    std::string why;
  };
  for (const Case& c : {Case{takenPort, "Address already in use"}, Case{70000, "bad port 70000"}}) {
    SCOPED_TRACE(c.port);
    HostConfig config = loadConfig();
    config.port = c.port;
    config.cloud = false;
    saveConfig(config);
    create();
    onStrand([this] { controller_->start(); });
    const std::string said = "Couldn't listen on port " + std::to_string(c.port) + ": " + c.why +
                             ". Devices on this network can't connect until the port is free.";
    // The failure is logged in the same step that sets the state.
    std::string state;
    ASSERT_TRUE(waitUntil([&] {
      state = controller_->listenerState();
      return state != "starting";
    }));
    EXPECT_EQ(state, "failed: " + c.why);
    const auto lines = log_.lines();
    const auto start = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find("listening on port") != std::string::npos;
    });
    ASSERT_NE(start, lines.end());
    EXPECT_EQ(std::count(start, lines.end(), said), 1) << ::testing::PrintToString(lines);
    onStrand([this] { controller_->stop(); });
    controller_.reset();
    log_.clear();
  }
}

TEST_F(HostControllerTest, SessionsFromOnePeerAreListedOnceEach) {
  create(false);
  onStrand([this] { controller_->start(); });
  ASSERT_TRUE(waitUntil([this] { return controller_->listenerState() == "listening"; }));
  std::uint16_t port = 0;
  onStrand([&] { port = controller_->listeningPort(); });
  ASSERT_NE(port, 0);
  PairingTarget target;
  target.addresses = {"127.0.0.1"};
  target.port = port;
  target.key = hexDecode(controller_->config().secret).value();
  auto sessions = [this] {
    std::vector<std::string> list;
    onStrand([&] { list = controller_->sessions(); });
    return list;
  };
  // A peer without the key is never shown as connected, not even while it is turned away.
  PairingTarget stranger = target;
  stranger.key = randomBytes(32);
  EXPECT_THROW(io_.run(ClientConnection::connect(io_.executor(), stranger, "x", {"patch"})),
               std::exception);
  EXPECT_THAT(sessions(), ElementsAre());
  auto first = io_.run(ClientConnection::connect(io_.executor(), target, "one", {"patch"}));
  auto second = io_.run(ClientConnection::connect(io_.executor(), target, "two", {"patch"}));
  EXPECT_TRUE(waitUntil([this] { return controller_->sessions().size() == 2; }));
  EXPECT_THAT(sessions(), ElementsAre("direct:127.0.0.1", "direct:127.0.0.1"));
  first->close();
  EXPECT_TRUE(waitUntil([this] { return controller_->sessions().size() == 1; }));
  EXPECT_THAT(sessions(), ElementsAre("direct:127.0.0.1"));
  second->close();
  EXPECT_TRUE(waitUntil([this] { return controller_->sessions().empty(); }));
}

}  // namespace
}  // namespace nimbrel
