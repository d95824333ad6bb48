#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <functional>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct xkb_context;
struct xkb_keymap;

namespace nimbrel::test {

// A window of a second X client that takes the input focus and records what it receives:
//   "press b1 x,y state=HEX"   "release b1 ..."   "motion x,y state=HEX"
//   "key C state=HEX"           (C: the text the key press types, translated with the keymap
//                                the window knows when it reads the press; "<keysym HEX>" when
//                                it types none)
// It follows keymap changes as X toolkits do, so characters typed through remapped keycodes
// arrive as a real application would see them.
class X11TestWindow {
 public:
  X11TestWindow(const std::string& display, int x, int y, int width, int height);
  ~X11TestWindow();

  std::vector<std::string> events();
  // The text of all "key" events so far, in order.
  std::string typed();
  // Waits until `done` holds for the events or the time-out passes.
  bool waitFor(const std::function<bool(const std::vector<std::string>&)>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits until the typed text is at least `length` bytes long.
  bool waitForTyped(std::size_t length,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void clear();

 private:
  void run();
  void loadKeymap();

  xcb_connection_t* connection_;
  xcb_window_t window_;
  xkb_context* context_ = nullptr;
  xkb_keymap* keymap_ = nullptr;
  std::uint8_t xkbBase_ = 0;
  int device_ = 0;
  bool stopping_ = false;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  std::string typed_;
  std::thread thread_;
};

}  // namespace nimbrel::test
