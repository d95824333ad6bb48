#include "platform/system_tray.hpp"

#include <systemd/sd-bus.h>

#include <memory>

#include "platform/x11_connection.hpp"

namespace nimbrel {

bool hasXEmbedTray(const X11Connection& display) {
  const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(display.screenNumber());
  const xcb_atom_t selection = display.atom(name.c_str());
  if (selection == XCB_ATOM_NONE) return false;
  XcbReply<xcb_get_selection_owner_reply_t> reply(xcb_get_selection_owner_reply(
      display.get(), xcb_get_selection_owner(display.get(), selection), nullptr));
  return reply && reply->owner != XCB_WINDOW_NONE;
}

bool hasStatusNotifierWatcher() {
  sd_bus* opened = nullptr;
  if (sd_bus_open_user(&opened) < 0) return false;
  const std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> bus(
      opened, &sd_bus_flush_close_unref);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int result = sd_bus_call_method(
      bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "NameHasOwner", &error, &reply, "s", "org.kde.StatusNotifierWatcher");
  sd_bus_error_free(&error);
  if (result < 0) return false;
  int owned = 0;
  const bool read = sd_bus_message_read(reply, "b", &owned) >= 0;
  sd_bus_message_unref(reply);
  return read && owned != 0;
}

SystemTrayProbe probeSystemTray() {
  SystemTrayProbe probe;
  probe.display = currentDisplayName();
  try {
    const X11Connection display;
    probe.xembedTray = hasXEmbedTray(display);
  } catch (const X11Error& error) {
    probe.displayError = error.what();
    return probe;
  }
  probe.statusNotifierWatcher = hasStatusNotifierWatcher();
  return probe;
}

}  // namespace nimbrel
