// The host binary against the project's own cloud service on loopback: a claim code in the
// pairing link, enrolment by the service's command line, the relay connection, a restart of
// the service, and the host's removal.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>

#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include <future>

#include "app/host_controller.hpp"
#include "platform/sleep_inhibitor.hpp"
#include "platform/user_settings.hpp"
#include "support/io_runner.hpp"
#include "support/log_capture.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

const std::string kHost = NIMBREL_HOST_BINARY;
const std::string kCloud = NIMBREL_CLOUD_BINARY;

class CloudEndToEnd : public ::testing::Test {
 protected:
  // Starts the service on `port` (0: any) and returns the port it listens on.
  std::uint16_t serve(std::uint16_t port = 0) {
    cloud_ = std::make_unique<test::Process>(
        kCloud, std::vector<std::string>{"serve", "--data", data(), "--listen",
                                         "127.0.0.1:" + std::to_string(port)});
    EXPECT_TRUE(cloud_->waitForOutput("listening on", 10s)) << cloud_->errorOutput();
    std::smatch match;
    const std::string out = cloud_->output();
    if (!std::regex_search(out, match, std::regex("listening on 127\\.0\\.0\\.1:(\\d+)"))) return 0;
    return static_cast<std::uint16_t>(std::stoi(match[1]));
  }

  // One command of the service's command line, run to its end.
  std::pair<int, std::string> command(std::vector<std::string> arguments) {
    arguments.push_back("--data");
    arguments.push_back(data());
    test::Process process(kCloud, arguments);
    const auto status = process.wait(20s);
    return {status.value_or(-1), process.output() + process.errorOutput()};
  }

  // The claim code of the newest pairing link the host printed after `from`.
  std::string claimCode(std::size_t from = 0) {
    const std::string out = host_->output().substr(from);
    const std::regex pattern("&c=([A-Z0-9-]+)");
    std::string code;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), pattern);
         it != std::sregex_iterator(); ++it) {
      code = (*it)[1];
    }
    return code;
  }

  boost::json::object savedConfig() {
    std::ifstream file(home_ / "data" / "config.json");
    std::stringstream text;
    text << file.rdbuf();
    boost::system::error_code error;
    const boost::json::value value = boost::json::parse(text.str(), error);
    return !error && value.is_object() ? value.as_object() : boost::json::object();
  }

  // The saved configuration once it shows `cloudID`, or as it stands after `limit`. The host
  // saves in the background, after the log lines that announce the change; every save replaces
  // the file, which the directory's watch reports.
  boost::json::object savedConfigWith(const std::string& cloudID, std::chrono::milliseconds limit) {
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    EXPECT_GE(watch, 0);
    EXPECT_GE(inotify_add_watch(watch, (home_ / "data").c_str(), IN_MOVED_TO | IN_CLOSE_WRITE), 0);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    boost::json::object config = savedConfig();
    const auto shows = [&](const boost::json::object& saved) {
      const boost::json::value* id = saved.if_contains("cloud_id");
      return id != nullptr && id->is_string() && id->as_string() == cloudID;
    };
    while (!shows(config)) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd fd{watch, POLLIN, 0};
      if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
      char events[4096];
      while (read(watch, events, sizeof events) > 0) {
      }
      config = savedConfig();
    }
    close(watch);
    return config;
  }

  std::string data() const { return (home_ / "cloud").string(); }

  test::TempDir home_;
  std::unique_ptr<test::Process> cloud_;
  std::unique_ptr<test::Process> host_;
};

TEST_F(CloudEndToEnd, ClaimedHostStaysReachableThroughARestartUntilItIsRemoved) {
  const std::uint16_t port = serve();
  ASSERT_NE(port, 0);
  const std::string api = "http://127.0.0.1:" + std::to_string(port);
  host_ = std::make_unique<test::Process>(
      kHost,
      std::vector<std::string>{"--headless", "--dry-run", "--no-bonjour", "--port", "0", "--home",
                               (home_ / "data").string(), "--api", api},
      std::map<std::string, std::optional<std::string>>{
          {"HOME", home_.path().string()}, {"XDG_CONFIG_HOME", (home_ / "xdg").string()}});
  ASSERT_TRUE(host_->waitForOutput("&c=", 20s)) << host_->output() << host_->errorOutput();
  const std::string code = claimCode();
  ASSERT_THAT(code, ::testing::MatchesRegex("[A-Z0-9]{4}-[A-Z0-9]{4}"));

  ASSERT_EQ(command({"account", "add", "ann", "--email", "ann@example.org"}).first, 0);
  const auto [claimed, claimOutput] = command({"claim", code, "--account", "ann"});
  ASSERT_EQ(claimed, 0) << claimOutput;
  std::smatch id;
  ASSERT_TRUE(std::regex_search(claimOutput, id, std::regex("Claimed (\\S+)")));
  const std::string hostId = id[1];

  // Enrolled: the link carries the cloud id, the configuration keeps the token, the relay is up.
  ASSERT_TRUE(host_->waitForOutput("Reachable from anywhere through the Nimbrel relay.", 30s))
      << host_->output();
  EXPECT_THAT(host_->output(), HasSubstr("Added to ann@example.org. This computer is now reachable"));
  EXPECT_THAT(host_->output(), HasSubstr("&cid=" + hostId));
  ASSERT_TRUE(cloud_->waitForOutput("host " + hostId + " online", 10s));
  const auto config = savedConfigWith(hostId, 10s);
  EXPECT_EQ(config.at("cloud_id").as_string(), hostId);
  EXPECT_FALSE(config.at("host_token").as_string().empty());

  // The service goes and comes back on the same address: the host reconnects by itself.
  cloud_->signal(SIGTERM);
  ASSERT_EQ(cloud_->wait(10s), 0);
  ASSERT_EQ(serve(port), port);
  ASSERT_TRUE(cloud_->waitForOutput("host " + hostId + " online", 60s)) << cloud_->output();

  // Removed on the service: the host forgets its enrolment and shows a new claim code.
  const std::size_t before = host_->output().size();
  const auto [removed, removeOutput] = command({"remove", hostId});
  ASSERT_EQ(removed, 0) << removeOutput;
  ASSERT_TRUE(host_->waitForOutput(
      "This computer was removed from its Nimbrel account; scan the new QR code to add it again.",
      60s))
      << host_->output();
  // Reads on until a link with a claim code follows the removal.
  for (int i = 0; i < 300 && claimCode(before).empty(); ++i) host_->waitForOutput("\x01", 100ms);
  const std::string next = claimCode(before);
  EXPECT_FALSE(next.empty());
  EXPECT_NE(next, code);
  EXPECT_THAT(host_->output().substr(before), ::testing::Not(HasSubstr("&cid=")));
}

class NoInhibitor final : public SleepInhibitor {
 public:
  bool acquire(const std::string&, std::string&) override { return true; }
  void release() override {}
};

// Leaving the account from the controller (the tray's menu): the enrolment goes at once, the
// service forgets the host, and a token the service could not be told about is kept until it
// can be.
TEST_F(CloudEndToEnd, LeavingTheAccountReachesTheServiceEvenWhenItWasAway) {
  test::LogCapture log;
  const std::uint16_t port = serve();
  ASSERT_NE(port, 0);
  setHomeOverride(home_ / "data");
  HostConfig config = loadConfig();
  config.port = 0;
  config.api = "http://127.0.0.1:" + std::to_string(port);
  saveConfig(config);

  asio::thread_pool workers(2);
  test::IoRunner io;
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> printed;
  HostController::Services services;
  services.desktopAccess = [] { return HostController::DesktopAccess{true, true}; };
  services.inhibitor = std::make_shared<NoInhibitor>();
  services.settingsPath = home_ / "settings.json";
  services.autostartEntry = home_ / "autostart.desktop";
  services.print = [&](const std::string& text) {
    std::lock_guard guard(lock);
    printed.push_back(text);
    changed.notify_all();
  };
  services.onChange = [&] { changed.notify_all(); };
  HostOptions options;
  options.headless = true;
  options.dryRun = true;
  options.advertise = false;
  auto controller = HostController::create(io.executor(), workers.get_executor(), options, services);
  auto onStrand = [&](auto work) {
    std::promise<void> done;
    asio::post(controller->executor(), [&] {
      work();
      done.set_value();
    });
    done.get_future().wait();
  };
  // The newest claim code printed, after the `from`th print.
  auto codeAfter = [&](std::size_t from) {
    std::string code;
    std::smatch match;
    for (std::size_t i = from; i < printed.size(); ++i) {
      if (std::regex_search(printed[i], match, std::regex("&c=([A-Z0-9-]+)"))) code = match[1];
    }
    return code;
  };
  // Checked on every published change, and every 50 ms for what is not published (files,
  // log lines).
  auto until = [&](auto holds) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (;;) {
      bool done = false;
      onStrand([&] { done = holds(); });
      if (done) return true;
      std::unique_lock guard(lock);
      if (changed.wait_until(guard, std::min(deadline, std::chrono::steady_clock::now() + 50ms)) ==
              std::cv_status::timeout &&
          std::chrono::steady_clock::now() >= deadline) {
        return false;
      }
    }
  };
  onStrand([&] { controller->start(); });
  std::string code;
  {
    std::unique_lock guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, 30s, [&] { return !(code = codeAfter(0)).empty(); }));
  }
  ASSERT_EQ(command({"account", "add", "ann"}).first, 0);
  ASSERT_EQ(command({"claim", code, "--account", "ann"}).first, 0);
  ASSERT_TRUE(until([&] {
    return controller->config().enrolled() &&
           controller->cloudStatus() == HostController::CloudStatus::online;
  }));
  const std::string hostId = controller->config().cloudID;

  // The service is away when the host leaves: the enrolment goes anyway, the token stays.
  cloud_->signal(SIGTERM);
  ASSERT_EQ(cloud_->wait(10s), 0);
  std::size_t printedBefore = 0;
  onStrand([&] {
    printedBefore = printed.size();
    controller->leaveAccount();
    EXPECT_FALSE(controller->config().enrolled());
  });
  EXPECT_TRUE(until([&] {
    const auto lines = log.lines();
    return !loadUserSettings(services.settingsPath).leaveToken.empty() &&
           std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
             return line.find("Couldn't tell Nimbrel Cloud") != std::string::npos;
           });
  }));
  EXPECT_THAT(command({"hosts", "--account", "ann"}).second, HasSubstr(hostId));

  // Back on the same address: the next cloud start tells it, and the token is forgotten.
  ASSERT_EQ(serve(port), port);
  onStrand([&] { controller->leaveAccount(); });  // not enrolled now: restarts the cloud only
  ASSERT_TRUE(until([&] { return loadUserSettings(services.settingsPath).leaveToken.empty(); }));
  EXPECT_THAT(command({"hosts", "--account", "ann"}).second, ::testing::Not(HasSubstr(hostId)));
  // And a new claim code is out.
  {
    std::unique_lock guard(lock);
    EXPECT_TRUE(changed.wait_for(guard, 30s, [&] { return !codeAfter(printedBefore).empty(); }));
  }

  onStrand([&] { controller->stop(); });
  io.stop();
  controller.reset();
  workers.join();
  setHomeOverride(std::nullopt);
}

}  // namespace
}  // namespace nimbrel
