// The X11 back-end against a real X server: pointer, buttons, wheel, keys and text reach a
// window of another client as a user's would; the keymap ends exactly as it was; the clipboard
// talks to other clients.

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

// xcb/xkb.h names a field "explicit", a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include "input/keyboard_layout.hpp"
#include "input/x11_input.hpp"
#include "input/x11_keyboard.hpp"
#include "platform/x11_connection.hpp"
#include "support/temp_dir.hpp"
#include "support/x11_test_window.hpp"
#include "support/x_server.hpp"

namespace nimbrel {
namespace {

using test::X11TestWindow;
using test::XServer;

bool contains(const std::vector<std::string>& events, const std::string& event) {
  return std::find(events.begin(), events.end(), event) != events.end();
}

class X11InputTest : public ::testing::Test {
 protected:
  XServer server;
  X11TestWindow window{server.display(), 0, 0, 400, 300};
  X11Input input{{.display = server.display(), .doubleClickInterval = 0.5}};

  void SetUp() override { input.open(); }

  // Lent keycodes are emptied once the keyboard has been idle a moment.
  bool keymapReturnsTo(const std::string& before) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      if (server.output("xmodmap -pke") == before) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
};

TEST_F(X11InputTest, PointerButtonsAndWheelReachTheWindow) {
  input.move(100.7, 200.2);
  EXPECT_EQ(input.position(), (Point{100, 200}));
  input.button(MouseButton::left, true);
  input.move(120, 210);
  input.button(MouseButton::left, false);
  input.move(50, 60);
  input.scroll(0, 80);   // two clicks down at 40 pixels a click
  input.scroll(-45, 0);  // one click left; 5 pixels kept
  input.button(MouseButton::right, true);
  input.button(MouseButton::right, false);
  ASSERT_TRUE(window.waitFor([](const auto& events) { return contains(events, "release b3 50,60 state=400"); }))
      << ::testing::PrintToString(window.events());
  const auto events = window.events();
  for (const char* expected :
       {"press b1 100,200 state=0", "motion 120,210 state=100", "release b1 120,210 state=100",
        "press b5 50,60 state=0", "press b6 50,60 state=0", "press b3 50,60 state=0"}) {
    EXPECT_TRUE(contains(events, expected)) << expected << " in " << ::testing::PrintToString(events);
  }
  EXPECT_EQ(std::count(events.begin(), events.end(), "press b5 50,60 state=0"), 2);
  EXPECT_EQ(std::count(events.begin(), events.end(), "press b6 50,60 state=0"), 1);
}

TEST_F(X11InputTest, ThePointerListenerHearsMovesOfTheHostAndOfOtherClients) {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<Point> seen;
  input.setPointerListener([&](Point p) {
    const std::lock_guard guard(lock);
    seen.push_back(p);
    changed.notify_all();
  });
  auto waitFor = [&](Point p) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(10), [&] { return !seen.empty() && seen.back() == p; });
  };
  input.move(300, 150);  // the host moves it
  EXPECT_TRUE(waitFor({300, 150}));
  ASSERT_EQ(server.run("xdotool mousemove 10 20"), 0);  // and so does another client (a warp)
  EXPECT_TRUE(waitFor({10, 20}));
  input.setPointerListener(nullptr);
  const std::size_t heard = seen.size();
  input.move(5, 5);
  server.run("xdotool mousemove 7 7");
  EXPECT_EQ(input.position(), (Point{7, 7}));
  const std::lock_guard guard(lock);
  EXPECT_EQ(seen.size(), heard);  // a stopped listener hears nothing more
}

// The modifier state of the server's core keyboard, read by a client of its own.
struct XkbMods {
  int base = 0, latched = 0, locked = 0;
  bool operator==(const XkbMods&) const = default;
};

class XkbControl {
 public:
  explicit XkbControl(const std::string& display) : connection_(display) {
    free(xcb_xkb_use_extension_reply(connection_.get(), xcb_xkb_use_extension(connection_.get(), 1, 0), nullptr));
  }
  XkbMods mods() const {
    XcbReply<xcb_xkb_get_state_reply_t> state(xcb_xkb_get_state_reply(
        connection_.get(), xcb_xkb_get_state(connection_.get(), XCB_XKB_ID_USE_CORE_KBD), nullptr));
    return state ? XkbMods{state->baseMods, state->latchedMods, state->lockedMods} : XkbMods{-1, -1, -1};
  }
  void set(std::uint8_t locks, std::uint8_t latches) {
    xkbLatchLockState(connection_.get(), 0xff, locks, 0xff, latches);
    connection_.sync();
  }

 private:
  X11Connection connection_;
};

constexpr int shiftMask = 0x01, lockMask = 0x02, mod2Mask = 0x10;  // Mod2: Num Lock

TEST_F(X11InputTest, TextArrivesAsSentWhateverIsLockedLatchedOrHeldAndTheStateIsKept) {
  XkbControl xkb(server.display());
  // The state once the server has handled everything the back-end sent (a round trip on its
  // connection first).
  auto mods = [&] {
    input.position();
    return xkb.mods();
  };
  auto typed = [&](const std::string& text) {
    window.clear();
    input.text(text);
    EXPECT_TRUE(window.waitForTyped(text.size())) << window.typed();
    return window.typed();
  };

  // Caps Lock and Num Lock on.
  xkb.set(lockMask | mod2Mask, 0);
  EXPECT_EQ(typed("hello World 123"), "hello World 123");
  EXPECT_EQ(mods(), (XkbMods{0, 0, lockMask | mod2Mask}));
  xkb.set(0, 0);

  // Shift latched, as sticky keys do.
  xkb.set(0, shiftMask);
  EXPECT_EQ(typed("latched"), "latched");
  EXPECT_EQ(mods(), (XkbMods{0, shiftMask, 0}));
  xkb.set(0, 0);

  // Shift held by an earlier command, then Caps Lock too.
  input.key("shift", {}, "down");
  EXPECT_EQ(typed("held"), "held");
  EXPECT_EQ(mods(), (XkbMods{shiftMask, 0, 0}));
  xkb.set(lockMask, 0);
  EXPECT_EQ(typed("Both, 2"), "Both, 2");
  EXPECT_EQ(mods(), (XkbMods{shiftMask, 0, lockMask}));
  xkb.set(0, 0);
  window.clear();
  input.key("d", {}, "press");  // Shift is still down for the keys that follow
  EXPECT_TRUE(window.waitForTyped(1));
  EXPECT_EQ(window.typed(), "D");
  input.key("shift", {}, "up");
  EXPECT_EQ(mods(), (XkbMods{}));
}

TEST_F(X11InputTest, KeysCarryTheirModifierState) {
  input.key("c", {"primary"}, "press");
  input.key("A", {}, "press");
  input.key("1", {"shift"}, "press");
  input.key("Enter", {}, "press");
  input.key("x", {"alt"}, "down");
  input.releaseAll();
  input.key("b", {}, "press");
  ASSERT_TRUE(window.waitFor([](const auto& events) { return contains(events, "key b state=0"); }))
      << ::testing::PrintToString(window.events());
  const auto events = window.events();
  std::vector<std::string> keys;
  std::copy_if(events.begin(), events.end(), std::back_inserter(keys),
               [](const std::string& e) { return e.rfind("key ", 0) == 0; });
  // Modifier presses are keys too; the state shows what each press carried.
  for (const char* expected : {"key <keysym 63> state=4", "key A state=1", "key ! state=1",
                               "key <keysym ff0d> state=0", "key x state=8", "key b state=0"}) {
    EXPECT_TRUE(contains(keys, expected)) << expected << " in " << ::testing::PrintToString(keys);
  }
  EXPECT_THROW(input.key("nokey", {}, "press"), InputError);
}

TEST_F(X11InputTest, CharactersOutsideTheLayoutArriveAndTheKeymapIsRestored) {
  const std::string keymapBefore = server.output("xmodmap -pke");
  ASSERT_FALSE(keymapBefore.empty());
  const std::string text = "é€ж a\tb\n";
  input.text(text);
  ASSERT_TRUE(window.waitForTyped(text.size()))
      << window.typed() << " " << ::testing::PrintToString(window.events());
  EXPECT_TRUE(keymapReturnsTo(keymapBefore));
}

TEST_F(X11InputTest, LongTextInAnotherScriptArrivesWhole) {
  const std::u32string alphabet = U"абвгдеёжзийклмнопрстуфхцчшщъыьэюяАБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ";
  std::string text;
  for (int i = 0; i < 500; ++i) {
    const char32_t c = alphabet[(static_cast<std::size_t>(i) * 7) % alphabet.size()];
    text += static_cast<char>(0xc0 | (c >> 6));
    text += static_cast<char>(0x80 | (c & 0x3f));
  }
  const std::string keymapBefore = server.output("xmodmap -pke");
  input.text(text);
  ASSERT_TRUE(window.waitForTyped(text.size(), std::chrono::seconds(60))) << window.typed();
  EXPECT_EQ(window.typed(), text);
  EXPECT_TRUE(keymapReturnsTo(keymapBefore));
}

TEST_F(X11InputTest, AGermanLayoutTypesItsOwnKeys) {
  const auto usZ = KeyboardLayout::shared().lookup(U'z');
  ASSERT_EQ(server.run("setxkbmap de"), 0);
  // The layout follows the server's keymap by itself.
  for (int i = 0; i < 200 && KeyboardLayout::shared().lookup(U'z') == usZ; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_NE(KeyboardLayout::shared().lookup(U'z'), usZ);
  EXPECT_EQ(KeyboardLayout::shared().lookup(U'ß'), (LayoutKey{20, false}));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the window reads the new keymap
  input.text("zy@ß");
  input.key("z", {}, "press");
  input.key("Z", {}, "press");
  ASSERT_TRUE(window.waitForTyped(7)) << window.typed();
  EXPECT_EQ(window.typed(), "zy@ßzZ");
  EXPECT_TRUE(contains(window.events(), "key y state=0"));
}

TEST_F(X11InputTest, ClipboardRoundTripsWithAnotherClient) {
  const std::string small = "Grüße ✓ from the phone";
  input.setClip(small);
  EXPECT_EQ(server.output("xclip -o -selection clipboard"), small);
  EXPECT_EQ(input.getClip(), small);

  // Large enough for incremental transfers in both directions.
  std::string large;
  for (int i = 0; large.size() < 3'000'000; ++i) large += "line " + std::to_string(i) + " ключ\n";
  input.setClip(large);
  EXPECT_TRUE(server.output("xclip -o -selection clipboard") == large);

  // Another client's large text (not the one the host owned, so that its arrival shows).
  test::TempDir dir;
  large += "from xclip";
  test::writeFile(dir / "large.txt", large);
  ASSERT_EQ(server.run("xclip -i -selection clipboard -quiet < " + (dir / "large.txt").string() +
                       " >/dev/null 2>&1 &"), 0);
  std::string read;
  for (int i = 0; i < 100 && read != large; ++i) {
    read = input.getClip();
    if (read != large) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(read.size(), large.size());
  EXPECT_TRUE(read == large);

  // Content that is not text reads as empty text.
  test::writeFile(dir / "image.png", std::string("\x89PNG\r\n\x1a\n", 8));
  ASSERT_EQ(server.run("xclip -i -selection clipboard -t image/png " + (dir / "image.png").string() +
                       " >/dev/null 2>&1"), 0);
  // xclip takes the selection once it runs in the background.
  std::string afterImage = read;
  for (int i = 0; i < 100 && !afterImage.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    afterImage = input.getClip();
  }
  EXPECT_TRUE(afterImage.empty()) << afterImage.size() << " bytes";
}

}  // namespace
}  // namespace nimbrel
