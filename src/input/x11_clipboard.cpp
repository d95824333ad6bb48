#include "input/x11_clipboard.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "input/characters.hpp"

namespace nimbrel {
namespace {

std::mutex registryLock;

std::string latin1ToUtf8(std::string_view text) {
  std::string out;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xc0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    }
  }
  return out;
}

std::string utf8ToLatin1(std::string_view text) {
  std::string out;
  for (char32_t c : decodeUtf8(text)) out.push_back(c <= 0xff ? static_cast<char>(c) : '?');
  return out;
}

}  // namespace

std::shared_ptr<X11Clipboard> X11Clipboard::forDisplay(const std::string& display) {
  // Kept for the life of the process: what the host owns must outlive the session that set it.
  static std::map<std::string, std::shared_ptr<X11Clipboard>> clipboards;
  const std::string name = display.empty() ? currentDisplayName() : display;
  const std::lock_guard guard(registryLock);
  auto& clipboard = clipboards[name];
  if (!clipboard || clipboard->broken()) clipboard = std::make_shared<X11Clipboard>(name);
  return clipboard;
}

X11Clipboard::X11Clipboard(const std::string& display) : connection_(display) {
  xcb_connection_t* c = connection_.get();
  clipboard_ = connection_.atom("CLIPBOARD");
  targets_ = connection_.atom("TARGETS");
  utf8_ = connection_.atom("UTF8_STRING");
  text_ = connection_.atom("TEXT");
  plain_ = connection_.atom("text/plain");
  plainUtf8_ = connection_.atom("text/plain;charset=utf-8");
  incr_ = connection_.atom("INCR");
  property_ = connection_.atom("NIMBREL_CLIPBOARD");
  timestamp_ = connection_.atom("TIMESTAMP");

  window_ = xcb_generate_id(c);
  const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, connection_.root(), 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  // Room for the request header in every chunk; incremental transfers beyond.
  chunk_ = std::min<std::size_t>(static_cast<std::size_t>(xcb_get_maximum_request_length(c)) * 4 - 64,
                                 std::size_t{1} << 18);
  xcb_flush(c);

  thread_ = std::thread([this] { run(); });
}

X11Clipboard::~X11Clipboard() {
  stopping_ = true;
  wake_.wake();
  thread_.join();
}

void X11Clipboard::setText(const std::string& text) {
  xcb_connection_t* c = connection_.get();
  {
    const std::lock_guard guard(lock_);
    owned_ = text;
    outgoing_.clear();
  }
  xcb_set_selection_owner(c, window_, clipboard_, XCB_CURRENT_TIME);
  XcbReply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard_), nullptr));
  if (!owner || owner->owner != window_) {
    const std::lock_guard guard(lock_);
    owned_.reset();
  }
}

std::string X11Clipboard::text(std::chrono::milliseconds timeout) {
  const std::lock_guard request(requestLock_);
  std::unique_lock guard(lock_);
  if (owned_) return *owned_;
  incoming_ = {};
  incoming_.waiting = true;
  incoming_.lastProgress = std::chrono::steady_clock::now();
  guard.unlock();

  xcb_connection_t* c = connection_.get();
  xcb_delete_property(c, window_, property_);
  xcb_convert_selection(c, window_, clipboard_, utf8_, property_, XCB_CURRENT_TIME);
  xcb_flush(c);

  guard.lock();
  // The time-out counts from the last progress, so a large incremental transfer may take longer.
  while (!incoming_.done && !connection_.broken()) {
    if (changed_.wait_until(guard, incoming_.lastProgress + timeout) == std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= incoming_.lastProgress + timeout) {
      break;
    }
  }
  std::string result = incoming_.done ? std::move(incoming_.data) : std::string();
  incoming_ = {};
  return result;
}

void X11Clipboard::run() {
  xcb_connection_t* c = connection_.get();
  pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wake_.readFd(), POLLIN, 0}};
  while (!stopping_ && !connection_.broken()) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    wake_.drain();
    while (auto* event = xcb_poll_for_event(c)) {
      handle(event);
      std::free(event);
    }
    xcb_flush(c);
  }
  changed_.notify_all();
}

void X11Clipboard::handle(xcb_generic_event_t* event) {
  switch (event->response_type & 0x7f) {
    case XCB_SELECTION_REQUEST:
      answer(*reinterpret_cast<xcb_selection_request_event_t*>(event));
      break;
    case XCB_SELECTION_CLEAR: {
      const auto* clear = reinterpret_cast<xcb_selection_clear_event_t*>(event);
      if (clear->selection == clipboard_) {
        const std::lock_guard guard(lock_);
        owned_.reset();
      }
      break;
    }
    case XCB_SELECTION_NOTIFY: {
      const auto* notify = reinterpret_cast<xcb_selection_notify_event_t*>(event);
      if (notify->requestor != window_ || notify->selection != clipboard_) break;
      if (notify->property == XCB_NONE) {
        const std::lock_guard guard(lock_);
        if (incoming_.waiting) incoming_.done = true;  // no owner, or no text
        changed_.notify_all();
      } else {
        receive(true);
      }
      break;
    }
    case XCB_PROPERTY_NOTIFY: {
      const auto* property = reinterpret_cast<xcb_property_notify_event_t*>(event);
      if (property->window == window_ && property->atom == property_ &&
          property->state == XCB_PROPERTY_NEW_VALUE) {
        bool incremental;
        {
          const std::lock_guard guard(lock_);
          incremental = incoming_.waiting && incoming_.incremental;
        }
        if (incremental) receive(false);
      } else if (property->state == XCB_PROPERTY_DELETE) {
        continueOutgoing(property->window, property->atom);
      }
      break;
    }
    default: break;
  }
}

void X11Clipboard::receive(bool fromNotify) {
  xcb_connection_t* c = connection_.get();
  XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c, xcb_get_property(c, 1, window_, property_, XCB_GET_PROPERTY_TYPE_ANY, 0, 0x1fffffff), nullptr));
  xcb_flush(c);
  const std::lock_guard guard(lock_);
  if (!incoming_.waiting || incoming_.done) return;
  incoming_.lastProgress = std::chrono::steady_clock::now();
  if (!reply) {
    incoming_.done = true;
  } else if (fromNotify && reply->type == incr_) {
    incoming_.incremental = true;  // deleting the property asked for the first chunk
  } else {
    const bool text = reply->type == utf8_ || reply->type == XCB_ATOM_STRING ||
                      reply->type == text_ || reply->type == plainUtf8_;
    const std::string_view value(static_cast<const char*>(xcb_get_property_value(reply.get())),
                                 static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
    if (!text || reply->format != 8) {
      incoming_.data.clear();
      incoming_.done = true;
    } else {
      incoming_.data += reply->type == XCB_ATOM_STRING ? latin1ToUtf8(value) : std::string(value);
      if (!incoming_.incremental || value.empty()) incoming_.done = true;
    }
  }
  changed_.notify_all();
}

void X11Clipboard::answer(const xcb_selection_request_event_t& request) {
  const xcb_atom_t property = request.property == XCB_NONE ? request.target : request.property;
  const bool served =
      request.selection == clipboard_ && serve(request.requestor, property, request.target);
  xcb_selection_notify_event_t notify{};
  notify.response_type = XCB_SELECTION_NOTIFY;
  notify.time = request.time;
  notify.requestor = request.requestor;
  notify.selection = request.selection;
  notify.target = request.target;
  notify.property = served ? property : XCB_NONE;
  xcb_send_event(connection_.get(), 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                 reinterpret_cast<const char*>(&notify));
}

bool X11Clipboard::serve(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target) {
  xcb_connection_t* c = connection_.get();
  std::string data;
  {
    const std::lock_guard guard(lock_);
    if (!owned_) return false;
    data = *owned_;
  }
  if (target == targets_) {
    const xcb_atom_t atoms[] = {targets_, utf8_, XCB_ATOM_STRING, text_, plain_, plainUtf8_};
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_ATOM, 32,
                        std::size(atoms), atoms);
    return true;
  }
  xcb_atom_t type = utf8_;
  if (target == XCB_ATOM_STRING || target == plain_) {
    type = XCB_ATOM_STRING;
    data = utf8ToLatin1(data);
  } else if (target != utf8_ && target != text_ && target != plainUtf8_) {
    return false;
  }
  if (data.size() > chunk_) {
    // Incremental: announce the size, then one chunk each time the requestor deletes the last.
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, requestor, XCB_CW_EVENT_MASK, &mask);
    const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(data.size(), UINT32_MAX));
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, incr_, 32, 1, &size);
    const std::lock_guard guard(lock_);
    outgoing_[{requestor, property}] = {std::move(data), 0, type};
    return true;
  }
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, type, 8,
                      static_cast<std::uint32_t>(data.size()), data.data());
  return true;
}

void X11Clipboard::continueOutgoing(xcb_window_t requestor, xcb_atom_t property) {
  xcb_connection_t* c = connection_.get();
  const std::lock_guard guard(lock_);
  auto it = outgoing_.find({requestor, property});
  if (it == outgoing_.end()) return;
  Outgoing& transfer = it->second;
  const std::size_t n = std::min(chunk_, transfer.data.size() - transfer.offset);
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, transfer.type, 8,
                      static_cast<std::uint32_t>(n), transfer.data.data() + transfer.offset);
  transfer.offset += n;
  if (n == 0) {  // the empty chunk ends the transfer
    const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
    xcb_change_window_attributes(c, requestor, XCB_CW_EVENT_MASK, &none);
    outgoing_.erase(it);
  }
}

}  // namespace nimbrel
