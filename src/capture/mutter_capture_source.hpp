#pragma once

#include <boost/asio/any_io_executor.hpp>

#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

#include "capture/frame_slot.hpp"
#include "capture/screen_source.hpp"

namespace nimbrel {

class MutterRemoteDesktop;

// Captures one monitor of a GNOME Wayland desktop: the screen-cast stream of that monitor in
// the desktop's remote-desktop session, read from PipeWire as shared-memory BGRx frames. The
// desktop says when a frame is new but not what changed in it, so every new frame is reported
// wholly dirty and the consumer's tile comparison finds the changes. The cursor travels as
// metadata: its position goes to the remote desktop's pointer, never into the pixels.
//
// A stream whose session ends (the desktop closed it or went away) stops, logged as "screen
// capture stopped: ..."; start() then says why instead of starting a new session.
//
// Thread-safety: every member may be called from any thread.
class MutterCaptureSource final : public ScreenSource {
 public:
  struct Options {
    std::shared_ptr<MutterRemoteDesktop> desktop;
    // Where the work that waits on the bus (listing monitors, starting a stream) runs, so that
    // it never holds up the caller's thread; inline when empty.
    boost::asio::any_io_executor blockingExecutor{};
  };

  explicit MutterCaptureSource(Options options);
  ~MutterCaptureSource() override;

  boost::asio::awaitable<std::vector<Monitor>> monitors() override;
  boost::asio::awaitable<void> start(Monitor monitor) override;
  boost::asio::awaitable<void> stop() override;
  std::optional<FrameUpdate> latest() override;
  void setFrameListener(std::function<void()> listener) override;
  bool announcesFrames() const override { return true; }

  class Stream;

 private:
  std::vector<Monitor> monitorList();
  void restart(const Monitor& monitor);
  void stopStream();
  template <typename Work>
  boost::asio::awaitable<std::invoke_result_t<Work>> blocking(Work work);

  const Options options_;
  std::mutex lock_;  // guards the fields below; never held across bus or PipeWire calls
  std::shared_ptr<Stream> stream_;
  std::optional<Monitor> current_;
  FrameSlot slot_;
};

}  // namespace nimbrel
