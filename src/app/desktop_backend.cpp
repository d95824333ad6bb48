#include "app/desktop_backend.hpp"

#include <boost/asio/strand.hpp>

#include "base/log.hpp"
#include "capture/mutter_capture_source.hpp"
#include "capture/synthetic_screen_source.hpp"
#include "capture/x11_capture_source.hpp"
#include "input/mutter_input.hpp"
#include "input/null_input.hpp"
#include "input/x11_input.hpp"
#include "platform/mutter_remote_desktop.hpp"

namespace nimbrel {

namespace asio = boost::asio;

DesktopBackend x11Desktop() {
  DesktopBackend backend;
  backend.kind = DesktopKind::x11;
  backend.access = [] {
    const X11Capabilities caps = probeX11();
    return DesktopAccess{caps.canCapture(), caps.canInject()};
  };
  backend.makeSession = [](asio::any_io_executor workers) {
    SessionDesktop desktop;
    // Opens the display on first use, on the session's input strand.
    desktop.input = std::make_shared<X11Input>();
    X11CaptureSource::Options capture;
    capture.blockingExecutor = asio::make_strand(workers);
    desktop.source = std::make_shared<X11CaptureSource>(capture);
    desktop.fallbackMonitors = []() -> std::vector<Monitor> {
      try {
        return x11Monitors();
      } catch (const CaptureError&) {
        return {};
      }
    };
    return desktop;
  };
  return backend;
}

DesktopBackend gnomeWaylandDesktop() {
  DesktopBackend backend;
  backend.kind = DesktopKind::gnomeWayland;
  backend.access = [] {
    std::string problem;
    const bool available = mutterRemoteDesktopAvailable(problem);
    return DesktopAccess{available, available};
  };
  backend.makeSession = [](asio::any_io_executor workers) {
    // One remote-desktop session of the compositor per client session, started on first use.
    auto remote = MutterRemoteDesktop::create();
    SessionDesktop desktop;
    desktop.input = std::make_shared<MutterInput>(MutterInput::Options{remote, {}, 0.4});
    desktop.source = std::make_shared<MutterCaptureSource>(
        MutterCaptureSource::Options{remote, asio::make_strand(workers)});
    desktop.watchEnd = [weak = std::weak_ptr<MutterRemoteDesktop>(remote)](
                           std::function<void(const std::string&)> endSession) {
      if (auto session = weak.lock()) session->setEndListener(std::move(endSession));
    };
    return desktop;
  };
  return backend;
}

DesktopBackend syntheticDesktop(bool followsCursor) {
  DesktopBackend backend;
  backend.kind = DesktopKind::synthetic;
  backend.access = [] { return DesktopAccess{true, true}; };
  backend.makeSession = [followsCursor](asio::any_io_executor) {
    SessionDesktop desktop;
    auto input = std::make_shared<NullInput>("test");
    SyntheticScreenSource::CursorProvider cursor;
    if (followsCursor) cursor = [input] { return input->position(); };
    desktop.input = input;
    desktop.source = std::make_shared<SyntheticScreenSource>(1600, 1000, std::move(cursor));
    return desktop;
  };
  return backend;
}

}  // namespace nimbrel
