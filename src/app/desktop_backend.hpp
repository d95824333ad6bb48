#pragma once

#include <boost/asio/any_io_executor.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/desktop_kind.hpp"
#include "capture/screen_source.hpp"
#include "input/input_backend.hpp"

namespace nimbrel {

// What the desktop lets the host do: see the screen, drive the input.
struct DesktopAccess {
  bool screenRecording = false;
  bool accessibility = false;
};

// What one session shares of the desktop.
struct SessionDesktop {
  std::shared_ptr<InputBackend> input;
  std::shared_ptr<ScreenSource> source;
  // The displays to offer when the source lists none; empty: the session's default.
  std::function<std::vector<Monitor>()> fallbackMonitors;
  // For desktops that can stop sharing by themselves (the user stopped it, the compositor
  // went away): called once with what ends the session, which they call with the reason.
  std::function<void(std::function<void(const std::string& why)> endSession)> watchEnd;
};

// A kind of desktop the host can share: how to ask what it allows, and the parts of a session.
struct DesktopBackend {
  DesktopKind kind = DesktopKind::x11;
  // Asks the desktop; may block on it briefly (called on a worker).
  std::function<DesktopAccess()> access;
  // Makes a session's parts without talking to the desktop (that happens on first use, on the
  // strands of `workers`).
  std::function<SessionDesktop(boost::asio::any_io_executor workers)> makeSession;
};

// X11 through xcb: XTest input, MIT-SHM and DAMAGE capture.
DesktopBackend x11Desktop();
// GNOME on Wayland through the compositor's remote-desktop service and PipeWire.
DesktopBackend gnomeWaylandDesktop();
// The dry run: nothing real is touched; a synthetic screen that may draw the pointer.
DesktopBackend syntheticDesktop(bool followsCursor);

}  // namespace nimbrel
