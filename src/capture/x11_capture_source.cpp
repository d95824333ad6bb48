#include "capture/x11_capture_source.hpp"

#include <boost/asio/use_awaitable.hpp>

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
// xcb/xkb.h names a field "explicit", a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "base/log.hpp"
#include "boost/await_on.hpp"
#include "platform/wake_pipe.hpp"
#include "platform/x11_connection.hpp"

namespace nimbrel {
namespace {

using Clock = std::chrono::steady_clock;

// Shared-memory buffers a stream may have: one being filled, one held as the latest frame, the
// rest with the consumer (the frame it compares against, the one it encodes, one in flight).
constexpr std::size_t maxSegments = 5;
// A monitor can vanish without any RandR event reaching us (xrandr --delmonitor): look again
// this often while streaming.
constexpr auto monitorCheckInterval = std::chrono::seconds(1);

std::vector<Monitor> listMonitors(const X11Connection& connection) {
  xcb_connection_t* c = connection.get();
  const xcb_screen_t* screen = connection.screen();
  const Rect whole{0, 0, static_cast<double>(screen->width_in_pixels),
                   static_cast<double>(screen->height_in_pixels)};
  std::vector<Monitor> monitors;
  if (connection.hasExtension(&xcb_randr_id)) {
    XcbReply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    if (version && (version->major_version > 1 || version->minor_version >= 5)) {
      XcbReply<xcb_randr_get_monitors_reply_t> reply(
          xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, connection.root(), 1), nullptr));
      if (reply) {
        for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
             xcb_randr_monitor_info_next(&it)) {
          const xcb_randr_monitor_info_t* info = it.data;
          const Rect bounds = Rect{static_cast<double>(info->x), static_cast<double>(info->y),
                                   static_cast<double>(info->width), static_cast<double>(info->height)}
                                  .intersection(whole);
          if (bounds.isEmpty()) continue;
          Monitor m;
          m.displayID = info->name;
          m.bounds = bounds;
          m.pixelWidth = static_cast<int>(bounds.width);
          m.pixelHeight = static_cast<int>(bounds.height);
          m.primary = info->primary != 0;
          monitors.push_back(m);
        }
      }
    }
  }
  if (monitors.empty()) {
    Monitor m;
    m.bounds = whole;
    m.pixelWidth = screen->width_in_pixels;
    m.pixelHeight = screen->height_in_pixels;
    m.primary = true;
    monitors.push_back(m);
  }
  orderMonitors(monitors);
  return monitors;
}

std::optional<Monitor> findMonitor(const std::vector<Monitor>& monitors, std::uint32_t displayID) {
  for (const Monitor& m : monitors) {
    if (m.displayID == displayID) return m;
  }
  return std::nullopt;
}

}  // namespace

X11Capabilities probeX11(const std::string& display) {
  X11Capabilities caps;
  try {
    const X11Connection connection(display);
    caps.opens = true;
    caps.shm = connection.hasExtension(&xcb_shm_id);
    caps.damage = connection.hasExtension(&xcb_damage_id);
    caps.xtest = connection.hasExtension(&xcb_test_id);
    caps.xkb = connection.hasExtension(&xcb_xkb_id);
  } catch (const X11Error&) {
  }
  return caps;
}

std::vector<Monitor> x11Monitors(const std::string& display) {
  try {
    const X11Connection connection(display);
    return listMonitors(connection);
  } catch (const X11Error& error) {
    throw CaptureError::failed(error.what());
  }
}

// One running capture of one monitor, with its own connection and thread.
class X11CaptureSource::Stream {
 public:
  Stream(const Options& options, const Monitor& monitor, FrameSlot& slot);
  ~Stream();
  bool alive() const { return alive_; }
  // Starts delivering frames to the slot.
  void begin();

 private:
  struct Segment {
    std::shared_ptr<PixelBuffer> buffer;
    xcb_shm_seg_t id;
  };

  void run();
  // Copies the monitor into a free buffer and hands it to the slot; with none free the changes
  // stay pending.
  void grab();
  std::optional<std::string> monitorProblem();
  void end(const std::string& reason);

  X11Connection connection_;
  FrameSlot& slot_;
  const std::uint32_t displayID_;
  Rect area_;  // root-window pixels captured
  std::chrono::nanoseconds interval_;
  xcb_damage_damage_t damage_ = 0;
  std::uint8_t damageEvent_ = 0;
  std::uint8_t randrEvent_ = 0;
  std::vector<Segment> segments_;
  std::vector<Rect> pending_;  // changed since the last grab (monitor pixels)
  WakePipe wake_;
  std::atomic<bool> alive_{true};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

X11CaptureSource::Stream::Stream(const Options& options, const Monitor& monitor, FrameSlot& slot)
    : connection_([&] {
        try {
          return X11Connection(options.display);
        } catch (const X11Error& error) {
          throw CaptureError::failed(error.what());
        }
      }()),
      slot_(slot),
      displayID_(monitor.displayID),
      interval_(std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / std::max(1.0, options.maxFrameRate)))) {
  xcb_connection_t* c = connection_.get();
  if (!connection_.hasExtension(&xcb_shm_id) || !connection_.hasExtension(&xcb_damage_id)) {
    throw CaptureError::permissionDenied();
  }
  const auto current = findMonitor(listMonitors(connection_), monitor.displayID);
  if (!current) throw CaptureError::noDisplay();
  area_ = current->bounds;

  // Frames are 32-bit pixels: the root depth must be stored 32 bits per pixel.
  const xcb_setup_t* setup = xcb_get_setup(c);
  bool thirtyTwoBits = false;
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == connection_.screen()->root_depth) thirtyTwoBits = it.data->bits_per_pixel == 32;
  }
  if (!thirtyTwoBits || connection_.screen()->root_depth < 24) {
    throw CaptureError::failed("the X screen's depth " + std::to_string(connection_.screen()->root_depth) +
                               " is not supported (24 or 32 bits are)");
  }

  XcbReply<xcb_shm_query_version_reply_t> shm(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
  XcbReply<xcb_damage_query_version_reply_t> damageVersion(xcb_damage_query_version_reply(
      c, xcb_damage_query_version(c, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION), nullptr));
  if (!shm || !damageVersion) throw CaptureError::permissionDenied();
  damageEvent_ = xcb_get_extension_data(c, &xcb_damage_id)->first_event;
  if (connection_.hasExtension(&xcb_randr_id)) {
    randrEvent_ = xcb_get_extension_data(c, &xcb_randr_id)->first_event;
    xcb_randr_select_input(c, connection_.root(),
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  }
  damage_ = xcb_generate_id(c);
  if (XcbReply<xcb_generic_error_t> error(xcb_request_check(
          c, xcb_damage_create_checked(c, damage_, connection_.root(),
                                       XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES)));
      error) {
    throw CaptureError::failed("couldn't watch the X screen for changes (error " +
                               std::to_string(error->error_code) + ")");
  }

  // The first frame comes at once and whole.
  pending_.push_back({0, 0, area_.width, area_.height});
}

void X11CaptureSource::Stream::begin() { thread_ = std::thread([this] { run(); }); }

X11CaptureSource::Stream::~Stream() {
  stopping_ = true;
  wake_.wake();
  if (thread_.joinable()) thread_.join();
  if (!connection_.broken()) {
    for (const Segment& segment : segments_) xcb_shm_detach(connection_.get(), segment.id);
    xcb_damage_destroy(connection_.get(), damage_);
    xcb_flush(connection_.get());
  }
  // Each buffer unmaps its memory when the last frame using it goes.
}

void X11CaptureSource::Stream::end(const std::string& reason) {
  alive_ = false;
  logLine("screen capture stopped: " + reason);
}

std::optional<std::string> X11CaptureSource::Stream::monitorProblem() {
  const auto now = findMonitor(listMonitors(connection_), displayID_);
  if (!now) return "the monitor is gone";
  if (now->bounds != area_) return "the monitor changed its size or place";
  return std::nullopt;
}

void X11CaptureSource::Stream::grab() {
  xcb_connection_t* c = connection_.get();
  const int width = static_cast<int>(area_.width);
  const int height = static_cast<int>(area_.height);
  Segment* free = nullptr;
  for (Segment& segment : segments_) {
    if (segment.buffer.use_count() == 1) {
      free = &segment;
      break;
    }
  }
  if (free == nullptr) {
    if (segments_.size() >= maxSegments) return;
    const std::size_t stride = static_cast<std::size_t>(width) * 4;
    const int id = shmget(IPC_PRIVATE, stride * static_cast<std::size_t>(height), IPC_CREAT | 0600);
    if (id < 0) throw CaptureError::failed("couldn't create shared memory for the screen");
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
      shmctl(id, IPC_RMID, nullptr);
      throw CaptureError::failed("couldn't map shared memory for the screen");
    }
    const xcb_shm_seg_t seg = xcb_generate_id(c);
    XcbReply<xcb_generic_error_t> error(xcb_request_check(c, xcb_shm_attach_checked(c, seg, static_cast<std::uint32_t>(id), 0)));
    shmctl(id, IPC_RMID, nullptr);  // removed once the server and every frame have let go
    auto buffer = std::make_shared<PixelBuffer>(width, height, stride, static_cast<std::uint8_t*>(address),
                                                [address] { shmdt(address); });
    if (error) throw CaptureError::failed("the X server couldn't share memory with the host (MIT-SHM)");
    segments_.push_back({std::move(buffer), seg});
    free = &segments_.back();
  }
  xcb_generic_error_t* rawError = nullptr;
  XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
      c,
      xcb_shm_get_image(c, connection_.root(), static_cast<std::int16_t>(area_.x),
                        static_cast<std::int16_t>(area_.y), static_cast<std::uint16_t>(width),
                        static_cast<std::uint16_t>(height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, free->id, 0),
      &rawError));
  XcbReply<xcb_generic_error_t> error(rawError);
  if (!reply) {
    if (connection_.broken()) return;  // the loop reports it
    throw CaptureError::failed("the X server refused to copy the screen (error " +
                               std::to_string(error ? error->error_code : 0) + ")");
  }
  slot_.accept(free->buffer, width, height, std::move(pending_));
  pending_.clear();
}

void X11CaptureSource::Stream::run() {
  xcb_connection_t* c = connection_.get();
  pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wake_.readFd(), POLLIN, 0}};
  const Rect frame{0, 0, area_.width, area_.height};
  auto lastGrab = Clock::now() - interval_;
  auto lastCheck = Clock::now();
  try {
    while (!stopping_) {
      const auto now = Clock::now();
      auto wait = lastCheck + monitorCheckInterval - now;
      if (!pending_.empty()) wait = std::min<Clock::duration>(wait, lastGrab + interval_ - now);
      const int timeout = static_cast<int>(std::max<std::int64_t>(
          0, std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
      if (poll(fds, 2, timeout) < 0 && errno != EINTR) {
        end("couldn't wait for the X display");
        return;
      }
      if (stopping_) return;
      bool layoutChanged = false;
      while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
        const std::uint8_t type = event->response_type & 0x7f;
        if (type == damageEvent_ + XCB_DAMAGE_NOTIFY) {
          const auto* notify = reinterpret_cast<xcb_damage_notify_event_t*>(event);
          const Rect changed = Rect{notify->area.x - area_.x, notify->area.y - area_.y,
                                    static_cast<double>(notify->area.width),
                                    static_cast<double>(notify->area.height)}
                                   .intersection(frame);
          if (!changed.isEmpty()) {
            pending_.push_back(changed);
            if (pending_.size() > FrameSlot::maxDirtyRects) {
              Rect all = pending_.front();
              for (const Rect& r : pending_) all = all.united(r);
              pending_ = {all};
            }
          }
        } else if (randrEvent_ != 0 && (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                        type == randrEvent_ + XCB_RANDR_NOTIFY)) {
          layoutChanged = true;
        }
        std::free(event);
      }
      if (connection_.broken()) {
        end("the connection to the X display " + connection_.displayName() + " was lost");
        return;
      }
      if (layoutChanged || Clock::now() >= lastCheck + monitorCheckInterval) {
        lastCheck = Clock::now();
        if (auto problem = monitorProblem()) {
          end(*problem);
          return;
        }
      }
      if (!pending_.empty() && Clock::now() >= lastGrab + interval_) {
        // With every buffer still in use the changes wait (and gather) for the next turn.
        grab();
        lastGrab = Clock::now();
      }
    }
  } catch (const std::exception& error) {
    end(error.what());
  }
}

X11CaptureSource::X11CaptureSource() : X11CaptureSource(Options{}) {}
X11CaptureSource::X11CaptureSource(Options options) : options_(std::move(options)) {}

X11CaptureSource::~X11CaptureSource() { stopStream(); }

template <typename Work>
boost::asio::awaitable<std::invoke_result_t<Work>> X11CaptureSource::blocking(Work work) {
  return blockingOn(options_.blockingExecutor, std::move(work));
}

std::vector<Monitor> X11CaptureSource::monitorList() const {
  if (!probeX11(options_.display).canCapture()) throw CaptureError::permissionDenied();
  auto list = x11Monitors(options_.display);
  if (list.empty()) throw CaptureError::noDisplay();
  return list;
}

boost::asio::awaitable<std::vector<Monitor>> X11CaptureSource::monitors() {
  co_return co_await blocking([this] { return monitorList(); });
}

boost::asio::awaitable<void> X11CaptureSource::start(Monitor monitor) {
  {
    const std::lock_guard guard(lock_);
    if (current_ == monitor && stream_ && stream_->alive()) co_return;
  }
  co_await blocking([this, monitor] { restart(monitor); });
}

void X11CaptureSource::restart(const Monitor& monitor) {
  if (!probeX11(options_.display).canCapture()) throw CaptureError::permissionDenied();
  stopStream();
  // A stream that cannot start leaves the last frame where it was; a new one clears it.
  auto stream = std::make_shared<Stream>(options_, monitor, slot_);
  slot_.reset();
  stream->begin();
  const std::lock_guard guard(lock_);
  stream_ = std::move(stream);
  current_ = monitor;
}

boost::asio::awaitable<void> X11CaptureSource::stop() {
  co_await blocking([this] { stopStream(); });
}

void X11CaptureSource::stopStream() {
  std::shared_ptr<Stream> stream;
  {
    const std::lock_guard guard(lock_);
    stream = std::move(stream_);
    current_.reset();
  }
  stream.reset();  // joins its thread, outside the lock
}

std::optional<FrameUpdate> X11CaptureSource::latest() { return slot_.latest(); }

void X11CaptureSource::setFrameListener(std::function<void()> listener) {
  slot_.setListener(std::move(listener));
}

}  // namespace nimbrel
