#include "support/gnome_session.hpp"

#include <fcntl.h>
#include <gio/gio.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>

#ifndef NIMBREL_WAYLAND_TEST_WINDOW
#error "NIMBREL_WAYLAND_TEST_WINDOW must name tests/support/wayland_test_window.py"
#endif

namespace nimbrel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> kMutterNames = {"org.gnome.Mutter.RemoteDesktop",
                                               "org.gnome.Mutter.ScreenCast",
                                               "org.gnome.Mutter.DisplayConfig"};

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') quoted += "'\\''"; else quoted += c;
  }
  return quoted + "'";
}

std::string tail(const std::filesystem::path& path, std::size_t bytes = 4000) {
  try {
    const std::string text = readFile(path);
    return text.size() > bytes ? "..." + text.substr(text.size() - bytes) : text;
  } catch (const std::exception&) {
    return "(no " + path.filename().string() + ")";
  }
}

// Waits for `name` to appear in `dir` (inotify); true at once when it is already there.
bool waitForFile(const std::filesystem::path& dir, const std::string& name,
                 std::chrono::milliseconds timeout, const std::function<bool()>& keepGoing) {
  const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) throw std::runtime_error("inotify_init1: " + std::string(std::strerror(errno)));
  const bool watching = inotify_add_watch(fd, dir.c_str(), IN_CREATE | IN_MOVED_TO) >= 0;
  const auto deadline = Clock::now() + timeout;
  bool found = false;
  while (watching && !(found = std::filesystem::exists(dir / name)) && Clock::now() < deadline &&
         keepGoing()) {
    // Wakes on any entry made in the directory; the short cap only notices a program that died.
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 200);
    alignas(inotify_event) char buffer[4096];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
  }
  ::close(fd);
  return found || std::filesystem::exists(dir / name);
}

// Waits until every one of `names` is owned on the bus at `address` (present) or none is
// (!present), following NameOwnerChanged.
bool waitForNames(const std::string& address, const std::vector<std::string>& names, bool present,
                  std::chrono::milliseconds timeout, const std::function<bool()>& keepGoing) {
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GError* error = nullptr;
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (!connection) {
    const std::string message = error->message;
    g_error_free(error);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    throw std::runtime_error("cannot reach the session bus " + address + ": " + message);
  }
  // -1 unknown yet, 0 without owner, 1 owned.
  std::vector<int> owned(names.size(), -1);
  std::vector<guint> watches;
  struct Slot {
    int* state;
  };
  std::vector<Slot> slots(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    slots[i].state = &owned[i];
    watches.push_back(g_bus_watch_name_on_connection(
        connection, names[i].c_str(), G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, gpointer data) {
          *static_cast<Slot*>(data)->state = 1;
        },
        [](GDBusConnection*, const gchar*, gpointer data) { *static_cast<Slot*>(data)->state = 0; },
        &slots[i], nullptr));
  }
  // Wakes the loop now and then to notice a program that died meanwhile.
  GSource* tick = g_timeout_source_new(200);
  g_source_set_callback(tick, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
  g_source_attach(tick, context);

  const auto done = [&] {
    for (int state : owned) {
      if (state != (present ? 1 : 0)) return false;
    }
    return true;
  };
  const auto deadline = Clock::now() + timeout;
  while (!done() && Clock::now() < deadline && keepGoing()) g_main_context_iteration(context, TRUE);
  const bool ok = done();

  for (guint watch : watches) g_bus_unwatch_name(watch);
  g_source_destroy(tick);
  g_source_unref(tick);
  g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_object_unref(connection);
  while (g_main_context_iteration(context, FALSE)) {
  }
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  return ok;
}

void stop(std::unique_ptr<Process>& process) {
  if (!process) return;
  if (process->running()) {
    process->signal(SIGTERM);
    if (!process->wait(5s)) process->signal(SIGKILL);
  }
  process.reset();  // kills and reaps it if still there
}

}  // namespace

GnomeSession::GnomeSession(std::vector<std::string> monitors) : monitors_(std::move(monitors)) {
  if (monitors_.empty()) throw std::invalid_argument("GnomeSession needs at least one monitor");
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
  for (const char* sub : {"config", "data", "cache", "state"}) {
    std::filesystem::create_directories(dir_ / sub);
  }

  bus_ = spawn("dbus", {"dbus-daemon", "--session", "--nofork", "--print-address=1",
                        "--address=unix:path=" + (dir_ / "bus").string()},
               environment(), /*keepStandardOutput=*/true);
  if (!bus_->waitForOutput("\n", 20s)) {
    throw std::runtime_error("dbus-daemon did not start: " + tail(dir_ / "dbus.log"));
  }
  busAddress_ = bus_->output().substr(0, bus_->output().find('\n'));

  startPipeWire();
  waylandDisplay_ = "nimbrel-wayland";
  startMutter();
}

GnomeSession::~GnomeSession() {
  stop(mutter_);
  stop(wireplumber_);
  stop(pipewire_);
  stop(bus_);
  if (entered_) {
    for (const auto& [key, value] : savedEnvironment_) {
      if (value) ::setenv(key.c_str(), value->c_str(), 1); else ::unsetenv(key.c_str());
    }
  }
}

std::map<std::string, std::optional<std::string>> GnomeSession::environment() const {
  std::map<std::string, std::optional<std::string>> env = {
      {"XDG_RUNTIME_DIR", dir_.path().string()},
      {"XDG_CONFIG_HOME", (dir_ / "config").string()},
      {"XDG_DATA_HOME", (dir_ / "data").string()},
      {"XDG_CACHE_HOME", (dir_ / "cache").string()},
      {"XDG_STATE_HOME", (dir_ / "state").string()},
      {"XDG_SESSION_TYPE", "wayland"},
      {"XDG_CURRENT_DESKTOP", "GNOME"},
      {"DISPLAY", std::nullopt},
      {"PIPEWIRE_REMOTE", std::nullopt},
      {"PIPEWIRE_RUNTIME_DIR", std::nullopt},
  };
  env["DBUS_SESSION_BUS_ADDRESS"] =
      busAddress_.empty() ? std::nullopt : std::optional<std::string>(busAddress_);
  env["WAYLAND_DISPLAY"] =
      waylandDisplay_.empty() ? std::nullopt : std::optional<std::string>(waylandDisplay_);
  return env;
}

void GnomeSession::enter() {
  for (const auto& [key, value] : environment()) {
    if (!entered_) {
      const char* before = std::getenv(key.c_str());
      savedEnvironment_[key] = before ? std::optional<std::string>(before) : std::nullopt;
    }
    if (value) ::setenv(key.c_str(), value->c_str(), 1); else ::unsetenv(key.c_str());
  }
  entered_ = true;
}

std::unique_ptr<Process> GnomeSession::spawn(
    const std::string& name, const std::vector<std::string>& command,
    const std::map<std::string, std::optional<std::string>>& env, bool keepStandardOutput) const {
  // Through a shell only to send the output to a file: a pipe nobody reads would stall the
  // program once full. exec keeps the program's pid the Process's.
  std::string script = "exec";
  for (const auto& word : command) script += " " + shellQuote(word);
  const std::string log = shellQuote((dir_ / (name + ".log")).string());
  script += keepStandardOutput ? " 2>>" + log : " >>" + log + " 2>&1";
  return std::make_unique<Process>("/bin/sh", std::vector<std::string>{"-c", script}, env);
}

void GnomeSession::startPipeWire() {
  pipewire_ = spawn("pipewire", {"pipewire"}, environment());
  if (!waitForFile(dir_.path(), "pipewire-0", 20s, [&] { return pipewire_->running(); })) {
    throw std::runtime_error("PipeWire did not start: " + tail(dir_ / "pipewire.log"));
  }
  wireplumber_ = spawn("wireplumber", {"wireplumber"}, environment());
  // WirePlumber makes the "default" metadata once it has loaded its policy: from then on it
  // links the streams clients ask for. pw-mon lists what exists, then what comes.
  for (int attempt = 0;; ++attempt) {
    Process monitor("/usr/bin/pw-mon", {"-N"}, environment());
    if (monitor.waitForOutput("metadata.name = \"default\"", 20s)) break;
    // pw-mon gives up when it comes between PipeWire's bind() and listen(): once more then.
    if (monitor.running() || attempt == 2 || !wireplumber_->running()) {
      throw std::runtime_error("WirePlumber did not come up: " + tail(dir_ / "wireplumber.log") +
                               "\npw-mon: " + monitor.errorOutput());
    }
  }
}

void GnomeSession::startMutter() {
  ++mutterStarts_;
  std::vector<std::string> command = {"mutter", "--headless"};
  for (const auto& monitor : monitors_) {
    command.push_back("--virtual-monitor");
    command.push_back(monitor);
  }
  for (const char* a : {"--wayland", "--no-x11"}) command.emplace_back(a);
  command.push_back("--wayland-display=" + waylandDisplay_);
  // Not a client of some other compositor: headless, its own display.
  auto env = environment();
  env["WAYLAND_DISPLAY"] = std::nullopt;
  mutter_ = spawn("mutter-" + std::to_string(mutterStarts_), command, env);
  const auto alive = [&] { return mutter_->running(); };
  if (!waitForNames(busAddress_, kMutterNames, true, 30s, alive) ||
      !waitForFile(dir_.path(), waylandDisplay_, 10s, alive)) {
    throw std::runtime_error(std::string("mutter did not come up") +
                             (mutter_->running() ? "" : " (it exited)") + ": " + mutterLog());
  }
}

void GnomeSession::killMutter() {
  if (!mutter_) return;
  mutter_->signal(SIGKILL);
  mutter_->wait(10s);
  mutter_.reset();
  if (!waitForNames(busAddress_, kMutterNames, false, 10s, [] { return true; })) {
    throw std::runtime_error("mutter's bus names outlived it");
  }
}

void GnomeSession::restartMutter() {
  killMutter();
  startMutter();
}

bool GnomeSession::mutterRunning() { return mutter_ && mutter_->running(); }

std::string GnomeSession::mutterLog() const {
  return tail(dir_ / ("mutter-" + std::to_string(mutterStarts_) + ".log"), 20000);
}

std::string GnomeSession::shellPrefix() const {
  std::string prefix;
  for (const auto& [key, value] : environment()) {
    prefix += value ? "export " + key + "=" + shellQuote(*value) + "; " : "unset " + key + "; ";
  }
  return prefix;
}

int GnomeSession::run(const std::string& command) const {
  const std::string line = shellPrefix() + command;
  const int status = std::system(line.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string GnomeSession::output(const std::string& command) const {
  const std::string line = shellPrefix() + command;
  std::string out;
  if (FILE* pipe = popen(line.c_str(), "r")) {
    std::array<char, 4096> buffer;
    std::size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
    pclose(pipe);
  }
  return out;
}

// --- WaylandTestWindow ---------------------------------------------------------------------------

WaylandTestWindow::WaylandTestWindow(const GnomeSession& session, const std::string& color) {
  const auto commands = files_ / "commands";
  if (::mkfifo(commands.c_str(), 0600) != 0) {
    throw std::runtime_error("mkfifo: " + std::string(std::strerror(errno)));
  }
  process_ = std::make_unique<Process>(
      "/usr/bin/python3",
      std::vector<std::string>{NIMBREL_WAYLAND_TEST_WINDOW, "--color", color, "--commands",
                               commands.string()},
      session.environment());
  const auto ready = next("ready ", 30s);
  if (!ready || std::sscanf(ready->c_str(), "ready %d %d", &width_, &height_) != 2) {
    throw std::runtime_error("the Wayland test window did not become ready: " + errors() +
                             "\nit said: " + transcript());
  }
}

WaylandTestWindow::~WaylandTestWindow() = default;

void WaylandTestWindow::send(const std::string& command) {
  // The window holds the FIFO open for reading (and writing), so this open never blocks.
  const int fd = ::open((files_ / "commands").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("the test window's command FIFO: " + std::string(std::strerror(errno)));
  const std::string line = command + "\n";
  const ssize_t n = ::write(fd, line.data(), line.size());
  ::close(fd);
  if (n != static_cast<ssize_t>(line.size())) throw std::runtime_error("cannot send '" + command + "'");
}

std::optional<std::string> WaylandTestWindow::takeLine(const std::string& text, bool whole,
                                                       std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const std::string& out = process_->output();
    const std::size_t seen = out.size();
    std::size_t start = taken_;
    for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string line = out.substr(start, end - start);
      if (whole ? line == text : line.rfind(text, 0) == 0) {
        taken_ = end + 1;
        return line;
      }
    }
    const auto now = Clock::now();
    if (now >= deadline) return std::nullopt;
    // Reads what comes (poll on its standard output) for a short while; "\x01" never comes.
    const bool alive = process_->running();
    process_->waitForOutput("\x01", std::min<std::chrono::milliseconds>(
                                        20ms, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)));
    if (!alive && process_->output().size() == seen) return std::nullopt;
  }
}

bool WaylandTestWindow::expect(const std::string& line, std::chrono::milliseconds timeout) {
  return takeLine(line, true, timeout).has_value();
}

std::optional<std::string> WaylandTestWindow::next(const std::string& prefix,
                                                   std::chrono::milliseconds timeout) {
  return takeLine(prefix, false, timeout);
}

bool WaylandTestWindow::pastes(const std::string& text, int tries) {
  const std::string wanted = "clipboard " + text;
  for (int i = 0; i < tries; ++i) {
    send("paste");
    const auto line = next("clipboard ");
    if (!line) return false;
    if (*line == wanted) return true;
  }
  return false;
}

std::string WaylandTestWindow::transcript() {
  process_->waitForOutput("\x01", 1ms);
  return process_->output();
}

std::string WaylandTestWindow::errors() { return process_->errorOutput(); }

bool WaylandTestWindow::running() { return process_->running(); }

std::optional<int> WaylandTestWindow::wait(std::chrono::milliseconds timeout) {
  return process_->wait(timeout);
}

}  // namespace nimbrel::test
