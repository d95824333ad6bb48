#include "input/null_input.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <thread>

namespace nimbrel {
namespace {

TEST(NullInput, RecordsEveryInputCallExactly) {
  std::vector<std::string> printed;
  NullInput input("test", [&](const std::string& line) { printed.push_back(line); });
  input.move(640.7, 400.2);
  input.move(-3.7, 0.99);
  input.button(MouseButton::left, true);
  input.button(MouseButton::middle, false);
  input.scroll(1, -2.5);
  input.scroll(0, 0.1);
  input.scroll(-0.0, 1e300);
  input.key("c", {"ctrl", "shift"}, "press");
  input.key("Return", {}, "hold it");
  input.text("it's\nfine");
  input.setClip("copied / text");
  EXPECT_EQ(input.osName(), "test");
  EXPECT_EQ(input.getClip(), "copied / text");
  EXPECT_EQ(input.position(), (Point{-3.7, 0.99}));
  EXPECT_EQ(input.caret(), std::nullopt);
  input.releaseAll();

  const std::vector<std::string> expected = {
      "'move', 640, 400",
      "'move', -3, 0",
      "'button', 'left', True",
      "'button', 'middle', False",
      "'scroll', 1.0, -2.5",
      "'scroll', 0.0, 0.1",
      "'scroll', -0.0, 1e+300",
      "'key', 'c', [\"ctrl\", \"shift\"], 'press'",
      "'key', 'Return', [], 'hold it'",
      "'text', 'it's\nfine'",
      "'setclip', 'copied / text'",
  };
  EXPECT_EQ(input.calls(), expected);
  ASSERT_EQ(printed.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(printed[i], "input (" + expected[i] + ")");
}

TEST(NullInput, StartsEmptyAndSurvivesNonFiniteCoordinates) {
  NullInput input("test", [](const std::string&) {});
  EXPECT_EQ(input.getClip(), "");
  EXPECT_EQ(input.position(), (Point{0, 0}));
  input.move(std::nan(""), 1e30);
  EXPECT_EQ(input.calls(), std::vector<std::string>{"'move', 0, 9223372036854775807"});
}

TEST(MouseButton, RawValuesRoundTrip) {
  for (MouseButton b : {MouseButton::left, MouseButton::right, MouseButton::middle}) {
    EXPECT_EQ(mouseButtonFrom(rawValue(b)), b);
  }
  EXPECT_EQ(mouseButtonFrom("Left"), std::nullopt);
  EXPECT_STREQ(InputError::unknownKey("foo").what(), "unknown key foo");
}

// The printed records share standard output with the log lines of other threads: each must
// arrive whole, never with another line inside it.
TEST(NullInput, PrintedRecordsStayWholeBesideOtherWriters) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  NullInput input("test", NullInput::filePrinter(file));
  constexpr int count = 20000;
  std::thread other([file] {
    for (int i = 0; i < count; ++i) {
      std::fwrite("log\n", 1, 4, file);
      std::fflush(file);
    }
  });
  for (int i = 0; i < count; ++i) input.button(MouseButton::left, i % 2 == 0);
  other.join();
  std::rewind(file);
  int records = 0, logs = 0;
  char line[256];
  while (std::fgets(line, sizeof line, file)) {
    const std::string text(line);
    if (text == "log\n") {
      ++logs;
    } else {
      EXPECT_TRUE(text == "input ('button', 'left', True)\n" || text == "input ('button', 'left', False)\n")
          << text;
      ++records;
    }
  }
  std::fclose(file);
  EXPECT_EQ(records, count);
  EXPECT_EQ(logs, count);
}

}  // namespace
}  // namespace nimbrel
