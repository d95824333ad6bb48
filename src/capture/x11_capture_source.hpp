#pragma once

#include <boost/asio/any_io_executor.hpp>

#include <memory>
#include <type_traits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/frame_slot.hpp"
#include "capture/screen_source.hpp"

namespace nimbrel {

// What the X display offers for sharing it: capture needs the display with MIT-SHM and DAMAGE,
// input needs XTEST and XKB (the keyboard layout).
struct X11Capabilities {
  bool opens = false;
  bool shm = false;
  bool damage = false;
  bool xtest = false;
  bool xkb = false;
  bool canCapture() const { return opens && shm && damage; }
  bool canInject() const { return opens && xtest && xkb; }
};
X11Capabilities probeX11(const std::string& display = {});

// The monitors of the display from RandR: the primary first, then by left edge; the whole
// screen as one monitor when RandR lists none. Throws CaptureError::failed when the display
// cannot be opened.
std::vector<Monitor> x11Monitors(const std::string& display = {});

// Captures one monitor of an X display: XDamage tells what changed, MIT-SHM copies the monitor
// into pooled shared-memory BGRA buffers, at most `maxFrameRate` times a second and only when
// something changed. A lost X connection or a monitor that goes away stops the stream (logged
// as "screen capture stopped: ..."); the next start() begins again.
//
// Thread-safety: every member may be called from any thread.
class X11CaptureSource final : public ScreenSource {
 public:
  struct Options {
    std::string display;  // DISPLAY when empty
    double maxFrameRate = 60;
    // Where the work that waits on the X server (listing monitors, starting and stopping a
    // stream) runs, so that it never holds up the caller's thread; inline when empty.
    boost::asio::any_io_executor blockingExecutor{};
  };

  X11CaptureSource();
  explicit X11CaptureSource(Options options);
  ~X11CaptureSource() override;

  boost::asio::awaitable<std::vector<Monitor>> monitors() override;
  boost::asio::awaitable<void> start(Monitor monitor) override;
  boost::asio::awaitable<void> stop() override;
  std::optional<FrameUpdate> latest() override;
  void setFrameListener(std::function<void()> listener) override;
  bool announcesFrames() const override { return true; }

  class Stream;

 private:
  void stopStream();
  void restart(const Monitor& monitor);
  std::vector<Monitor> monitorList() const;
  template <typename Work>
  boost::asio::awaitable<std::invoke_result_t<Work>> blocking(Work work);

  const Options options_;
  std::mutex lock_;  // guards the fields below; never held across X calls
  std::shared_ptr<Stream> stream_;
  std::optional<Monitor> current_;
  FrameSlot slot_;
};

}  // namespace nimbrel
