#include "capture/mutter_capture_source.hpp"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

#include "base/log.hpp"
#include "boost/await_on.hpp"
#include "platform/mutter_layout.hpp"
#include "platform/mutter_remote_desktop.hpp"

namespace nimbrel {

namespace {

constexpr auto kFirstFrameWait = std::chrono::seconds(1);

constexpr std::size_t cursorMetaSize(int width, int height) {
  return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + std::size_t(width) * height * 4;
}

void initPipeWire() {
  static const bool done = [] {
    pw_init(nullptr, nullptr);
    return true;
  }();
  (void)done;
}

Monitor monitorOf(const MutterOutput& output) {
  Monitor monitor;
  monitor.displayID = connectorID(output.connector);
  monitor.bounds = output.bounds;
  monitor.pixelWidth = output.pixelWidth;
  monitor.pixelHeight = output.pixelHeight;
  monitor.primary = output.primary;
  return monitor;
}

}  // namespace

// One PipeWire stream of one monitor, on a PipeWire thread of its own. Frames are copied out
// of the shared memory at once, so that the desktop gets its buffer back before the next one.
class MutterCaptureSource::Stream {
 public:
  Stream(std::shared_ptr<MutterRemoteDesktop> desktop, MutterRemoteDesktop::Stream stream,
         std::uint64_t generation, FrameSlot& slot)
      : desktop_(std::move(desktop)), stream_(std::move(stream)), generation_(generation),
        slot_(slot) {}

  ~Stream() {
    if (loop_) pw_thread_loop_stop(loop_);  // joins the PipeWire thread
    if (pwStream_) pw_stream_destroy(pwStream_);
    if (core_) pw_core_disconnect(core_);
    if (context_) pw_context_destroy(context_);
    if (loop_) pw_thread_loop_destroy(loop_);
  }

  // Connects to the stream's node. Throws CaptureError when PipeWire cannot be reached.
  void begin() {
    initPipeWire();
    loop_ = pw_thread_loop_new("nimbrel-capture", nullptr);
    if (!loop_) throw CaptureError::failed("couldn't start a PipeWire thread");
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (!context_) throw CaptureError::failed("couldn't create a PipeWire context");
    if (pw_thread_loop_start(loop_) < 0) throw CaptureError::failed("couldn't start a PipeWire thread");
    pw_thread_loop_lock(loop_);
    struct Unlock {
      pw_thread_loop* loop;
      ~Unlock() { pw_thread_loop_unlock(loop); }
    } unlock{loop_};
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) {
      throw CaptureError::failed(std::string("couldn't connect to PipeWire: ") + std::strerror(errno));
    }
    pwStream_ = pw_stream_new(core_, "Nimbrel screen",
                              pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                "Capture", PW_KEY_MEDIA_ROLE, "Screen",
                                                // a gone monitor's stream is never swapped for
                                                // another source (a camera, say)
                                                PW_KEY_NODE_DONT_RECONNECT, "true", nullptr));
    if (!pwStream_) throw CaptureError::failed("couldn't create a PipeWire stream");
    static const pw_stream_events events = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char* error) {
        static_cast<Stream*>(data)->stateChanged(state, error);
      };
      e.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
        static_cast<Stream*>(data)->paramChanged(id, param);
      };
      e.process = [](void* data) { static_cast<Stream*>(data)->process(); };
      return e;
    }();
    pw_stream_add_listener(pwStream_, &listener_, &events, this);

    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_rectangle size = SPA_RECTANGLE(std::uint32_t(stream_.output.pixelWidth),
                                             std::uint32_t(stream_.output.pixelHeight));
    const spa_rectangle minSize = SPA_RECTANGLE(1, 1);
    const spa_rectangle maxSize = SPA_RECTANGLE(16384, 16384);
    const spa_fraction rate = SPA_FRACTION(0, 1);
    const spa_fraction minRate = SPA_FRACTION(0, 1);
    const spa_fraction maxRate = SPA_FRACTION(360, 1);
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
        SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &minRate, &maxRate)));
    began_ = std::chrono::steady_clock::now();
    const int result = pw_stream_connect(
        pwStream_, PW_DIRECTION_INPUT, stream_.node,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
    if (result < 0) {
      throw CaptureError::failed(std::string("couldn't connect to the screen stream: ") +
                                 std::strerror(-result));
    }
  }

  bool alive() const {
    return !ended_.load() && desktop_->running() && desktop_->generation() == generation_;
  }

  // The desktop draws a monitor's first frame for a new stream once, when the stream starts;
  // on a busy machine that frame can be lost before any buffer is there for it, and a still
  // screen sends no other. A stream that has shown nothing a second after it began is started
  // again, which makes the desktop draw anew.
  bool stalled() const {
    return !framed_.load() && std::chrono::steady_clock::now() - began_ > kFirstFrameWait;
  }
  const std::string& endReason() const { return endReason_; }

 private:
  void end(const std::string& why) {
    if (ended_.exchange(true)) return;
    endReason_ = why;
    logLine("screen capture stopped: " + why);
  }

  void stateChanged(pw_stream_state state, const char* error) {
    if (state == PW_STREAM_STATE_ERROR) {
      end(std::string("the screen stream failed: ") + (error ? error : "unknown error"));
    } else if (state == PW_STREAM_STATE_UNCONNECTED && streaming_) {
      end("the desktop ended the screen stream");
    } else if (state == PW_STREAM_STATE_STREAMING) {
      streaming_ = true;
    }
  }

  void paramChanged(std::uint32_t id, const spa_pod* param) {
    if (!param || id != SPA_PARAM_Format) return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    width_ = int(info.size.width);
    height_ = int(info.size.height);
    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[4];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
    params[3] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(int(cursorMetaSize(64, 64)), int(cursorMetaSize(1, 1)),
                                 int(cursorMetaSize(384, 384)))));
    pw_stream_update_params(pwStream_, params, 4);
  }

  void process() {
    // Only the newest buffer matters; older ones go straight back.
    pw_buffer* newest = nullptr;
    while (pw_buffer* next = pw_stream_dequeue_buffer(pwStream_)) {
      if (newest) pw_stream_queue_buffer(pwStream_, newest);
      newest = next;
    }
    if (!newest) return;
    take(*newest->buffer);
    pw_stream_queue_buffer(pwStream_, newest);
  }

  void take(spa_buffer& buffer) {
    if (auto* cursor = static_cast<spa_meta_cursor*>(
            spa_buffer_find_meta_data(&buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)));
        cursor && spa_meta_cursor_is_valid(cursor)) {
      // The position is the pointer's own; the hotspot only places the cursor's picture.
      const Point inStream{double(cursor->position.x), double(cursor->position.y)};
      desktop_->notePointer(globalPosition(stream_.output, inStream));
    }
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
        header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) {
      return;
    }
    if (buffer.n_datas < 1) return;
    const spa_data& data = buffer.datas[0];
    // An empty chunk carries only the cursor.
    if (!data.data || !data.chunk || data.chunk->size == 0 || width_ <= 0 || height_ <= 0) return;
    int x = 0, y = 0, width = width_, height = height_;
    if (auto* crop = static_cast<spa_meta_region*>(
            spa_buffer_find_meta_data(&buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
        crop && spa_meta_region_is_valid(crop)) {
      x = std::clamp(crop->region.position.x, 0, width_ - 1);
      y = std::clamp(crop->region.position.y, 0, height_ - 1);
      width = std::min(int(crop->region.size.width), width_ - x);
      height = std::min(int(crop->region.size.height), height_ - y);
    }
    const std::size_t stride = data.chunk->stride > 0 ? std::size_t(data.chunk->stride)
                                                      : std::size_t(width_) * 4;
    const auto* base = static_cast<const std::uint8_t*>(data.data) + data.chunk->offset;
    const std::size_t needed = stride * std::size_t(y + height - 1) + std::size_t(x + width) * 4;
    if (data.chunk->offset + needed > data.maxsize) {
      end("the desktop sent a frame smaller than its size");
      return;
    }
    auto pixels = std::make_shared<PixelBuffer>(width, height);
    for (int row = 0; row < height; ++row) {
      std::memcpy(pixels->row(row), base + stride * std::size_t(y + row) + std::size_t(x) * 4,
                  std::size_t(width) * 4);
    }
    // No damage from the desktop: the whole frame may have changed.
    slot_.accept(std::move(pixels), width, height, {});
    framed_.store(true);
  }

  std::shared_ptr<MutterRemoteDesktop> desktop_;
  const MutterRemoteDesktop::Stream stream_;
  const std::uint64_t generation_;
  FrameSlot& slot_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* pwStream_ = nullptr;
  spa_hook listener_{};
  // On the PipeWire thread only:
  int width_ = 0;
  int height_ = 0;
  bool streaming_ = false;
  std::atomic<bool> ended_{false};
  std::atomic<bool> framed_{false};  // a frame has come
  std::chrono::steady_clock::time_point began_;
  std::string endReason_;  // written once, before ended_ is read as true by others
};

MutterCaptureSource::MutterCaptureSource(Options options) : options_(std::move(options)) {}

MutterCaptureSource::~MutterCaptureSource() { stopStream(); }

template <typename Work>
boost::asio::awaitable<std::invoke_result_t<Work>> MutterCaptureSource::blocking(Work work) {
  return blockingOn(options_.blockingExecutor, std::move(work));
}

std::vector<Monitor> MutterCaptureSource::monitorList() {
  std::vector<Monitor> list;
  try {
    for (const auto& stream : options_.desktop->streams()) list.push_back(monitorOf(stream.output));
  } catch (const MutterError& error) {
    throw CaptureError::failed(error.what());
  }
  if (list.empty()) throw CaptureError::noDisplay();
  orderMonitors(list);
  return list;
}

boost::asio::awaitable<std::vector<Monitor>> MutterCaptureSource::monitors() {
  co_return co_await blocking([this] { return monitorList(); });
}

boost::asio::awaitable<void> MutterCaptureSource::start(Monitor monitor) {
  {
    const std::lock_guard guard(lock_);
    if (current_ == monitor && stream_ && stream_->alive() && !stream_->stalled()) co_return;
  }
  co_await blocking([this, monitor] { restart(monitor); });
}

void MutterCaptureSource::restart(const Monitor& monitor) {
  stopStream();
  std::vector<MutterRemoteDesktop::Stream> streams;
  std::uint64_t generation = 0;
  try {
    streams = options_.desktop->streams();
    generation = options_.desktop->generation();
  } catch (const MutterError& error) {
    throw CaptureError::failed(error.what());
  }
  auto found = std::find_if(streams.begin(), streams.end(), [&](const auto& stream) {
    return connectorID(stream.output.connector) == monitor.displayID;
  });
  if (found == streams.end()) throw CaptureError::failed("the monitor is no longer connected");
  auto stream = std::make_shared<Stream>(options_.desktop, *found, generation, slot_);
  // Cleared before the stream begins, so that its first frame is never lost: a still desktop
  // sends no second one.
  slot_.reset();
  stream->begin();
  const std::lock_guard guard(lock_);
  stream_ = std::move(stream);
  current_ = monitor;
}

boost::asio::awaitable<void> MutterCaptureSource::stop() {
  co_await blocking([this] { stopStream(); });
}

void MutterCaptureSource::stopStream() {
  std::shared_ptr<Stream> stream;
  {
    const std::lock_guard guard(lock_);
    stream = std::move(stream_);
    current_.reset();
  }
  stream.reset();  // stops its PipeWire thread, outside the lock
}

std::optional<FrameUpdate> MutterCaptureSource::latest() { return slot_.latest(); }

void MutterCaptureSource::setFrameListener(std::function<void()> listener) {
  slot_.setListener(std::move(listener));
}

}  // namespace nimbrel
