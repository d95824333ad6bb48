#include "platform/x11_connection.hpp"

#include <cstdlib>
#include <cstring>

namespace nimbrel {
namespace {

const char* connectionErrorText(int code) {
  switch (code) {
    case XCB_CONN_ERROR: return "the socket or stream failed";
    case XCB_CONN_CLOSED_EXT_NOTSUPPORTED: return "an extension is not supported";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT: return "out of memory";
    case XCB_CONN_CLOSED_REQ_LEN_EXCEED: return "a request was too long";
    case XCB_CONN_CLOSED_PARSE_ERR: return "the display name could not be parsed";
    case XCB_CONN_CLOSED_INVALID_SCREEN: return "the screen does not exist";
    default: return "the server refused the connection";
  }
}

}  // namespace

std::string currentDisplayName() {
  const char* name = std::getenv("DISPLAY");
  return name ? name : "";
}

X11Connection::X11Connection(const std::string& display)
    : name_(display.empty() ? currentDisplayName() : display) {
  if (name_.empty()) throw X11Error("no X display is set (DISPLAY is empty)");
  int screenNumber = 0;
  connection_ = xcb_connect(name_.c_str(), &screenNumber);
  if (const int code = xcb_connection_has_error(connection_); code != 0) {
    xcb_disconnect(connection_);
    throw X11Error("couldn't open the X display " + name_ + ": " + connectionErrorText(code));
  }
  auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem == 0) {
    xcb_disconnect(connection_);
    throw X11Error("the X display " + name_ + " has no screen " + std::to_string(screenNumber));
  }
  screen_ = screens.data;
  screenNumber_ = screenNumber;
}

X11Connection::~X11Connection() { xcb_disconnect(connection_); }

bool X11Connection::hasExtension(xcb_extension_t* extension) const {
  const auto* data = xcb_get_extension_data(connection_, extension);
  return data != nullptr && data->present != 0;
}

void X11Connection::sync() const {
  XcbReply<xcb_get_input_focus_reply_t> reply(
      xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}

xcb_atom_t X11Connection::atom(const char* name) const {
  XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      connection_,
      xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
      nullptr));
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

}  // namespace nimbrel
