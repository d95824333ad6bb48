#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/geometry_types.hpp"
#include "capture/pixel_buffer.hpp"

namespace nimbrel {

// One display that can be captured.
struct Monitor {
  int index = 0;               // position in the list, the number clients pick a monitor by
  std::uint32_t displayID = 0;  // the system's identifier (0 for the synthetic screen)
  Rect bounds;                 // global display coordinates (points)
  int pixelWidth = 0;
  int pixelHeight = 0;
  bool primary = false;

  bool operator==(const Monitor&) const = default;

  // What a client is told: "i", "w", "h", "x", "y" (truncated to integers) and "primary".
  boost::json::object info() const;
};

// Puts monitors in the order clients see them: the primary first, the others by left edge;
// when none is marked primary the leftmost becomes the primary. Numbers them in that order.
void orderMonitors(std::vector<Monitor>& monitors);

struct CapturedFrame {
  std::shared_ptr<const PixelBuffer> pixelBuffer;
  int width = 0;
  int height = 0;
  std::uint64_t sequence = 0;  // grows with every new frame of a source
};

// A frame and the frame-pixel rectangles that may differ from the previous one delivered.
struct FrameUpdate {
  CapturedFrame frame;
  std::vector<Rect> dirty;
};

class CaptureError : public std::runtime_error {
 public:
  enum class Kind { failed, permissionDenied, noDisplay };
  static CaptureError failed(const std::string& text) { return {Kind::failed, text}; }
  static CaptureError permissionDenied() {
    return {Kind::permissionDenied, "Screen Recording permission is off for Nimbrel."};
  }
  static CaptureError noDisplay() { return {Kind::noDisplay, "No display to capture."}; }
  Kind kind() const { return kind_; }

 private:
  CaptureError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
  Kind kind_;
};

// Where frames come from. Contract for the dirty lists of `latest()`:
//  1. they cover every pixel that may differ from the frame the caller got last time;
//  2. the first frame after a start comes with one rectangle covering the whole frame;
//  3. with nothing new, the same frame (same sequence) comes with an empty list;
//  4. a frame with a non-empty list always has a new sequence.
class ScreenSource {
 public:
  virtual ~ScreenSource() = default;

  virtual boost::asio::awaitable<std::vector<Monitor>> monitors() = 0;
  // Cheap when the source already delivers that monitor: callers call it before every latest().
  virtual boost::asio::awaitable<void> start(Monitor monitor) = 0;
  virtual boost::asio::awaitable<void> stop() = 0;
  // Returns at once.
  virtual std::optional<FrameUpdate> latest() = 0;

  // Called, from any thread, whenever a new frame is ready for latest(), so that a consumer
  // waits for frames instead of polling; an empty one stops. Sources that make frames on
  // demand (the synthetic screen) never call it.
  virtual void setFrameListener(std::function<void()> listener) { (void)listener; }
  // Whether it calls the frame listener (then a consumer need not look for changes itself).
  virtual bool announcesFrames() const { return false; }
};

}  // namespace nimbrel
