#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel::test {

// A private headless GNOME Wayland session for one test: its own runtime directory (0700), session
// bus (dbus-daemon), PipeWire with WirePlumber, and mutter with one virtual monitor per entry of
// `monitors` ("WxH" or "WxH@R"), named Meta-0, Meta-1, ... and laid out left to right.
//
// Ready when constructed: PipeWire is up with its session manager, and mutter owns
// org.gnome.Mutter.RemoteDesktop, .ScreenCast and .DisplayConfig. The seat has no keyboard or
// pointer until a RemoteDesktop session brings virtual ones.
//
// Mutter runs bare (no GNOME Shell): a US keyboard layout whatever the settings say, and its
// default plugin's effects (a new window grows in over 250 ms; the test window waits that out).
//
// The programs' output goes to files in the runtime directory (pipewire.log, wireplumber.log,
// mutter-<n>.log, dbus.log); the configuration directories (XDG_CONFIG_HOME, ...) are private
// too, so nothing the session writes (dconf, monitors.xml) leaks out, and nothing leaks in.
class GnomeSession {
 public:
  explicit GnomeSession(std::vector<std::string> monitors = {"1280x800"});
  ~GnomeSession();
  GnomeSession(const GnomeSession&) = delete;
  GnomeSession& operator=(const GnomeSession&) = delete;

  const std::string& busAddress() const { return busAddress_; }
  const std::string& waylandDisplay() const { return waylandDisplay_; }
  const std::filesystem::path& runtimeDir() const { return dir_.path(); }

  // What a process needs to live in this session (for Process): DBUS_SESSION_BUS_ADDRESS,
  // WAYLAND_DISPLAY, XDG_RUNTIME_DIR, XDG_SESSION_TYPE=wayland, the private XDG_*_HOME
  // directories, and DISPLAY removed.
  std::map<std::string, std::optional<std::string>> environment() const;
  // Puts that environment into this process (setenv/unsetenv); the destructor puts back what was
  // there before.
  void enter();

  // Kills mutter at once (SIGKILL) and waits until it is gone and its bus names with it.
  void killMutter();
  // Starts a new mutter with the same arguments (killing the running one first) and waits for its
  // bus names.
  void restartMutter();
  bool mutterRunning();
  // What the current mutter has logged (standard output and error).
  std::string mutterLog() const;

  // Runs a shell command inside the session's environment; its exit status.
  int run(const std::string& command) const;
  // The same, returning its standard output.
  std::string output(const std::string& command) const;

 private:
  // Starts `command` with its output going to <runtime dir>/<name>.log (standard error only when
  // `keepStandardOutput`).
  std::unique_ptr<Process> spawn(const std::string& name, const std::vector<std::string>& command,
                                 const std::map<std::string, std::optional<std::string>>& env,
                                 bool keepStandardOutput = false) const;
  void startPipeWire();
  void startMutter();
  std::string shellPrefix() const;

  std::vector<std::string> monitors_;
  TempDir dir_;
  std::string busAddress_;
  std::string waylandDisplay_;
  std::unique_ptr<Process> bus_;
  std::unique_ptr<Process> pipewire_;
  std::unique_ptr<Process> wireplumber_;
  std::unique_ptr<Process> mutter_;
  int mutterStarts_ = 0;
  std::map<std::string, std::optional<std::string>> savedEnvironment_;
  bool entered_ = false;
};

// tests/support/wayland_test_window.py in a GnomeSession: a fullscreen GTK window covering its
// monitor, reporting on standard output what it receives (see the script for the lines and
// commands). Constructed once it reports `ready`.
class WaylandTestWindow {
 public:
  explicit WaylandTestWindow(const GnomeSession& session, const std::string& color = "2060c0");
  ~WaylandTestWindow();
  WaylandTestWindow(const WaylandTestWindow&) = delete;
  WaylandTestWindow& operator=(const WaylandTestWindow&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }

  // Sends one command line (color, rect, copy, paste, clear, capslock, quit).
  void send(const std::string& command);

  // Waits for the next line, after the last one taken, that equals `line`; takes the lines up to
  // and including it. False when none comes within `timeout`.
  bool expect(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits for the next line after the last one taken that starts with `prefix`, takes it and
  // returns it whole.
  std::optional<std::string> next(const std::string& prefix,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Pastes until the clipboard holds `text` (its JSON, as the "clipboard" line shows it): the
  // window hears of a new owner only a moment after the owner changed. Each try waits for the
  // window's answer; false when none holds it after `tries`.
  bool pastes(const std::string& text, int tries = 50);

  // Everything it has printed so far, and its standard error (for failure messages).
  std::string transcript();
  std::string errors();
  bool running();
  // Its exit status once it ends within `timeout` (it ends when mutter goes).
  std::optional<int> wait(std::chrono::milliseconds timeout);

 private:
  std::optional<std::string> takeLine(const std::string& text, bool whole,
                                      std::chrono::milliseconds timeout);

  TempDir files_;
  std::unique_ptr<Process> process_;
  std::size_t taken_ = 0;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace nimbrel::test
