#pragma once

#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/wake_pipe.hpp"
#include "platform/x11_connection.hpp"

namespace nimbrel {

// The CLIPBOARD selection of one display, for the whole process: setText makes the host its
// owner and serves the text to every other client (incrementally when it is large, so texts of
// any size arrive whole); text() converts the current owner's content to UTF-8 text. The host
// keeps owning what it set after a session ends, so nothing copied from a phone is lost when it
// disconnects.
//
// Thread-safety: every member may be called from any thread.
class X11Clipboard {
 public:
  // Throws X11Error when the display cannot be opened.
  static std::shared_ptr<X11Clipboard> forDisplay(const std::string& display);

  explicit X11Clipboard(const std::string& display);
  ~X11Clipboard();

  // The clipboard's text; empty with no owner, non-text content or an owner that does not
  // answer within `timeout`.
  std::string text(std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));
  void setText(const std::string& text);

  bool broken() const { return connection_.broken(); }

 private:
  struct Outgoing {  // an incremental transfer to one requestor
    std::string data;
    std::size_t offset = 0;
    xcb_atom_t type = XCB_ATOM_NONE;
  };
  struct Incoming {
    bool waiting = false;
    bool incremental = false;
    bool done = false;
    std::string data;
    std::chrono::steady_clock::time_point lastProgress;
  };

  void run();
  void handle(xcb_generic_event_t* event);
  void answer(const xcb_selection_request_event_t& request);
  bool serve(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target);
  void continueOutgoing(xcb_window_t requestor, xcb_atom_t property);
  void receive(bool fromNotify);

  X11Connection connection_;
  xcb_window_t window_ = XCB_NONE;
  std::size_t chunk_ = 0;
  xcb_atom_t clipboard_, targets_, utf8_, text_, plain_, plainUtf8_, incr_, property_, timestamp_;
  WakePipe wake_;
  std::atomic<bool> stopping_{false};

  std::mutex requestLock_;  // one text() at a time
  std::mutex lock_;         // guards the fields below
  std::condition_variable changed_;
  std::optional<std::string> owned_;  // what the host serves while it owns the selection
  xcb_timestamp_t ownedSince_ = XCB_CURRENT_TIME;
  Incoming incoming_;
  std::map<std::pair<xcb_window_t, xcb_atom_t>, Outgoing> outgoing_;

  std::thread thread_;
};

}  // namespace nimbrel
