// The host process: a test host that only runs the event loop, the tray application, or the
// headless host that logs to standard output ("--auto": the tray application when the display
// has a system tray, the headless host otherwise).

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "app/command_line.hpp"
#include "app/desktop_backend.hpp"
#include "app/desktop_choice.hpp"
#include "base/allocator_tuning.hpp"
#include "base/descriptor_limit.hpp"
#include "base/log.hpp"
#include "app/host_config.hpp"
#include "app/host_controller.hpp"
#include "app/start_mode.hpp"
#include "ui/tray_main.hpp"

namespace asio = boost::asio;
using namespace nimbrel;

namespace {

// SIGTERM and SIGINT end the headless host at once with status 0, in the handler itself: a
// thread that is stuck (on a display that does not answer, say) cannot hold the exit up.
// Standard output is line-buffered, so no finished line is lost.
void endOnSignals() {
  struct sigaction action {};
  action.sa_handler = [](int) { _exit(0); };
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

[[noreturn]] void runForever(asio::io_context& io) {
  auto work = asio::make_work_guard(io);
  for (;;) io.run();
}

}  // namespace

int main(int argc, char** argv) {
  tuneAllocatorForStreaming();
  if (const std::string problem = raiseDescriptorLimit(); !problem.empty()) {
    logLine("Couldn't raise the limit of open connections: " + problem);
  }
  const CommandLine commandLine(argc, argv);

  if (auto home = commandLine.value("--home")) {
    std::error_code error;
    std::filesystem::path directory = std::filesystem::absolute(*home, error);
    setHomeOverride(error ? std::filesystem::path(*home) : directory);
  }

  asio::io_context io;

  if (std::getenv("XCTestConfigurationFilePath") != nullptr) {
    // Test host: only the event loop runs; nothing is loaded or created.
    runForever(io);
  }

  // Which desktop is shared, and why, before anything else is said; the synthetic screen only
  // once the headless host is sure to start.
  HostOptions options = headlessOptions(commandLine);
  const DesktopChoice desktop = chooseDesktop(probeDesktop(options.dryRun));
  if (!desktop.line.empty() && desktop.kind != DesktopKind::synthetic) {
    logLine(LogChannel::controller, desktop.line);  // the system log
    (desktop.kind == DesktopKind::unsupported ? std::cerr : std::cout) << desktop.line << std::endl;
  }
  HostController::Services services;
  switch (desktop.kind) {
    case DesktopKind::unsupported:
      return 1;
    case DesktopKind::gnomeWayland:
      services.desktop = gnomeWaylandDesktop();
      break;
    case DesktopKind::x11:
      services.desktop = x11Desktop();
      break;
    case DesktopKind::synthetic:
      options.dryRun = true;
      break;
  }

  bool headless = commandLine.has("--headless");
  if (!headless && commandLine.has("--auto")) {
    // Asks the display and the session bus once, before any thread starts.
    const StartChoice choice = chooseStartMode(probeSystemTray());
    std::cout << choice.line << std::endl;
    headless = !choice.tray;
  }
  if (!headless) {
    // The tray application needs a display of its own, and says so without one.
    // A dry run asked for stays one, whatever desktop is there.
    DesktopBackend tray = services.desktop;
    if (!tray.makeSession) tray = options.dryRun ? syntheticDesktop(false) : x11Desktop();
    return ui::runTrayApplication(argc, argv, commandLine, std::move(tray));
  }

  // Caught from the start, so that a signal during start-up also ends the host with status 0.
  endOnSignals();

  alsoLogToStandardOutput();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (desktop.kind == DesktopKind::synthetic && !desktop.line.empty()) {
    logLine(LogChannel::controller, desktop.line);
  }

  HostConfig config = loadConfig();
  applyHeadlessOverrides(commandLine, config);
  saveConfig(config);

  // Input, clipboard and encoding run on workers, never on the network thread.
  asio::thread_pool workers(2);
  // Held for the life of the process; the signal handlers end it without stopping it first.
  static std::shared_ptr<HostController> controller =
      HostController::create(io.get_executor(), workers.get_executor(), options, std::move(services));
  asio::post(controller->executor(), [] { controller->start(); });

  runForever(io);
}
