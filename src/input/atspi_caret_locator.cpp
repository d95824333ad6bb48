// The caret through AT-SPI: the focused accessible (followed through focus events, or found by
// walking the active windows), its caret offset and character extents in screen coordinates.
// Every AT-SPI call runs on one thread of its own with a private GLib context, so a slow or
// hung application never blocks the caller beyond the time-out.

#include <atspi/atspi.h>
#include <gio/gio.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "input/caret_locator.hpp"

namespace nimbrel {
namespace {

constexpr auto callTimeout = std::chrono::milliseconds(300);
constexpr int atspiTimeoutMs = 250;
constexpr int maxWalk = 2000;  // accessibles visited when looking for the focused one

bool sessionBusReachable() {
  if (std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code error;
  return runtime != nullptr && std::filesystem::exists(std::filesystem::path(runtime) / "bus", error);
}

bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
  AtspiStateSet* states = atspi_accessible_get_state_set(accessible);
  if (states == nullptr) return false;
  const bool has = atspi_state_set_contains(states, state);
  g_object_unref(states);
  return has;
}

// Depth-first search for the focused descendant; the result carries a reference.
AtspiAccessible* findFocused(AtspiAccessible* node, int& budget) {
  if (--budget < 0) return nullptr;
  if (hasState(node, ATSPI_STATE_FOCUSED)) return static_cast<AtspiAccessible*>(g_object_ref(node));
  const gint count = atspi_accessible_get_child_count(node, nullptr);
  for (gint i = 0; i < count && budget >= 0; ++i) {
    AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, nullptr);
    if (child == nullptr) continue;
    AtspiAccessible* found = findFocused(child, budget);
    g_object_unref(child);
    if (found != nullptr) return found;
  }
  return nullptr;
}

AtspiAccessible* searchFocused() {
  AtspiAccessible* desktop = atspi_get_desktop(0);
  if (desktop == nullptr) return nullptr;
  AtspiAccessible* found = nullptr;
  int budget = maxWalk;
  const gint apps = atspi_accessible_get_child_count(desktop, nullptr);
  for (gint a = 0; a < apps && found == nullptr; ++a) {
    AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, a, nullptr);
    if (app == nullptr) continue;
    const gint windows = atspi_accessible_get_child_count(app, nullptr);
    for (gint w = 0; w < windows && found == nullptr; ++w) {
      AtspiAccessible* window = atspi_accessible_get_child_at_index(app, w, nullptr);
      if (window == nullptr) continue;
      if (hasState(window, ATSPI_STATE_ACTIVE)) found = findFocused(window, budget);
      g_object_unref(window);
    }
    g_object_unref(app);
  }
  g_object_unref(desktop);
  return found;
}

std::optional<Rect> caretBounds(AtspiAccessible* accessible) {
  AtspiText* text = atspi_accessible_get_text_iface(accessible);
  if (text == nullptr) return std::nullopt;
  std::optional<Rect> result;
  const gint offset = atspi_text_get_caret_offset(text, nullptr);
  const gint count = atspi_text_get_character_count(text, nullptr);
  // At the end of the text there is no character at the caret: use the previous one's right edge.
  const bool atEnd = offset >= count && count > 0;
  if (offset >= 0 && (offset < count || atEnd)) {
    AtspiRect* extents = atspi_text_get_character_extents(text, atEnd ? count - 1 : offset,
                                                          ATSPI_COORD_TYPE_SCREEN, nullptr);
    if (extents != nullptr) {
      const double x = atEnd ? extents->x + extents->width : extents->x;
      result = Rect{x, static_cast<double>(extents->y), 0, static_cast<double>(extents->height)};
      g_free(extents);
    }
  }
  g_object_unref(text);
  return result;
}

std::optional<Rect> frame(AtspiAccessible* accessible) {
  AtspiComponent* component = atspi_accessible_get_component_iface(accessible);
  if (component == nullptr) return std::nullopt;
  std::optional<Rect> result;
  if (AtspiRect* extents = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, nullptr)) {
    result = Rect{static_cast<double>(extents->x), static_cast<double>(extents->y),
                  static_cast<double>(extents->width), static_cast<double>(extents->height)};
    g_free(extents);
  }
  g_object_unref(component);
  return result;
}

class AtspiCaretLocator final : public CaretLocator {
 public:
  AtspiCaretLocator() : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
    thread_ = std::thread([this] { run(); });
    std::unique_lock guard(lock_);
    started_.wait(guard, [this] { return startedUp_; });
  }

  ~AtspiCaretLocator() override {
    g_main_loop_quit(loop_);
    g_main_context_wakeup(context_);
    thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
  }

  bool available() const { return available_; }

  std::optional<Rect> caret() override {
    struct Request {
      std::mutex lock;
      std::condition_variable done;
      bool finished = false;
      std::optional<Rect> result;
      AtspiCaretLocator* self;
    };
    auto request = std::make_shared<Request>();
    request->self = this;
    auto* held = new std::shared_ptr<Request>(request);
    g_main_context_invoke_full(
        context_, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
          auto& r = **static_cast<std::shared_ptr<Request>*>(data);
          auto result = r.self->query();
          const std::lock_guard guard(r.lock);
          r.result = result;
          r.finished = true;
          r.done.notify_all();
          return G_SOURCE_REMOVE;
        },
        held, [](gpointer data) { delete static_cast<std::shared_ptr<Request>*>(data); });
    std::unique_lock guard(request->lock);
    request->done.wait_for(guard, callTimeout, [&] { return request->finished; });
    return request->finished ? request->result : std::nullopt;
  }

 private:
  void run() {
    g_main_context_push_thread_default(context_);
    available_ = start();
    {
      const std::lock_guard guard(lock_);
      startedUp_ = true;
    }
    started_.notify_all();
    if (available_) g_main_loop_run(loop_);
    if (listener_ != nullptr) {
      atspi_event_listener_deregister(listener_, "object:state-changed:focused", nullptr);
      g_object_unref(listener_);
    }
    if (focused_ != nullptr) g_object_unref(focused_);
    g_main_context_pop_thread_default(context_);
  }

  bool start() {
    if (!sessionBusReachable()) return false;
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (bus == nullptr) {
      g_clear_error(&error);
      return false;
    }
    // Toolkits that expose their widgets only while an assistive technology asks for them
    // (Qt among them) start doing so now.
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)), nullptr,
        G_DBUS_CALL_FLAGS_NONE, atspiTimeoutMs, nullptr, &error);
    if (reply != nullptr) g_variant_unref(reply);
    g_clear_error(&error);
    g_object_unref(bus);

    if (atspi_init() > 1) return false;
    atspi_set_main_context(context_);
    atspi_set_timeout(atspiTimeoutMs, atspiTimeoutMs);
    listener_ = atspi_event_listener_new(
        [](AtspiEvent* event, void* data) {
          auto* self = static_cast<AtspiCaretLocator*>(data);
          if (event->detail1 == 1 && event->source != nullptr) {
            if (self->focused_ != nullptr) g_object_unref(self->focused_);
            self->focused_ = static_cast<AtspiAccessible*>(g_object_ref(event->source));
          }
          g_boxed_free(ATSPI_TYPE_EVENT, event);
        },
        this, nullptr);
    return atspi_event_listener_register(listener_, "object:state-changed:focused", nullptr);
  }

  std::optional<Rect> query() {
    if (!available_) return std::nullopt;
    if (focused_ == nullptr || !hasState(focused_, ATSPI_STATE_FOCUSED)) {
      if (focused_ != nullptr) g_object_unref(focused_);
      focused_ = searchFocused();
    }
    if (focused_ == nullptr) return std::nullopt;
    auto bounds = caretBounds(focused_);
    return caretFromAccessible(bounds, bounds && bounds->height > 0 ? std::nullopt : frame(focused_));
  }

  GMainContext* context_;
  GMainLoop* loop_;
  std::thread thread_;
  std::mutex lock_;
  std::condition_variable started_;
  bool startedUp_ = false;
  bool available_ = false;
  // Touched on the AT-SPI thread only.
  AtspiEventListener* listener_ = nullptr;
  AtspiAccessible* focused_ = nullptr;
};

}  // namespace

std::shared_ptr<CaretLocator> CaretLocator::shared() {
  static std::mutex lock;
  static std::shared_ptr<CaretLocator> locator;
  static bool tried = false;
  const std::lock_guard guard(lock);
  if (!tried) {
    tried = true;
    auto atspi = std::make_shared<AtspiCaretLocator>();
    if (atspi->available()) locator = atspi;
  }
  return locator;
}

}  // namespace nimbrel
