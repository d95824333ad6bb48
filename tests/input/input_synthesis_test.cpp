// The input rules, observed through a recording sink: click counting, drags, scroll
// accumulation, key resolution, modifier sequencing, held keys and text.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>

#include "input/input_synthesis.hpp"

namespace nimbrel {
namespace {

std::string hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", v);
  return text;
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

class RecordingSink final : public InputEventSink {
 public:
  Point at;
  std::vector<std::string> events;

  Point pointer() override { return at; }
  void motion(Point to, std::optional<MouseButton> dragging) override {
    at = to;
    events.push_back("move " + number(to.x) + "," + number(to.y) +
                     (dragging ? std::string(" drag ") + rawValue(*dragging) : ""));
  }
  void button(MouseButton b, bool down, int count) override {
    events.push_back(std::string(rawValue(b)) + (down ? " down " : " up ") + std::to_string(count));
  }
  void wheel(int vertical, int horizontal) override {
    events.push_back("wheel " + std::to_string(vertical) + " " + std::to_string(horizontal));
  }
  void key(KeyRef key, bool down, std::uint32_t modifiers) override {
    events.push_back((key.kind == KeyRef::Kind::keycode ? "code " : "sym ") + hex(key.value) +
                     (down ? " down " : " up ") + hex(modifiers));
  }
  void mediaKey(Keysym keysym) override { events.push_back("media " + hex(keysym)); }
};

// A few keys of a US layout, by X keycode.
std::optional<LayoutKey> usLayout(char32_t c) {
  static const std::map<char32_t, LayoutKey> keys{
      {U'a', {38, false}}, {U'A', {38, true}}, {U'c', {54, false}}, {U'C', {54, true}},
      {U'1', {10, false}}, {U'!', {10, true}}, {U' ', {65, false}}, {U'b', {56, false}},
  };
  auto it = keys.find(c);
  if (it == keys.end()) return std::nullopt;
  return it->second;
}

struct Fixture {
  RecordingSink sink;
  double now = 100;
  InputSynthesis input;

  explicit Fixture(double pixelsPerClick = 1)
      : input(sink, {.doubleClickInterval = 0.5,
                     .pixelsPerWheelClick = pixelsPerClick,
                     .clock = [this] { return now; },
                     .layout = usLayout}) {}
};

TEST(InputSynthesisTest, ClickCountsFollowTimeAndDistance) {
  struct Press {
    double dt;
    double dx;
  };
  const struct {
    const char* name;
    std::vector<Press> presses;
    std::vector<int> counts;
  } cases[] = {
      {"quick presses count up without limit", {{0, 0}, {0.2, 0}, {0.2, 0}, {0.1, 0}}, {1, 2, 3, 4}},
      {"7 points away starts again", {{0, 0}, {0.2, 7}}, {1, 1}},
      {"5.9 points away still counts", {{0, 0}, {0.2, 5.9}}, {1, 2}},
      {"exactly the interval counts", {{0, 0}, {0.5, 0}}, {1, 2}},
      {"later than the interval starts again", {{0, 0}, {0.5001, 0}}, {1, 1}},
  };
  for (const auto& c : cases) {
    Fixture f;
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < c.presses.size(); ++i) {
      f.now += c.presses[i].dt;
      f.sink.at.x += c.presses[i].dx;
      f.input.button(MouseButton::left, true);
      f.input.button(MouseButton::left, false);
      expected.push_back("left down " + std::to_string(c.counts[i]));
      expected.push_back("left up " + std::to_string(c.counts[i]));
    }
    EXPECT_EQ(f.sink.events, expected) << c.name;
  }
}

TEST(InputSynthesisTest, ReleaseOfAButtonNeverPressedCarriesOneAndButtonsCountApart) {
  Fixture f;
  f.input.button(MouseButton::right, false);
  f.input.button(MouseButton::left, true);
  f.input.button(MouseButton::middle, true);
  EXPECT_EQ(f.sink.events,
            (std::vector<std::string>{"right up 1", "left down 1", "middle down 1"}));
}

TEST(InputSynthesisTest, MovesDragTheFirstHeldButtonInOrder) {
  Fixture f;
  f.input.move(3, 4);
  f.input.button(MouseButton::middle, true);
  f.input.button(MouseButton::right, true);
  f.input.move(10.5, 20);
  f.input.button(MouseButton::left, true);
  f.input.move(11, 21);
  f.input.releaseAll();
  f.input.move(12, 22);
  EXPECT_EQ(f.sink.events, (std::vector<std::string>{
                               "move 3,4", "middle down 1", "right down 1", "move 10.5,20 drag right",
                               "left down 1", "move 11,21 drag left", "left up 1", "right up 1",
                               "middle up 1", "move 12,22"}));
}

TEST(InputSynthesisTest, ScrollingKeepsTheRemainderOnBothAxes) {
  {
    Fixture f;  // one pixel per click: the client's deltas map one to one
    f.input.scroll(0.4, 0);
    f.input.scroll(0.4, 0);
    EXPECT_TRUE(f.sink.events.empty());
    f.input.scroll(0.4, 0);
    f.input.scroll(0, 10);
    f.input.scroll(0.8, 0);  // the kept -0.2 and -0.8 make the next click
    EXPECT_EQ(f.sink.events, (std::vector<std::string>{"wheel 0 -1", "wheel -10 0", "wheel 0 -1"}));
  }
  {
    Fixture f(40);
    f.input.scroll(0, 30);
    f.input.scroll(0, 30);   // 60 px: one click down, 20 px kept
    f.input.scroll(-25, -100);  // -80 px: two clicks up; 25 px left
    f.input.scroll(-15, 0);
    f.input.scroll(std::nan(""), 1e300);  // ignored
    f.input.scroll(0, -1e9);  // capped at 100 clicks
    EXPECT_EQ(f.sink.events, (std::vector<std::string>{"wheel -1 0", "wheel 2 0", "wheel 0 1",
                                                        "wheel 100 0"}));
  }
}

TEST(InputSynthesisTest, KeyResolution) {
  const struct {
    std::string name;
    std::vector<std::string> mods;
    std::string action;
    std::vector<std::string> events;
  } cases[] = {
      {"A", {}, "press", {"sym ffe1 down 1", "code 26 down 1", "code 26 up 1", "sym ffe1 up 0"}},
      {"a", {"primary"}, "press", {"sym ffe3 down 4", "code 26 down 4", "code 26 up 4", "sym ffe3 up 0"}},
      {"!", {"shift"}, "press", {"sym ffe1 down 1", "code a down 1", "code a up 1", "sym ffe1 up 0"}},
      {"c", {"ctrl", "bogus", "alt"}, "press",
       {"sym ffe3 down 4", "sym ffe9 down c", "code 36 down c", "code 36 up c", "sym ffe9 up 4",
        "sym ffe3 up 0"}},
      {"B", {}, "press", {"sym ffe1 down 1", "code 38 down 1", "code 38 up 1", "sym ffe1 up 0"}},
      {"Enter", {}, "press", {"sym ff0d down 0", "sym ff0d up 0"}},
      {"PgUp", {"meta"}, "press", {"sym ffeb down 40", "sym ff55 down 40", "sym ff55 up 40", "sym ffeb up 0"}},
      {"F20", {}, "whatever", {"sym ffd1 down 0", "sym ffd1 up 0"}},
      {"primary", {}, "down", {"sym ffe3 down 0"}},
      {"VolUp", {"ctrl"}, "down", {"media 1008ff13"}},
      {"mute", {}, "up", {}},
      {"ж", {}, "press", {"sym 1000436 down 0", "sym 1000436 up 0"}},
      {"ж", {}, "up", {}},
      {"e\u0301", {}, "press", {"sym 65 down 0", "sym 65 up 0", "sym 1000301 down 0", "sym 1000301 up 0"}},
      // One character each, of several code points: typed as text.
      {"\U0001F1E9\U0001F1EA", {}, "press",
       {"sym 101f1e9 down 0", "sym 101f1e9 up 0", "sym 101f1ea down 0", "sym 101f1ea up 0"}},
      {"\u1100\u1161", {}, "press",
       {"sym 1001100 down 0", "sym 1001100 up 0", "sym 1001161 down 0", "sym 1001161 up 0"}},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.input.key(c.name, c.mods, c.action);
    EXPECT_EQ(f.sink.events, c.events) << c.name;
  }
}

TEST(InputSynthesisTest, UnresolvableKeysFailWithoutEmittingAnything) {
  const struct {
    std::string name;
    std::vector<std::string> mods;
  } cases[] = {{"xyz", {}}, {"", {}}, {"page_up", {}}, {"ж", {"ctrl"}}, {"ab", {"shift"}},
               {"\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", {}}, {"\u1100\u1161a", {}}};
  for (const auto& c : cases) {
    Fixture f;
    try {
      f.input.key(c.name, c.mods, "press");
      ADD_FAILURE() << c.name << " resolved";
    } catch (const InputError& error) {
      EXPECT_EQ(std::string(error.what()), "unknown key " + c.name);
    }
    EXPECT_TRUE(f.sink.events.empty()) << c.name;
  }
}

TEST(InputSynthesisTest, HeldKeysAreReleasedWithTheirModifiersInReverse) {
  Fixture f;
  f.input.key("a", {"ctrl", "shift"}, "down");
  f.input.key("b", {}, "down");
  f.input.key("b", {}, "up");
  f.input.key("tab", {"alt"}, "down");
  f.sink.events.clear();
  f.input.releaseAll();
  EXPECT_EQ(f.sink.events, (std::vector<std::string>{"sym ff09 up 0", "sym ffe9 up 0", "code 26 up 0",
                                                      "sym ffe1 up 4", "sym ffe3 up 0"}));
  f.sink.events.clear();
  f.input.releaseAll();
  EXPECT_TRUE(f.sink.events.empty());
}

TEST(InputSynthesisTest, TextTypesLayoutKeysLineBreaksAndTabs) {
  Fixture f;
  f.input.text("aA\tb\r\n!\n€");
  EXPECT_EQ(f.sink.events,
            (std::vector<std::string>{
                "code 26 down 0", "code 26 up 0",                                          // a
                "sym ffe1 down 1", "code 26 down 1", "code 26 up 1", "sym ffe1 up 0",      // A
                "sym ff09 down 0", "sym ff09 up 0",                                        // tab
                "code 38 down 0", "code 38 up 0",                                          // b
                "sym ff0d down 0", "sym ff0d up 0",                                        // CR LF
                "sym ffe1 down 1", "code a down 1", "code a up 1", "sym ffe1 up 0",        // !
                "sym ff0d down 0", "sym ff0d up 0",                                        // LF
                "sym 10020ac down 0", "sym 10020ac up 0"}));                               // €
}

TEST(KeyboardLayoutTest, LowestUnshiftedKeyWinsThenLowestShifted) {
  // keycode -> (unshifted, shifted)
  const std::map<std::uint32_t, std::pair<char32_t, char32_t>> keys{
      {10, {U'1', U'!'}}, {11, {U'x', U'+'}}, {12, {U'+', U'*'}}, {13, {U'x', U'X'}},
      {14, {U'\t', U'\x1b'}}, {15, {U'q', U'Q'}}, {16, {U'!', U'Q'}}};
  KeyboardLayout layout;
  layout.rebuild(8, 20, [&](std::uint32_t code, bool shift) -> std::optional<char32_t> {
    auto it = keys.find(code);
    if (it == keys.end()) return std::nullopt;
    return shift ? it->second.second : it->second.first;
  });
  EXPECT_EQ(layout.lookup(U'1'), (LayoutKey{10, false}));
  EXPECT_EQ(layout.lookup(U'!'), (LayoutKey{16, false}));  // unshifted beats a lower shifted key
  EXPECT_EQ(layout.lookup(U'+'), (LayoutKey{12, false}));
  EXPECT_EQ(layout.lookup(U'x'), (LayoutKey{11, false}));  // the lower of two unshifted keys
  EXPECT_EQ(layout.lookup(U'Q'), (LayoutKey{15, true}));   // the lower of two shifted keys
  EXPECT_EQ(layout.lookup(U'\t'), std::nullopt);           // control characters never enter
  EXPECT_EQ(layout.lookup(U'\x1b'), std::nullopt);
}

}  // namespace
}  // namespace nimbrel
