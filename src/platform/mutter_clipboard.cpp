// The clipboard of a remote-desktop session: the desktop's text read through a pipe it hands
// over, and ours offered to its applications and written into their pipes when they paste.

#include <gio/gunixfdlist.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "base/log.hpp"
#include "platform/mutter_bus.hpp"
#include "platform/mutter_remote_desktop.hpp"

namespace nimbrel {

using namespace mutter;

namespace {

// The descriptor of a call's (h) answer; -1 with `problem` set when there is none.
int answeredDescriptor(GVariant* reply, GUnixFDList* fds, std::string& problem) {
  gint32 index = 0;
  g_variant_get(reply, "(h)", &index);
  GErrorText error;
  const int fd = fds ? g_unix_fd_list_get(fds, index, &error.error) : -1;
  if (fd < 0) problem = fds ? error.text() : "the desktop sent no pipe";
  return fd;
}

// Reads `fd` to its end, waiting at most the call time-out for each piece. Empty when the
// writer stopped sending or the text is too large (`problem` says which).
std::optional<std::string> readAll(int fd, std::string& problem) {
  std::string text;
  char buffer[16384];
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, kCallTimeoutMs) <= 0) {
      problem = "the application holding it did not send it";
      return std::nullopt;
    }
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      problem = std::string("reading it failed: ") + std::strerror(errno);
      return std::nullopt;
    }
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxClipboard) {
      problem = "the text is larger than 16 MiB";
      return std::nullopt;
    }
  }
}

// Writes all of `text` to `fd`, waiting at most the call time-out for each piece.
bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    pollfd ready{fd, POLLOUT, 0};
    if (::poll(&ready, 1, kCallTimeoutMs) <= 0) return false;
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string MutterRemoteDesktop::readClipboard() {
  ensureStarted();
  const std::string path = sessionPath();
  if (path.empty()) return {};
  // The desktop is asked every time: a signal saying who owns its clipboard may still be on
  // its way when an application has just copied.
  std::string problem;
  for (const char* type : kTextTypes) {
    GErrorText error;
    GUnixFDList* fds = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        connection_, kRemoteDesktopName, path.c_str(), kRemoteDesktopSession, "SelectionRead",
        g_variant_new("(s)", type), G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs,
        nullptr, &fds, nullptr, &error.error);
    if (!reply) {
      // No owner at all: an empty clipboard, not a failure.
      if (g_error_matches(error.error, G_DBUS_ERROR, G_DBUS_ERROR_FILE_NOT_FOUND)) return {};
      // Ours: what we offered.
      if (error.text().find("own selection") != std::string::npos) {
        const std::lock_guard guard(lock_);
        return offered_.value_or(std::string());
      }
      problem = error.text();
      continue;
    }
    const int fd = answeredDescriptor(reply, fds, problem);
    g_variant_unref(reply);
    if (fds) g_object_unref(fds);
    if (fd < 0) continue;
    const auto text = readAll(fd, problem);
    ::close(fd);
    if (!text) break;
    // An owner that does not offer this type closes the pipe at once: try the next.
    if (!text->empty()) return *text;
  }
  if (!problem.empty()) logLine("Couldn't read the desktop's clipboard: " + problem);
  return {};
}

void MutterRemoteDesktop::offerClipboard(const std::string& text) {
  ensureStarted();
  const std::string path = sessionPath();
  if (path.empty()) throw MutterError("the remote-desktop session ended");
  {
    const std::lock_guard guard(lock_);
    offered_ = text;  // what a paste gets from now on
  }
  GVariantBuilder types;
  g_variant_builder_init(&types, G_VARIANT_TYPE_STRING_ARRAY);
  for (const char* type : kTextTypes) g_variant_builder_add(&types, "s", type);
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "mime-types", g_variant_builder_end(&types));
  try {
    g_variant_unref(call(path, kRemoteDesktopSession, "SetSelection",
                         g_variant_new("(a{sv})", &options), nullptr));
  } catch (const MutterError& error) {
    const std::lock_guard guard(lock_);
    offered_.reset();
    throw MutterError(std::string("couldn't put the text on the clipboard: ") + error.what());
  }
}

void MutterRemoteDesktop::answerTransfer(std::uint32_t serial) {
  // An application pastes our text: the desktop hands us a pipe to write it into.
  const std::string path = sessionPath();
  if (path.empty()) return;  // the session, and the request with it, are gone
  std::optional<std::string> text;
  {
    const std::lock_guard guard(lock_);
    text = offered_;
  }
  std::string problem = text ? "" : "nothing is offered";
  bool written = false;
  if (text) {
    GErrorText error;
    GUnixFDList* fds = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        connection_, kRemoteDesktopName, path.c_str(), kRemoteDesktopSession, "SelectionWrite",
        g_variant_new("(u)", serial), G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE,
        kCallTimeoutMs, nullptr, &fds, nullptr, &error.error);
    if (reply) {
      const int fd = answeredDescriptor(reply, fds, problem);
      g_variant_unref(reply);
      if (fds) g_object_unref(fds);
      if (fd >= 0) {
        written = writeAll(fd, *text);
        if (!written) problem = "the pasting application stopped reading";
        ::close(fd);
      }
    } else {
      problem = error.text();
    }
  }
  if (!written) logLine("Couldn't hand the clipboard to the desktop: " + problem);
  g_dbus_connection_call(connection_, kRemoteDesktopName, path.c_str(), kRemoteDesktopSession,
                         "SelectionWriteDone", g_variant_new("(ub)", serial, gboolean(written)),
                         nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, nullptr,
                         nullptr);
}

}  // namespace nimbrel
