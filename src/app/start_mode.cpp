#include "app/start_mode.hpp"

namespace nimbrel {

StartChoice chooseStartMode(const SystemTrayProbe& probe) {
  if (probe.displayError) {
    return {false, "Starting the headless host: " + *probe.displayError + "."};
  }
  if (probe.statusNotifierWatcher || probe.xembedTray) {
    const char* kind = probe.statusNotifierWatcher ? "a StatusNotifier host" : "an XEmbed tray";
    return {true, "Starting the tray application: display " + probe.display + " has " + kind +
                      "."};
  }
  return {false, "Starting the headless host: display " + probe.display +
                     " has no system tray to show the icon in."};
}

}  // namespace nimbrel
