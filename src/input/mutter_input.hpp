#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "input/input_backend.hpp"
#include "input/input_synthesis.hpp"

namespace nimbrel {

class MutterRemoteDesktop;
class WaylandKeymap;

// The back-end that drives a GNOME Wayland desktop through its remote-desktop session: the
// input rules of InputSynthesis executed as the session's virtual pointer and keyboard, and the
// desktop's clipboard.
//
// Text: characters of the desktop's active layout go out as its keys (with Shift where needed,
// Caps Lock set aside while typing); the compositor can type nothing else, so other characters
// are left out and one line names them. The caret is not offered: accessibility positions on
// Wayland are relative to windows the host cannot place, and a wrong caret is worse than none.
//
// Input calls come from one session's serial input strand; getClip and setClip from its
// auxiliary strand. A desktop that cannot be reached is logged once per distinct reason.
class MutterInput final : public InputBackend, private InputEventSink {
 public:
  struct Options {
    std::shared_ptr<MutterRemoteDesktop> desktop;
    std::string waylandDisplay;  // WAYLAND_DISPLAY when empty (for the keyboard layout)
    double doubleClickInterval = 0.4;
  };

  explicit MutterInput(Options options);
  ~MutterInput() override;

  std::string osName() const override { return "linux"; }
  Point position() override;
  void move(double x, double y) override;
  void button(MouseButton button, bool down) override;
  void scroll(double dx, double dy) override;
  void key(const std::string& name, const std::vector<std::string>& mods,
           const std::string& action) override;
  void text(const std::string& text) override;
  std::string getClip() override;
  void setClip(const std::string& text) override;
  std::optional<Rect> caret() override { return std::nullopt; }
  void releaseAll() override;
  void setPointerListener(PointerListener listener) override;

 private:
  // InputEventSink
  Point pointer() override;
  void motion(Point to, std::optional<MouseButton> dragging) override;
  void button(MouseButton button, bool down, int clickCount) override;
  void wheel(int vertical, int horizontal) override;
  void key(KeyRef key, bool down, std::uint32_t modifiers) override;
  void mediaKey(Keysym keysym) override;

  // Runs one input operation; a failure of the desktop is logged, not thrown.
  template <typename Work>
  void guarded(Work work);
  void report(const std::string& problem);
  // Names the characters the layout could not type, once per command.
  void reportLeftOut();
  std::optional<LayoutKey> layoutKey(char32_t c);

  const Options options_;
  std::unique_ptr<InputSynthesis> synthesis_;
  std::unique_ptr<WaylandKeymap> keymap_;  // on the input strand
  std::chrono::steady_clock::time_point nextKeymapTry_{};
  std::u32string left_;  // characters of the current text the layout lacks
  std::mutex problemLock_;
  std::string lastProblem_;
};

}  // namespace nimbrel
