#include "input/x11_pointer_watch.hpp"

#include <poll.h>
#include <xcb/xinput.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "base/log.hpp"
#include "platform/wake_pipe.hpp"
#include "platform/x11_connection.hpp"

namespace nimbrel {

struct X11PointerWatch::State {
  std::string display;
  WakePipe wake;
  std::mutex lock;  // guards the fields below; held while the listener runs
  Listener listener;
  bool stopping = false;

  // Calls the listener unless stopped; false once stopped.
  bool report(Point p) {
    const std::lock_guard guard(lock);
    if (stopping) return false;
    listener(p);
    return true;
  }
  bool stopped() {
    const std::lock_guard guard(lock);
    return stopping;
  }
};

namespace {

constexpr std::chrono::milliseconds warpCheckInterval{1000};

std::optional<Point> queryPointer(const X11Connection& connection) {
  xcb_connection_t* c = connection.get();
  XcbReply<xcb_query_pointer_reply_t> reply(
      xcb_query_pointer_reply(c, xcb_query_pointer(c, connection.root()), nullptr));
  if (!reply) return std::nullopt;
  return Point{static_cast<double>(reply->root_x), static_cast<double>(reply->root_y)};
}

// Asks for raw motion of every master pointer on the root window. Returns XInput's opcode.
std::uint8_t selectRawMotion(const X11Connection& connection) {
  xcb_connection_t* c = connection.get();
  if (!connection.hasExtension(&xcb_input_id)) {
    throw X11Error("the X display " + connection.displayName() + " has no XInput extension");
  }
  XcbReply<xcb_input_xi_query_version_reply_t> version(
      xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
  if (!version || version->major_version < 2) {
    throw X11Error("the X display " + connection.displayName() + " has no XInput 2");
  }
  struct {
    xcb_input_event_mask_t head;
    std::uint32_t mask;
  } mask{{XCB_INPUT_DEVICE_ALL, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
  XcbReply<xcb_generic_error_t> error(
      xcb_request_check(c, xcb_input_xi_select_events_checked(c, connection.root(), 1, &mask.head)));
  if (error) throw X11Error("the X display " + connection.displayName() + " refused pointer events");
  return xcb_get_extension_data(c, &xcb_input_id)->major_opcode;
}

void watch(const std::shared_ptr<X11PointerWatch::State>& state) {
  try {
    const X11Connection connection(state->display);
    const std::uint8_t opcode = selectRawMotion(connection);
    xcb_connection_t* c = connection.get();
    std::optional<Point> last;
    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {state->wake.readFd(), POLLIN, 0}};
    bool moved = true;  // the first position goes out at once
    while (!state->stopped()) {
      if (moved) {
        moved = false;
        const auto now = queryPointer(connection);
        if (now && now != last) {
          last = now;
          if (!state->report(*now)) return;
        }
      }
      // Warps (XWarpPointer by an application) make no raw motion: a slow look catches them.
      const int ready = poll(fds, 2, static_cast<int>(warpCheckInterval.count()));
      if (ready < 0 && errno != EINTR) throw X11Error("couldn't wait for the X display");
      if (ready == 0) moved = true;
      while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
        if ((event->response_type & 0x7f) == XCB_GE_GENERIC) {
          const auto* generic = reinterpret_cast<xcb_ge_generic_event_t*>(event);
          if (generic->extension == opcode && generic->event_type == XCB_INPUT_RAW_MOTION) moved = true;
        }
        std::free(event);
      }
      if (connection.broken()) {
        throw X11Error("the connection to the X display " + connection.displayName() + " was lost");
      }
    }
  } catch (const std::exception& error) {
    if (!state->stopped()) logLine(std::string("pointer feedback stopped: ") + error.what());
  }
}

}  // namespace

X11PointerWatch::X11PointerWatch(std::string display, Listener listener)
    : state_(std::make_shared<State>()) {
  state_->display = std::move(display);
  state_->listener = std::move(listener);
  std::thread([state = state_] { watch(state); }).detach();
}

X11PointerWatch::~X11PointerWatch() { stop(); }

void X11PointerWatch::stop() {
  {
    const std::lock_guard guard(state_->lock);
    if (state_->stopping) return;
    state_->stopping = true;
    state_->listener = nullptr;
  }
  state_->wake.wake();
}

}  // namespace nimbrel
