#include "platform/mutter_layout.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

TEST(MutterLayout, MonitorsInPointsAndPixelsByLayoutModeScaleAndRotation) {
  struct Case {
    const char* what;
    MutterLogicalMonitor monitor;
    std::uint32_t layoutMode;
    Rect bounds;
    int pixelWidth, pixelHeight;
  };
  const Case cases[] = {
      {"plain", {0, 0, 1, 0, true, "Meta-0", 1280, 800}, 1, {0, 0, 1280, 800}, 1280, 800},
      {"logical mode, scale 2: points are half the pixels",
       {1280, 0, 2, 0, false, "DP-1", 3840, 2160}, 1, {1280, 0, 1920, 1080}, 3840, 2160},
      {"physical mode: the scale does not shrink the area",
       {1280, 0, 2, 0, false, "DP-1", 3840, 2160}, 2, {1280, 0, 3840, 2160}, 3840, 2160},
      {"a quarter turn swaps the sides", {0, 0, 1, 1, false, "HDMI-1", 1920, 1080}, 1,
       {0, 0, 1080, 1920}, 1080, 1920},
      {"upside down keeps them", {0, 0, 1, 2, false, "HDMI-1", 1920, 1080}, 1,
       {0, 0, 1920, 1080}, 1920, 1080},
  };
  for (const Case& c : cases) {
    const auto outputs = outputsFromLayout({c.monitor}, c.layoutMode);
    ASSERT_EQ(outputs.size(), 1u) << c.what;
    EXPECT_EQ(outputs[0].bounds, c.bounds) << c.what;
    EXPECT_EQ(outputs[0].pixelWidth, c.pixelWidth) << c.what;
    EXPECT_EQ(outputs[0].pixelHeight, c.pixelHeight) << c.what;
    EXPECT_EQ(outputs[0].connector, c.monitor.connector) << c.what;
  }
  // A monitor with no current mode shows nothing.
  EXPECT_TRUE(outputsFromLayout({{0, 0, 1, 0, true, "Meta-0", 0, 0}}, 1).empty());
}

TEST(MutterLayout, PositionsMapBetweenTheDesktopAndAScaledStreamAndStayInside) {
  const MutterOutput output{"DP-1", {1280, 100, 1920, 1080}, 3840, 2160, false};
  EXPECT_EQ(streamPosition(output, {1280, 100}), (Point{0, 0}));
  EXPECT_EQ(streamPosition(output, {1280 + 960, 100 + 540}), (Point{1920, 1080}));
  EXPECT_EQ(globalPosition(output, {1920, 1080}), (Point{2240, 640}));
  // Outside the monitor: its nearest pixel.
  EXPECT_EQ(streamPosition(output, {0, 5000}), (Point{0, 2159}));
  EXPECT_EQ(streamPosition(output, {99999, -3}), (Point{3839, 0}));
}

TEST(MutterLayout, ThePointerGoesToTheMonitorUnderItElseTheNearest) {
  const std::vector<MutterOutput> outputs = {{"A", {0, 0, 1280, 800}, 1280, 800, true},
                                             {"B", {1280, 0, 800, 600}, 800, 600, false}};
  struct Case {
    Point at;
    const char* connector;
  };
  const Case cases[] = {
      {{10, 10}, "A"},      {{1279, 799}, "A"},   {{1280, 0}, "B"},   {{2079, 599}, "B"},
      {{1300, 790}, "A"},   // below B, beside A's bottom right: A is nearer
      {{1900, 650}, "B"},   // just under B
      {{-50, -50}, "A"},    {{9999, 300}, "B"},
  };
  for (const Case& c : cases) {
    const MutterOutput* output = outputAt(outputs, c.at);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(output->connector, c.connector) << c.at.x << "," << c.at.y;
  }
  EXPECT_EQ(outputAt({}, {0, 0}), nullptr);
}

TEST(MutterLayout, ConnectorIDsAreStableAndDistinct) {
  EXPECT_EQ(connectorID("DP-1"), connectorID("DP-1"));
  EXPECT_NE(connectorID("DP-1"), connectorID("DP-2"));
  EXPECT_NE(connectorID(""), 0u);
}

}  // namespace
}  // namespace nimbrel
