// The GNOME test session and the Wayland test window, played for real: mutter driven straight
// through its RemoteDesktop/ScreenCast D-Bus API, its frames read from PipeWire.

#include "support/gnome_session.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>

namespace nimbrel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";

struct VariantUnref {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

// One connection to the session bus with its own main context: mutter ties the sessions it
// makes to the connection that asked, so a whole scenario goes through one of these.
class Bus {
 public:
  explicit Bus(const std::string& address) : context_(g_main_context_new()) {
    GError* error = nullptr;
    g_main_context_push_thread_default(context_);
    connection_ = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_main_context_pop_thread_default(context_);
    if (!connection_) throw std::runtime_error(take(error));
  }
  ~Bus() {
    for (guint id : subscriptions_) g_dbus_connection_signal_unsubscribe(connection_, id);
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_context_unref(context_);
  }

  Variant call(const char* name, const std::string& path, const std::string& interface,
               const char* method, GVariant* arguments = nullptr, const char* replyType = nullptr) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        connection_, name, path.c_str(), interface.c_str(), method, arguments,
        replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
    if (!reply) throw std::runtime_error(std::string(method) + ": " + take(error));
    return Variant(reply);
  }

  std::string objectPath(const char* name, const std::string& path, const std::string& interface,
                         const char* method, GVariant* arguments = nullptr) {
    const Variant reply = call(name, path, interface, method, arguments, "(o)");
    const gchar* result = nullptr;
    g_variant_get(reply.get(), "(&o)", &result);
    return result;
  }

  Variant property(const char* name, const std::string& path, const std::string& interface,
                   const char* property) {
    const Variant reply = call(name, path, "org.freedesktop.DBus.Properties", "Get",
                               g_variant_new("(ss)", interface.c_str(), property), "(v)");
    GVariant* value = nullptr;
    g_variant_get(reply.get(), "(v)", &value);
    return Variant(value);
  }

  // Calls `handler` with the arguments of each `member` signal from `path`, while pumping.
  void onSignal(const char* sender, const std::string& path, const char* interface,
                const char* member, std::function<void(GVariant*)> handler) {
    auto* stored = new std::function<void(GVariant*)>(std::move(handler));
    g_main_context_push_thread_default(context_);
    subscriptions_.push_back(g_dbus_connection_signal_subscribe(
        connection_, sender, interface, member, path.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
           GVariant* parameters, gpointer data) {
          (*static_cast<std::function<void(GVariant*)>*>(data))(parameters);
        },
        stored, [](gpointer data) { delete static_cast<std::function<void(GVariant*)>*>(data); }));
    g_main_context_pop_thread_default(context_);
  }

  // Dispatches signals until `done` or `timeout`.
  bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    GSource* tick = g_timeout_source_new(100);
    g_source_set_callback(tick, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
    g_source_attach(tick, context_);
    while (!done() && Clock::now() < deadline) g_main_context_iteration(context_, TRUE);
    g_source_destroy(tick);
    g_source_unref(tick);
    return done();
  }

 private:
  static std::string take(GError* error) {
    std::string message = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    return message;
  }

  GMainContext* context_;
  GDBusConnection* connection_ = nullptr;
  std::vector<guint> subscriptions_;
};

// A RemoteDesktop session with a ScreenCast session tied to it, recording one monitor.
struct RemoteDesktop {
  RemoteDesktop(Bus& connection, const char* connector) : bus(connection) {
    session = bus.objectPath(kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", kRemoteDesktop,
                             "CreateSession");
    const Variant id = bus.property(kRemoteDesktop, session, rd(), "SessionId");
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "remote-desktop-session-id", g_variant_new_string(g_variant_get_string(id.get(), nullptr)));
    screenCast = bus.objectPath(kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast,
                                "CreateSession", g_variant_new("(a{sv})", &options));
    stream = bus.objectPath(kScreenCast, screenCast, std::string(kScreenCast) + ".Session",
                            "RecordMonitor", g_variant_new("(s@a{sv})", connector, emptyOptions()));
    bus.onSignal(kScreenCast, stream, "org.gnome.Mutter.ScreenCast.Stream", "PipeWireStreamAdded",
                 [this](GVariant* arguments) { g_variant_get(arguments, "(u)", &node); });
  }

  static std::string rd() { return std::string(kRemoteDesktop) + ".Session"; }
  static GVariant* emptyOptions() { return g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0); }

  void start() { bus.call(kRemoteDesktop, session, rd(), "Start"); }
  void keysym(std::uint32_t sym) {
    bus.call(kRemoteDesktop, session, rd(), "NotifyKeyboardKeysym", g_variant_new("(ub)", sym, TRUE));
    bus.call(kRemoteDesktop, session, rd(), "NotifyKeyboardKeysym", g_variant_new("(ub)", sym, FALSE));
  }
  void moveTo(double x, double y) {
    bus.call(kRemoteDesktop, session, rd(), "NotifyPointerMotionAbsolute",
             g_variant_new("(sdd)", stream.c_str(), x, y));
  }
  void click(int button) {
    bus.call(kRemoteDesktop, session, rd(), "NotifyPointerButton", g_variant_new("(ib)", button, TRUE));
    bus.call(kRemoteDesktop, session, rd(), "NotifyPointerButton", g_variant_new("(ib)", button, FALSE));
  }
  void scroll(std::uint32_t axis, int steps) {
    bus.call(kRemoteDesktop, session, rd(), "NotifyPointerAxisDiscrete", g_variant_new("(ui)", axis, steps));
  }

  Bus& bus;
  std::string session;
  std::string screenCast;
  std::string stream;
  std::uint32_t node = 0;
};

// What a PipeWire video stream showed last, kept whole.
class FrameReader {
 public:
  explicit FrameReader(std::uint32_t node) {
    pw_init(nullptr, nullptr);
    loop_ = pw_thread_loop_new("frame-reader", nullptr);
    events_.version = PW_VERSION_STREAM_EVENTS;
    events_.param_changed = [](void* self, std::uint32_t id, const spa_pod* param) {
      static_cast<FrameReader*>(self)->formatChanged(id, param);
    };
    events_.process = [](void* self) { static_cast<FrameReader*>(self)->frame(); };
    stream_ = pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "nimbrel-test-reader",
                                   pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                     "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr),
                                   &events_, this);
    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_pod_frame object, choice;
    spa_pod_builder_push_object(&b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(&b, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(&b, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(&b, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(&b, SPA_MEDIA_SUBTYPE_raw);
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Enum, 0);
    for (auto f : {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA}) spa_pod_builder_id(&b, f);
    spa_pod_builder_pop(&b, &choice);
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_rectangle(&b, 1280, 800);
    spa_pod_builder_rectangle(&b, 1, 1);
    spa_pod_builder_rectangle(&b, 16384, 16384);
    spa_pod_builder_pop(&b, &choice);
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_fraction(&b, 0, 1);
    spa_pod_builder_fraction(&b, 0, 1);
    spa_pod_builder_fraction(&b, 1000, 1);
    spa_pod_builder_pop(&b, &choice);
    const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &object))};
    const int rc = pw_stream_connect(
        stream_, PW_DIRECTION_INPUT, node,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
    if (rc < 0) throw std::runtime_error("pw_stream_connect failed");
    pw_thread_loop_start(loop_);
  }

  ~FrameReader() {
    pw_thread_loop_lock(loop_);
    pw_stream_destroy(stream_);
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    pw_thread_loop_destroy(loop_);
  }

  // 0xRRGGBB at (x, y) of the last frame.
  std::uint32_t pixel(int x, int y) const {
    const std::uint8_t* p = pixels_.data() + static_cast<std::size_t>(y) * stride_ + x * 4;
    return static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[0];
  }

  // Waits for a frame of which `check` approves.
  bool waitFor(const std::function<bool(const FrameReader&)>& check, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return frames_ > 0 && check(*this); });
  }

  int width() const { return width_; }
  int height() const { return height_; }
  int frames() const { return frames_; }

 private:
  void formatChanged(std::uint32_t id, const spa_pod* param) {
    if (id != SPA_PARAM_Format || !param) return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    std::lock_guard lock(mutex_);
    width_ = static_cast<int>(info.size.width);
    height_ = static_cast<int>(info.size.height);
  }

  void frame() {
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
    if (!buffer) return;
    const spa_data& d = buffer->buffer->datas[0];
    const int stride = d.chunk->stride > 0 ? d.chunk->stride : width_ * 4;
    const std::size_t size = static_cast<std::size_t>(stride) * height_;
    if (d.data && width_ > 0 && stride >= width_ * 4 && d.chunk->size >= size &&
        d.chunk->offset + size <= d.maxsize) {
      std::lock_guard lock(mutex_);
      stride_ = stride;
      const auto* bytes = static_cast<const std::uint8_t*>(d.data) + d.chunk->offset;
      pixels_.assign(bytes, bytes + size);
      ++frames_;
      changed_.notify_all();
    }
    pw_stream_queue_buffer(stream_, buffer);
  }

  pw_thread_loop* loop_ = nullptr;
  pw_stream* stream_ = nullptr;
  pw_stream_events events_{};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::uint8_t> pixels_;
  int width_ = 0;
  int height_ = 0;
  int stride_ = 0;
  int frames_ = 0;
};

// A whole monitor, the whole window: its colour, mutter's idea of the layout, and what becomes
// of both when mutter dies and comes back.
TEST(GnomeSession, TwoMonitorsAWindowAndMutterRestarted) {
  GnomeSession session({"1280x800", "800x600"});

  struct stat info{};
  ASSERT_EQ(::stat(session.runtimeDir().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(session.environment().at("WAYLAND_DISPLAY"), session.waylandDisplay());
  EXPECT_EQ(session.environment().at("DBUS_SESSION_BUS_ADDRESS"), session.busAddress());
  EXPECT_FALSE(session.environment().at("DISPLAY").has_value());
  // The session bus of run() is the session's own: mutter is on it.
  EXPECT_EQ(session.output("gdbus call --session --dest org.freedesktop.DBus --object-path "
                           "/org/freedesktop/DBus --method org.freedesktop.DBus.NameHasOwner "
                           "org.gnome.Mutter.RemoteDesktop"),
            "(true,)\n");

  // Side by side, the first one primary.
  const std::string state = session.output(
      "gdbus call --session --dest org.gnome.Mutter.DisplayConfig --object-path "
      "/org/gnome/Mutter/DisplayConfig --method org.gnome.Mutter.DisplayConfig.GetCurrentState");
  EXPECT_NE(state.find("('Meta-0', 'MetaVendor'"), std::string::npos) << state;
  EXPECT_NE(state.find("'1280x800@60.000', 1280, 800"), std::string::npos) << state;
  EXPECT_NE(state.find("'800x600@60.000', 800, 600"), std::string::npos) << state;
  EXPECT_NE(state.find("(0, 0, 1.0, uint32 0, true, [('Meta-0'"), std::string::npos) << state;
  EXPECT_NE(state.find("(1280, 0, 1.0, 0, false, [('Meta-1'"), std::string::npos) << state;

  {
    WaylandTestWindow window(session);
    EXPECT_EQ(window.width(), 1280);
    EXPECT_EQ(window.height(), 800);

    session.killMutter();
    EXPECT_FALSE(session.mutterRunning());
    // Its client goes with it.
    EXPECT_TRUE(window.wait(10s).has_value()) << window.transcript();
    EXPECT_NE(session.run("gdbus introspect --session --dest org.gnome.Mutter.ScreenCast "
                          "--object-path /org/gnome/Mutter/ScreenCast >/dev/null 2>&1"),
              0);
  }

  session.restartMutter();
  EXPECT_TRUE(session.mutterRunning());
  WaylandTestWindow window(session, "30a050");
  EXPECT_EQ(window.width(), 1280);
  EXPECT_EQ(session.output("gdbus call --session --dest org.gnome.Mutter.RemoteDesktop --object-path "
                           "/org/gnome/Mutter/RemoteDesktop --method org.freedesktop.DBus.Properties.Get "
                           "org.gnome.Mutter.RemoteDesktop Version"),
            "(<1>,)\n");
  EXPECT_NE(session.mutterLog().find("Added virtual monitor Meta-1"), std::string::npos)
      << session.mutterLog();
}

// A remote-desktop session's pointer and keyboard reach the focused Wayland window.
TEST(GnomeSession, RemoteDesktopInputReachesTheWindow) {
  GnomeSession session;
  WaylandTestWindow window(session);
  Bus bus(session.busAddress());

  const auto begun = Clock::now();
  RemoteDesktop remote(bus, "Meta-0");
  remote.start();
  ASSERT_TRUE(bus.pumpUntil([&] { return remote.node != 0; }, 10s)) << session.mutterLog();
  const auto streaming = Clock::now();

  // The seat gets its keyboard with the session's first key event, and that event is spent on
  // the window's keyboard focus: the window sees no key from it.
  remote.keysym(0xffe1);  // Shift_L
  ASSERT_TRUE(window.expect("focus in")) << window.transcript();
  const auto focused = Clock::now();
  const auto ms = [](auto d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
  ::testing::Test::RecordProperty("stream_ms", std::to_string(ms(streaming - begun)));
  ::testing::Test::RecordProperty("keyboard_ms", std::to_string(ms(focused - streaming)));

  // The same for the pointer: the first motion brings it, and a press sent before the window has
  // bound it would be lost.
  remote.moveTo(100, 200);
  ASSERT_TRUE(window.expect("pointer in 100 200")) << window.transcript();
  remote.click(272);  // BTN_LEFT
  EXPECT_TRUE(window.expect("click 1 100 200")) << window.transcript();
  EXPECT_TRUE(window.expect("release 1 100 200")) << window.transcript();
  remote.moveTo(1279, 799);
  remote.click(273);  // BTN_RIGHT
  EXPECT_TRUE(window.expect("click 3 1279 799")) << window.transcript();
  remote.scroll(0, 1);
  EXPECT_EQ(window.next("scroll "), "scroll 0 1");
  remote.scroll(1, -1);
  EXPECT_EQ(window.next("scroll "), "scroll -1 0");

  remote.keysym('a');
  EXPECT_EQ(window.next("text "), "text \"a\"") << window.transcript();
  // Under Caps Lock a keysym types the other case: mutter picks the key and the Shift level for
  // the keysym as if Caps Lock were off, and Caps Lock then applies on top.
  remote.keysym(0xffe5);  // Caps_Lock
  ASSERT_TRUE(window.expect("capslock on")) << window.transcript();
  remote.keysym('A');
  EXPECT_TRUE(window.expect("key a shift")) << window.transcript();
  EXPECT_EQ(window.next("text "), "text \"aa\"") << window.transcript();
  remote.keysym('a');
  EXPECT_EQ(window.next("text "), "text \"aaA\"") << window.transcript();
  remote.keysym(0xffe5);
  ASSERT_TRUE(window.expect("capslock off")) << window.transcript();
  window.send("capslock");
  EXPECT_EQ(window.next("capslock "), "capslock off");
  // A character the layout lacks is dropped without a word (the call succeeds).
  remote.keysym(0x100263a);  // U+263A
  remote.keysym('b');
  EXPECT_EQ(window.next("text "), "text \"aaAb\"") << window.transcript();
  remote.keysym(0xff0d);  // Return
  EXPECT_EQ(window.next("text "), "text \"aaAb\\n\"") << window.transcript();
  window.send("clear");
  EXPECT_EQ(window.next("text "), "text \"\"");

  // With a keyboard on the seat, the window's clipboard is everyone's.
  window.send("copy \"from the window ☺\"");
  ASSERT_TRUE(window.expect("copied"));
  EXPECT_EQ(session.output("wl-paste --no-newline"), "from the window ☺");
  EXPECT_TRUE(window.expect("focus in")) << "the window did not get its focus back";
}

// A monitor's screen-cast stream, read from PipeWire, shows what the window painted.
TEST(GnomeSession, ScreenCastShowsWhatTheWindowPainted) {
  GnomeSession session;
  session.enter();
  WaylandTestWindow window(session, "2060c0");
  Bus bus(session.busAddress());

  const std::string screenCast = bus.objectPath(kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast,
                                                "CreateSession", g_variant_new("(@a{sv})", RemoteDesktop::emptyOptions()));
  const std::string stream = bus.objectPath(kScreenCast, screenCast, std::string(kScreenCast) + ".Session",
                                            "RecordMonitor", g_variant_new("(s@a{sv})", "Meta-0", RemoteDesktop::emptyOptions()));
  std::uint32_t node = 0;
  bus.onSignal(kScreenCast, stream, "org.gnome.Mutter.ScreenCast.Stream", "PipeWireStreamAdded",
               [&](GVariant* arguments) { g_variant_get(arguments, "(u)", &node); });
  bus.call(kScreenCast, screenCast, std::string(kScreenCast) + ".Session", "Start");
  ASSERT_TRUE(bus.pumpUntil([&] { return node != 0; }, 10s)) << session.mutterLog();

  FrameReader frames(node);
  ASSERT_TRUE(frames.waitFor([](const FrameReader& f) { return f.pixel(640, 400) == 0x2060c0; }, 10s))
      << "frames: " << frames.frames();
  EXPECT_EQ(frames.width(), 1280);
  EXPECT_EQ(frames.height(), 800);

  window.send("rect ff0000 100 100 50 50");
  ASSERT_TRUE(window.expect("painted ff0000")) << window.errors();
  EXPECT_TRUE(frames.waitFor([](const FrameReader& f) {
    return f.pixel(100, 100) == 0xff0000 && f.pixel(149, 149) == 0xff0000 &&
           f.pixel(150, 150) == 0x2060c0 && f.pixel(99, 99) == 0x2060c0;
  }, 10s));
  window.send("color 00ff00");
  ASSERT_TRUE(window.expect("painted 00ff00")) << window.errors();
  EXPECT_TRUE(frames.waitFor([](const FrameReader& f) {
    return f.pixel(0, 0) == 0x00ff00 && f.pixel(120, 120) == 0x00ff00 && f.pixel(1279, 799) == 0x00ff00;
  }, 10s));
}

}  // namespace
}  // namespace nimbrel::test
