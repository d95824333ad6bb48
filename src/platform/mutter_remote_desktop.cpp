#include "platform/mutter_remote_desktop.hpp"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "base/log.hpp"
#include "platform/mutter_bus.hpp"

namespace nimbrel {

using namespace mutter;

namespace {

std::string busAddressOr(const std::string& address, std::string& problem) {
  if (!address.empty()) return address;
  GErrorText error;
  gchar* found = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error.error);
  if (!found) {
    problem = error.text();
    return {};
  }
  std::string result = found;
  g_free(found);
  return result;
}

GDBusConnection* connect(const std::string& address, std::string& problem) {
  GErrorText error;
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error.error);
  if (!connection) problem = error.text();
  return connection;
}

const char* destinationOf(const char* interface) {
  const std::string_view name(interface);
  if (name.starts_with(kScreenCastName)) return kScreenCastName;
  if (name.starts_with(kDisplayConfigName)) return kDisplayConfigName;
  return kRemoteDesktopName;
}

// The current mode of each connector, from GetCurrentState's monitors.
std::map<std::string, std::pair<int, int>> currentModes(GVariant* monitors) {
  std::map<std::string, std::pair<int, int>> modes;
  GVariantIter iter;
  g_variant_iter_init(&iter, monitors);
  GVariant* monitor = nullptr;
  while ((monitor = g_variant_iter_next_value(&iter))) {
    const gchar* connector = nullptr;
    GVariant* identity = g_variant_get_child_value(monitor, 0);
    g_variant_get_child(identity, 0, "&s", &connector);
    GVariant* modeList = g_variant_get_child_value(monitor, 1);
    GVariantIter modeIter;
    g_variant_iter_init(&modeIter, modeList);
    GVariant* mode = nullptr;
    while ((mode = g_variant_iter_next_value(&modeIter))) {
      gint32 width = 0, height = 0;
      g_variant_get_child(mode, 1, "i", &width);
      g_variant_get_child(mode, 2, "i", &height);
      GVariant* properties = g_variant_get_child_value(mode, 6);
      gboolean current = FALSE;
      g_variant_lookup(properties, "is-current", "b", &current);
      if (current) modes[connector] = {width, height};
      g_variant_unref(properties);
      g_variant_unref(mode);
    }
    g_variant_unref(modeList);
    g_variant_unref(identity);
    g_variant_unref(monitor);
  }
  return modes;
}

}  // namespace

bool mutterRemoteDesktopAvailable(std::string& problem) {
  const std::string address = busAddressOr({}, problem);
  if (address.empty()) return false;
  GDBusConnection* connection = connect(address, problem);
  if (!connection) return false;
  GErrorText error;
  GVariant* reply = g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "NameHasOwner", g_variant_new("(s)", kRemoteDesktopName), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error.error);
  bool has = false;
  if (reply) {
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    has = owned;
    g_variant_unref(reply);
    if (!has) problem = std::string("the session bus has no ") + kRemoteDesktopName;
  } else {
    problem = error.text();
  }
  g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_object_unref(connection);
  return has;
}

std::shared_ptr<MutterRemoteDesktop> MutterRemoteDesktop::create(std::string busAddress) {
  return std::make_shared<MutterRemoteDesktop>(Private{}, std::move(busAddress));
}

MutterRemoteDesktop::MutterRemoteDesktop(Private, std::string busAddress)
    : busAddress_(std::move(busAddress)) {}

MutterRemoteDesktop::~MutterRemoteDesktop() {
  if (connection_) {
    for (unsigned id : subscriptions_) g_dbus_connection_signal_unsubscribe(connection_, id);
    // Closing the connection ends the session on the desktop's side; nothing waits for it.
    g_dbus_connection_close(connection_, nullptr, nullptr, nullptr);
    g_object_unref(connection_);
  }
  if (loop_) {
    // Quit from inside the loop, so that a quit cannot come before the loop runs.
    auto* loop = static_cast<GMainLoop*>(loop_);
    GSource* quit = g_idle_source_new();
    g_source_set_callback(
        quit,
        [](gpointer data) {
          g_main_loop_quit(static_cast<GMainLoop*>(data));
          return G_SOURCE_REMOVE;
        },
        g_main_loop_ref(loop), [](gpointer data) { g_main_loop_unref(static_cast<GMainLoop*>(data)); });
    g_source_attach(quit, g_main_loop_get_context(loop));
    g_source_unref(quit);
  }
}

void MutterRemoteDesktop::subscribe() {
  std::string problem;
  const std::string address = busAddressOr(busAddress_, problem);
  // Signals, and the connection's own "closed", are delivered on a thread of their own, in a
  // context no one else iterates: the one current while the connection is made.
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  if (!address.empty()) connection_ = connect(address, problem);
  if (!connection_) {
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    throw MutterError("couldn't reach the session bus: " + problem);
  }
  GMainLoop* loop = g_main_loop_new(context, FALSE);
  loop_ = loop;
  auto onSignal = [](GDBusConnection*, const gchar*, const gchar* path, const gchar* interface,
                     const gchar* member, GVariant* parameters, gpointer data) {
    if (auto self = static_cast<std::weak_ptr<MutterRemoteDesktop>*>(data)->lock()) {
      self->onSignal(path, interface, member, parameters);
    }
  };
  auto forget = [](gpointer data) { delete static_cast<std::weak_ptr<MutterRemoteDesktop>*>(data); };
  // Only the services themselves are heard: another peer on the bus cannot fake their signals.
  struct Watched {
    const char* sender;
    const char* interface;
    const char* member;
    const char* arg0;
  };
  const Watched watched[] = {
      {kRemoteDesktopName, kRemoteDesktopSession, nullptr, nullptr},
      {kScreenCastName, kScreenCastSession, "Closed", nullptr},
      {kScreenCastName, kScreenCastStream, "PipeWireStreamAdded", nullptr},
      {kDisplayConfigName, kDisplayConfigName, "MonitorsChanged", nullptr},
      {"org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", kRemoteDesktopName},
  };
  for (const Watched& w : watched) {
    subscriptions_.push_back(g_dbus_connection_signal_subscribe(
        connection_, w.sender, w.interface, w.member, nullptr, w.arg0, G_DBUS_SIGNAL_FLAGS_NONE,
        onSignal, new std::weak_ptr<MutterRemoteDesktop>(weak_from_this()), forget));
  }
  g_signal_connect_data(
      connection_, "closed",
      G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer data) {
        if (auto self = static_cast<std::weak_ptr<MutterRemoteDesktop>*>(data)->lock()) {
          self->end("the connection to the session bus closed");
        }
      }),
      new std::weak_ptr<MutterRemoteDesktop>(weak_from_this()),
      [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<MutterRemoteDesktop>*>(data); },
      G_CONNECT_DEFAULT);
  g_main_context_pop_thread_default(context);
  std::thread([loop, context] {
    g_main_context_push_thread_default(context);
    g_main_loop_run(loop);
    // What the unsubscriptions queued (the release of their data) runs before the end.
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  }).detach();
}

GVariant* MutterRemoteDesktop::call(const std::string& path, const char* interface,
                                    const char* method, GVariant* parameters,
                                    const char* replyType) {
  if (!connection_) {
    if (parameters) g_variant_unref(g_variant_ref_sink(parameters));
    throw MutterError("no session bus");
  }
  GErrorText error;
  GVariant* reply = g_dbus_connection_call_sync(
      connection_, destinationOf(interface), path.c_str(), interface, method, parameters,
      replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs,
      nullptr, &error.error);
  if (!reply) throw MutterError(std::string(method) + ": " + error.text());
  return reply;
}

void MutterRemoteDesktop::ensureStarted() {
  const std::lock_guard starting(startLock_);
  {
    const std::lock_guard guard(lock_);
    if (ended_) throw MutterError(*ended_);
    if (session_) return;
  }
  if (!connection_) subscribe();  // the first use: the bus connection and its signals
  start();
}

void MutterRemoteDesktop::start() {
  // The monitors and their current modes.
  GVariant* state = call("/org/gnome/Mutter/DisplayConfig", kDisplayConfigName, "GetCurrentState",
                         nullptr, "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})");
  GVariant* monitors = g_variant_get_child_value(state, 1);
  GVariant* logicalList = g_variant_get_child_value(state, 2);
  GVariant* properties = g_variant_get_child_value(state, 3);
  const auto modes = currentModes(monitors);
  guint32 layoutMode = 1;
  g_variant_lookup(properties, "layout-mode", "u", &layoutMode);
  std::vector<MutterLogicalMonitor> logical;
  GVariantIter iter;
  g_variant_iter_init(&iter, logicalList);
  GVariant* entry = nullptr;
  while ((entry = g_variant_iter_next_value(&iter))) {
    MutterLogicalMonitor m;
    gint32 x = 0, y = 0;
    gdouble scale = 1;
    guint32 transform = 0;
    gboolean primary = FALSE;
    g_variant_get_child(entry, 0, "i", &x);
    g_variant_get_child(entry, 1, "i", &y);
    g_variant_get_child(entry, 2, "d", &scale);
    g_variant_get_child(entry, 3, "u", &transform);
    g_variant_get_child(entry, 4, "b", &primary);
    GVariant* shown = g_variant_get_child_value(entry, 5);
    if (g_variant_n_children(shown) > 0) {
      GVariant* first = g_variant_get_child_value(shown, 0);
      const gchar* connector = nullptr;
      g_variant_get_child(first, 0, "&s", &connector);
      m.connector = connector;
      g_variant_unref(first);
    }
    g_variant_unref(shown);
    m.x = x;
    m.y = y;
    m.scale = scale;
    m.transform = transform;
    m.primary = primary;
    if (auto mode = modes.find(m.connector); mode != modes.end()) {
      m.modeWidth = mode->second.first;
      m.modeHeight = mode->second.second;
    }
    logical.push_back(m);
    g_variant_unref(entry);
  }
  g_variant_unref(properties);
  g_variant_unref(logicalList);
  g_variant_unref(monitors);
  g_variant_unref(state);
  const std::vector<MutterOutput> outputs = outputsFromLayout(logical, layoutMode);
  if (outputs.empty()) throw MutterError("the desktop lists no monitors");

  Session session;
  GVariant* reply = call("/org/gnome/Mutter/RemoteDesktop", kRemoteDesktopName, "CreateSession",
                         nullptr, "(o)");
  const gchar* path = nullptr;
  g_variant_get(reply, "(&o)", &path);
  session.remoteDesktop = path;
  g_variant_unref(reply);
  // From here on a failure stops what was created.
  try {
    reply = call(session.remoteDesktop, "org.freedesktop.DBus.Properties", "Get",
                 g_variant_new("(ss)", kRemoteDesktopSession, "SessionId"), "(v)");
    GVariant* idValue = nullptr;
    g_variant_get(reply, "(v)", &idValue);
    const std::string sessionID = g_variant_get_string(idValue, nullptr);
    g_variant_unref(idValue);
    g_variant_unref(reply);

    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "remote-desktop-session-id",
                          g_variant_new_string(sessionID.c_str()));
    reply = call("/org/gnome/Mutter/ScreenCast", kScreenCastName, "CreateSession",
                 g_variant_new("(a{sv})", &options), "(o)");
    g_variant_get(reply, "(&o)", &path);
    session.screenCast = path;
    g_variant_unref(reply);

    for (const auto& output : outputs) {
      GVariantBuilder record;
      g_variant_builder_init(&record, G_VARIANT_TYPE_VARDICT);
      g_variant_builder_add(&record, "{sv}", "cursor-mode", g_variant_new_uint32(2));  // metadata
      reply = call(session.screenCast, kScreenCastSession, "RecordMonitor",
                   g_variant_new("(sa{sv})", output.connector.c_str(), &record), "(o)");
      g_variant_get(reply, "(&o)", &path);
      session.streams.push_back({output, path, 0});
      g_variant_unref(reply);
    }
    GVariantBuilder clipboard;
    g_variant_builder_init(&clipboard, G_VARIANT_TYPE_VARDICT);
    g_variant_unref(call(session.remoteDesktop, kRemoteDesktopSession, "EnableClipboard",
                         g_variant_new("(a{sv})", &clipboard), nullptr));

    {
      // Published before Start, so that the stream signals find their streams.
      const std::lock_guard guard(lock_);
      session_ = session;
      offered_.reset();
      ++generation_;
    }
    g_variant_unref(call(session.remoteDesktop, kRemoteDesktopSession, "Start", nullptr, nullptr));

    std::unique_lock guard(lock_);
    const bool ready = nodesArrived_.wait_for(guard, kNodeWait, [this] {
      if (!session_) return true;
      for (const auto& stream : session_->streams) {
        if (stream.node == 0) return false;
      }
      return true;
    });
    if (!session_) throw MutterError("the desktop ended the session as it started");
    if (!ready) {
      session_.reset();
      throw MutterError("the desktop did not start its screen streams");
    }
  } catch (...) {
    {
      const std::lock_guard guard(lock_);
      session_.reset();
    }
    try {
      g_variant_unref(call(session.remoteDesktop, kRemoteDesktopSession, "Stop", nullptr, nullptr));
    } catch (const MutterError&) {
      // Never started, or already gone: nothing is left to stop.
    }
    throw;
  }
  // A seat with no keyboard or pointer of its own (a headless desktop) gets them with the
  // session's first events: windows hear of them only then, and would miss the first real key
  // or click. Harmless events bring them now: a Control tap (a lone Shift may switch an input
  // method, Super opens the overview), a pointer move by nothing.
  try {
    const std::string& primed = session.remoteDesktop;
    g_variant_unref(call(primed, kRemoteDesktopSession, "NotifyKeyboardKeysym",
                         g_variant_new("(ub)", 0xffe3u, TRUE), nullptr));
    g_variant_unref(call(primed, kRemoteDesktopSession, "NotifyKeyboardKeysym",
                         g_variant_new("(ub)", 0xffe3u, FALSE), nullptr));
    g_variant_unref(call(primed, kRemoteDesktopSession, "NotifyPointerMotionRelative",
                         g_variant_new("(dd)", 0.0, 0.0), nullptr));
  } catch (const MutterError& error) {
    logLine(std::string("Couldn't ready the desktop's keyboard and pointer: ") + error.what());
  }
  logLine("Started a remote-desktop session of the desktop with " +
          std::to_string(outputs.size()) + (outputs.size() == 1 ? " monitor." : " monitors."));
}

void MutterRemoteDesktop::onSignal(const std::string& path, const std::string& interface,
                                   const std::string& member, GVariant* parameters) {
  if (interface == "org.freedesktop.DBus") {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sss)"))) return;
    const gchar* name = nullptr;
    const gchar* oldOwner = nullptr;
    const gchar* newOwner = nullptr;
    g_variant_get(parameters, "(&s&s&s)", &name, &oldOwner, &newOwner);
    if (*oldOwner) end("the desktop's remote-desktop service went away");
    return;
  }
  if (member == "MonitorsChanged") {
    // The streams show the old monitors: a client starts again with the new ones.
    end("the desktop's monitors changed");
    return;
  }
  if (member == "PipeWireStreamAdded") {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(u)"))) return;
    guint32 node = 0;
    g_variant_get(parameters, "(u)", &node);
    const std::lock_guard guard(lock_);
    if (!session_) return;
    for (auto& stream : session_->streams) {
      if (stream.path == path) stream.node = node;
    }
    nodesArrived_.notify_all();
    return;
  }
  if (member == "Closed") {
    const std::string mine = [&] {
      const std::lock_guard guard(lock_);
      if (!session_) return std::string();
      return interface == kScreenCastSession ? session_->screenCast : session_->remoteDesktop;
    }();
    if (!mine.empty() && mine == path) end("the desktop closed the remote-desktop session");
    return;
  }
  if (member == "SelectionTransfer" && path == sessionPath()) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(su)"))) return;
    const gchar* mime = nullptr;
    guint32 serial = 0;
    g_variant_get(parameters, "(&su)", &mime, &serial);
    // Writing waits on the reading application: never on the signal thread.
    std::thread([self = shared_from_this(), serial] { self->answerTransfer(serial); }).detach();
  }
}

void MutterRemoteDesktop::end(const std::string& why) {
  std::function<void(const std::string&)> listener;
  {
    const std::lock_guard guard(lock_);
    if (!session_) return;
    session_.reset();
    ended_ = why;
    offered_.reset();
    listener = endListener_;
    nodesArrived_.notify_all();
  }
  logLine("The remote-desktop session ended: " + why + ".");
  if (listener) listener(why);
}

std::string MutterRemoteDesktop::sessionPath() const {
  const std::lock_guard guard(lock_);
  return session_ ? session_->remoteDesktop : std::string();
}

std::vector<MutterRemoteDesktop::Stream> MutterRemoteDesktop::streams() {
  ensureStarted();
  const std::lock_guard guard(lock_);
  return session_ ? session_->streams : std::vector<Stream>{};
}

std::uint64_t MutterRemoteDesktop::generation() const {
  const std::lock_guard guard(lock_);
  return generation_;
}

bool MutterRemoteDesktop::running() const {
  const std::lock_guard guard(lock_);
  return session_.has_value();
}

void MutterRemoteDesktop::setEndListener(std::function<void(const std::string&)> listener) {
  const std::lock_guard guard(lock_);
  endListener_ = std::move(listener);
}

void MutterRemoteDesktop::callInput(const char* method, GVariant* parameters) {
  // Held until sent, whatever is thrown first.
  std::unique_ptr<GVariant, void (*)(GVariant*)> owned(g_variant_ref_sink(parameters),
                                                       g_variant_unref);
  ensureStarted();
  const std::string path = sessionPath();
  if (path.empty()) throw MutterError("the remote-desktop session ended");
  g_variant_unref(call(path, kRemoteDesktopSession, method, owned.get(), nullptr));
}

void MutterRemoteDesktop::movePointer(Point global) {
  ensureStarted();
  std::string stream;
  Point local;
  {
    const std::lock_guard guard(lock_);
    if (!session_) throw MutterError("the remote-desktop session ended");
    std::vector<MutterOutput> outputs;
    for (const auto& s : session_->streams) outputs.push_back(s.output);
    const MutterOutput* target = outputAt(outputs, global);
    if (!target) throw MutterError("the desktop lists no monitors");
    const Stream& chosen = session_->streams[std::size_t(target - outputs.data())];
    stream = chosen.path;
    local = streamPosition(chosen.output, global);
    pointer_ = globalPosition(chosen.output, local);
  }
  callInput("NotifyPointerMotionAbsolute", g_variant_new("(sdd)", stream.c_str(), local.x, local.y));
  std::function<void(Point)> listener;
  Point now;
  {
    const std::lock_guard guard(lock_);
    listener = pointerListener_;
    now = pointer_;
  }
  if (listener) listener(now);
}

void MutterRemoteDesktop::pointerButton(std::uint32_t evdevButton, bool down) {
  callInput("NotifyPointerButton", g_variant_new("(ib)", gint32(evdevButton), gboolean(down)));
}

void MutterRemoteDesktop::scrollDiscrete(std::uint32_t axis, int steps) {
  callInput("NotifyPointerAxisDiscrete", g_variant_new("(ui)", axis, gint32(steps)));
}

void MutterRemoteDesktop::keysym(std::uint32_t sym, bool down) {
  callInput("NotifyKeyboardKeysym", g_variant_new("(ub)", sym, gboolean(down)));
}

void MutterRemoteDesktop::keycode(std::uint32_t evdevKeycode, bool down) {
  callInput("NotifyKeyboardKeycode", g_variant_new("(ub)", evdevKeycode, gboolean(down)));
}

bool MutterRemoteDesktop::capsLock() {
  ensureStarted();
  const std::string path = sessionPath();
  if (path.empty()) return false;
  GVariant* reply = call(path, "org.freedesktop.DBus.Properties", "Get",
                         g_variant_new("(ss)", kRemoteDesktopSession, "CapsLockState"), "(v)");
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  const bool on = g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
  g_variant_unref(value);
  g_variant_unref(reply);
  return on;
}

Point MutterRemoteDesktop::pointer() const {
  const std::lock_guard guard(lock_);
  return pointer_;
}

void MutterRemoteDesktop::notePointer(Point global) {
  std::function<void(Point)> listener;
  {
    const std::lock_guard guard(lock_);
    if (pointer_ == global) return;
    pointer_ = global;
    listener = pointerListener_;
  }
  if (listener) listener(global);
}

void MutterRemoteDesktop::setPointerListener(std::function<void(Point)> listener) {
  Point now;
  {
    const std::lock_guard guard(lock_);
    pointerListener_ = listener;
    now = pointer_;
  }
  if (listener) listener(now);
}

}  // namespace nimbrel
