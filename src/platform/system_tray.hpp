#pragma once

#include <optional>
#include <string>

namespace nimbrel {

class X11Connection;

// What the desktop offers a tray icon.
struct SystemTrayProbe {
  std::string display;                      // the display asked
  std::optional<std::string> displayError;  // set when no display opens
  bool xembedTray = false;                  // a tray owns _NET_SYSTEM_TRAY_S<screen>
  bool statusNotifierWatcher = false;       // the session bus has a StatusNotifier watcher
};

// Asks the display in DISPLAY and the session bus. Waits on both: call it at start-up only,
// never from the network thread.
SystemTrayProbe probeSystemTray();

// Whether an XEmbed system tray manages the connection's screen.
bool hasXEmbedTray(const X11Connection& display);

// Whether the session bus has a StatusNotifier watcher (false when there is no session bus).
bool hasStatusNotifierWatcher();

}  // namespace nimbrel
