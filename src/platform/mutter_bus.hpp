#pragma once

// What the remote-desktop files share: the service's names, and GLib's errors as text.

#include <gio/gio.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace nimbrel::mutter {

constexpr const char* kRemoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kScreenCastName = "org.gnome.Mutter.ScreenCast";
constexpr const char* kDisplayConfigName = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kRemoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kScreenCastSession = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kScreenCastStream = "org.gnome.Mutter.ScreenCast.Stream";
constexpr int kCallTimeoutMs = 5000;
// How long a new session may take to hand out its PipeWire nodes.
constexpr auto kNodeWait = std::chrono::seconds(10);
// A clipboard larger than this is not read whole (the host could not send it anyway).
constexpr std::size_t kMaxClipboard = 16u << 20;
// Text in the order it is asked for; the first the desktop offers wins.
constexpr const char* kTextTypes[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain",
                                      "STRING", "TEXT"};

// Owns a GError and reads it as text.
struct GErrorText {
  GError* error = nullptr;
  ~GErrorText() {
    if (error) g_error_free(error);
  }
  std::string text() const { return error ? error->message : "unknown error"; }
};

}  // namespace nimbrel::mutter
