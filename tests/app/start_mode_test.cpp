#include "app/start_mode.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

TEST(StartMode, TrayWhenTheDisplayHasOneHeadlessOtherwiseAndTheLineSaysWhy) {
  struct Case {
    SystemTrayProbe probe;
    bool tray;
    std::string line;
  };
  const Case cases[] = {
      {{":0", "no X display is set (DISPLAY is empty)", false, false},
       false,
       "Starting the headless host: no X display is set (DISPLAY is empty)."},
      // A bus watcher without a display still cannot show anything.
      {{":5", "couldn't open the X display :5: the socket or stream failed", true, true},
       false,
       "Starting the headless host: couldn't open the X display :5: the socket or stream "
       "failed."},
      {{":0", std::nullopt, true, false}, true,
       "Starting the tray application: display :0 has an XEmbed tray."},
      {{":1", std::nullopt, false, true}, true,
       "Starting the tray application: display :1 has a StatusNotifier host."},
      {{":1", std::nullopt, true, true}, true,
       "Starting the tray application: display :1 has a StatusNotifier host."},
      {{":2", std::nullopt, false, false}, false,
       "Starting the headless host: display :2 has no system tray to show the icon in."},
  };
  for (const Case& c : cases) {
    const StartChoice choice = chooseStartMode(c.probe);
    EXPECT_EQ(choice.tray, c.tray) << c.line;
    EXPECT_EQ(choice.line, c.line);
  }
}

}  // namespace
}  // namespace nimbrel
