#pragma once

#include <xcb/xcb.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace nimbrel {

class X11Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One connection to an X server and its first screen. xcb connections may be used from several
// threads at once; replies are waited for by the thread that asked.
class X11Connection {
 public:
  // Opens `display` (the DISPLAY variable when empty). Throws X11Error saying why it could not.
  explicit X11Connection(const std::string& display = {});
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_->root; }
  int screenNumber() const { return screenNumber_; }
  const std::string& displayName() const { return name_; }

  // The connection broke (the server went away or closed it).
  bool broken() const { return xcb_connection_has_error(connection_) != 0; }

  // Whether the server offers the extension (e.g. xcb_shm_id).
  bool hasExtension(xcb_extension_t* extension) const;

  // Sends everything and waits until the server has handled it.
  void sync() const;

  // An atom by name (XCB_ATOM_NONE when the server does not answer).
  xcb_atom_t atom(const char* name) const;

 private:
  std::string name_;
  xcb_connection_t* connection_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  int screenNumber_ = 0;
};

// The display that a host started now would use: DISPLAY, or nothing when it is not set.
std::string currentDisplayName();

// Frees an xcb reply when it goes.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;

}  // namespace nimbrel
