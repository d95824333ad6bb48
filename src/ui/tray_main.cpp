#include "ui/tray_main.hpp"

#include <QApplication>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <optional>
#include <string_view>
#include <thread>

#include "app/host_controller.hpp"
#include "platform/x11_connection.hpp"
#include "ui/single_instance.hpp"
#include "ui/tray_app.hpp"

namespace nimbrel::ui {

namespace asio = boost::asio;

namespace {

// Qt ends the process when its platform finds no display; say why first, in words. Only the X
// platform is checked: Qt picks another one when told to or under Wayland.
std::optional<std::string> missingDisplay() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  const bool x11 = platform ? std::string_view(platform).starts_with("xcb")
                            : std::getenv("WAYLAND_DISPLAY") == nullptr;
  if (!x11) return std::nullopt;
  try {
    const X11Connection display;
  } catch (const X11Error& error) {
    return error.what();
  }
  return std::nullopt;
}

}  // namespace

int runTrayApplication(int argc, char** argv, const CommandLine& commandLine,
                       DesktopBackend desktop) {
  if (const auto missing = missingDisplay()) {
    std::cerr << "nimbrel: the tray application needs a display, and " << *missing
              << ". Run \"nimbrel --headless\" to serve without one.\n";
    return 1;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Nimbrel"));
  QApplication::setDesktopFileName(QStringLiteral("nimbrel"));
  QApplication::setQuitOnLastWindowClosed(false);  // the tray icon stays when windows close

  TrayApp* tray = nullptr;
  SingleInstance instance([&tray] {
    if (tray) tray->comeForward();
  });
  switch (instance.claim()) {
    case SingleInstance::Claim::another:
      return 0;
    case SingleInstance::Claim::noBus:
      std::cerr << "nimbrel: no session bus, so a second launch cannot find this one\n";
      break;
    case SingleInstance::Claim::first:
      break;
  }
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    std::cerr << "nimbrel: this display has no system tray yet; the icon appears when one "
                 "starts (the windows open with --show-pairing)\n";
  }

  // The controller runs on its own threads; this thread only posts to it.
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  asio::thread_pool workers(2);
  std::thread ioThread([&io] { io.run(); });

  ControllerModel model;
  HostController::Services services;
  services.desktop = std::move(desktop);
  services.onChange = model.changeHook();
  const std::shared_ptr<HostController> controller = HostController::create(
      io.get_executor(), workers.get_executor(), HostController::Options{}, std::move(services));
  model.attach(controller);
  asio::post(controller->executor(), [controller] { controller->start(); });

  AppActions actions;
  actions.quit = [] { QApplication::quit(); };
  actions.relaunch = [&instance, argc, argv] {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    const QString program = QString::fromStdString(currentProgram().string());
    if (instance.relaunch(program, relaunchArguments(arguments))) {
      QApplication::quit();
    } else {
      std::cerr << "nimbrel: couldn't start " << program.toStdString()
                << " again; this instance keeps running\n";
    }
  };
  TrayApp trayApp(model, actions);
  tray = &trayApp;
  trayApp.launch(commandLine.has("--show-pairing"));

  const int status = QApplication::exec();
  tray = nullptr;

  // The windows are gone: stopping may now wait for the controller. Its stop runs (closing
  // the listener, the cloud link and the keep-awake lock) before the io loop ends; a loop that
  // does not get to it in a few seconds is not waited for.
  auto stopped = std::make_shared<std::promise<void>>();
  asio::post(controller->executor(), [controller, stopped] {
    try {
      controller->stop();
    } catch (const std::exception& error) {
      std::cerr << "nimbrel: stopping the host failed: " << error.what() << "\n";
    }
    stopped->set_value();
  });
  if (stopped->get_future().wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    // A stuck thread would hold the joins below for ever.
    std::cerr << "nimbrel: the host did not stop in time; quitting all the same\n";
    std::_Exit(status);
  }
  work.reset();
  io.stop();
  ioThread.join();
  workers.join();
  return status;
}

}  // namespace nimbrel::ui
