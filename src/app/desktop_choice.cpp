#include "app/desktop_choice.hpp"

#include <cstdlib>
#include <string_view>

#include "platform/mutter_remote_desktop.hpp"
#include "platform/x11_connection.hpp"

namespace nimbrel {

DesktopChoice chooseDesktop(const DesktopProbe& probe) {
  if (probe.dryRunAsked) return {DesktopKind::synthetic, ""};
  if (probe.waylandSession) {
    if (!probe.gnomeProblem) {
      return {DesktopKind::gnomeWayland,
              "Sharing this GNOME Wayland desktop through its remote-desktop service."};
    }
    return {DesktopKind::unsupported,
            "This Wayland desktop can't be shared (" + *probe.gnomeProblem +
                "). Nimbrel shares GNOME on Wayland and X11 desktops: log in to a GNOME session, "
                "or to an X11 one (such as \"GNOME on Xorg\" or \"Plasma (X11)\" at the login "
                "screen). Start with --dry-run to try Nimbrel with a synthetic screen."};
  }
  if (!probe.x11Problem) {
    return {DesktopKind::x11, "Sharing the X11 desktop on display " + probe.x11Display + "."};
  }
  return {DesktopKind::synthetic,
          "Starting the dry run with the synthetic screen: " + *probe.x11Problem + "."};
}

DesktopProbe probeDesktop(bool dryRunAsked) {
  DesktopProbe probe;
  probe.dryRunAsked = dryRunAsked;
  if (dryRunAsked) return probe;
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* sessionType = std::getenv("XDG_SESSION_TYPE");
  probe.waylandSession = (wayland && *wayland) ||
                         (sessionType && std::string_view(sessionType) == "wayland");
  if (probe.waylandSession) {
    std::string problem;
    if (!mutterRemoteDesktopAvailable(problem)) probe.gnomeProblem = problem;
    return probe;
  }
  try {
    const X11Connection display;
    probe.x11Display = display.displayName();
  } catch (const X11Error& error) {
    probe.x11Problem = error.what();
  }
  return probe;
}

}  // namespace nimbrel
