#pragma once

#include <optional>
#include <string>

#include "app/desktop_backend.hpp"

namespace nimbrel {

// What start-up found out about the desktop it runs in.
struct DesktopProbe {
  bool waylandSession = false;  // WAYLAND_DISPLAY is set, or XDG_SESSION_TYPE is "wayland"
  // Why GNOME's remote-desktop service is not on the session bus; nothing when it is.
  std::optional<std::string> gnomeProblem;
  // Why the X display cannot be used; nothing when it can.
  std::optional<std::string> x11Problem;
  std::string x11Display;
  bool dryRunAsked = false;
};

// The desktop and the line that tells a person which and why (empty for a dry run asked for).
// A Wayland session is shared through GNOME's remote-desktop service; one without it is not
// shared through Xwayland (only X applications would show), and runs only as a dry run when
// asked for. Without Wayland, the X display, else the synthetic screen.
struct DesktopChoice {
  DesktopKind kind = DesktopKind::synthetic;
  std::string line;
};
DesktopChoice chooseDesktop(const DesktopProbe& probe);

// Reads the environment and asks the session bus and the X display. Blocks on them briefly:
// call it at start, before the io thread runs.
DesktopProbe probeDesktop(bool dryRunAsked);

}  // namespace nimbrel
