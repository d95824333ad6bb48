// The caret through accessibility: the rule that turns caret bounds and element frames into the
// answer, and the real thing with a Qt line edit on Xvfb under a session bus of the test's own.

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <thread>

#include "input/caret_locator.hpp"
#include "input/x11_input.hpp"
#include "support/process.hpp"
#include "support/x_server.hpp"

namespace nimbrel {
namespace {

using namespace std::chrono_literals;

TEST(CaretFromAccessibleTest, CaretBoundsThenTheElementFrameWithinTheHeightRule) {
  const struct {
    std::optional<Rect> caret;
    std::optional<Rect> frame;
    std::optional<Rect> expected;
  } cases[] = {
      {Rect{100, 200, 0, 18}, Rect{0, 0, 300, 24}, Rect{100, 200, 2, 18}},   // insertion point
      {Rect{100, 200, 40, 18}, std::nullopt, Rect{100, 200, 40, 18}},        // a selection
      {Rect{100, 200, 40, 0}, Rect{10, 20, 300, 24}, Rect{10, 20, 300, 24}}, // flat: the frame
      {std::nullopt, Rect{10, 20, 300, 400}, Rect{10, 20, 300, 400}},
      {std::nullopt, Rect{10, 20, 300, 401}, std::nullopt},
      {std::nullopt, Rect{10, 20, 300, 0}, std::nullopt},
      {std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(caretFromAccessible(c.caret, c.frame), c.expected);
}

TEST(CaretLocatorTest, FindsTheCaretOfAFocusedQtLineEdit) {
  test::XServer server("800x600x24");
  // A session bus of our own; it starts the accessibility bus when asked.
  test::Process bus("/usr/bin/dbus-daemon", {"--session", "--nofork", "--print-address=1"},
                    {{"DISPLAY", server.display()}});
  ASSERT_TRUE(bus.waitForOutput("\n", 10s)) << bus.errorOutput();
  const std::string address = bus.output().substr(0, bus.output().find('\n'));
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  setenv("DISPLAY", server.display().c_str(), 1);

  auto locator = CaretLocator::shared();
  ASSERT_TRUE(locator);

  test::Process window(NIMBREL_CARET_WINDOW, {},
                       {{"DISPLAY", server.display()},
                        {"DBUS_SESSION_BUS_ADDRESS", address},
                        {"QT_QPA_PLATFORM", "xcb"},
                        {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1"}});
  ASSERT_TRUE(window.waitForOutput("\n", 20s)) << window.errorOutput();
  std::smatch m;
  const std::string line = window.output();
  ASSERT_TRUE(std::regex_search(line, m, std::regex(R"(ready (\d+) (\d+) (\d+) (\d+))")));
  const Rect field{std::stod(m[1]), std::stod(m[2]), std::stod(m[3]), std::stod(m[4])};

  std::optional<Rect> caret;
  for (int i = 0; i < 100 && !(caret && caret->width == 2); ++i) {
    caret = locator->caret();
    if (!(caret && caret->width == 2)) std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(caret) << "no caret";
  // At the end of the text: a 2-point caret inside the field, right of its middle.
  EXPECT_EQ(caret->width, 2);
  EXPECT_GT(caret->height, 0);
  EXPECT_LE(caret->height, field.height);
  EXPECT_TRUE(field.contains({caret->x, caret->y})) << caret->x << "," << caret->y;
  EXPECT_GT(caret->x, field.x + 20);

  // Home moves it to the start of the text.
  X11Input input({.display = server.display(), .doubleClickInterval = std::nullopt});
  input.key("home", {}, "press");
  std::optional<Rect> moved = caret;
  for (int i = 0; i < 50 && moved && moved->x >= caret->x; ++i) {
    std::this_thread::sleep_for(100ms);
    moved = locator->caret();
  }
  ASSERT_TRUE(moved);
  EXPECT_LT(moved->x, caret->x);
  EXPECT_TRUE(field.contains({moved->x, moved->y}));
}

}  // namespace
}  // namespace nimbrel
