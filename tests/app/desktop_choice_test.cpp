#include "app/desktop_choice.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

// A Wayland session is never shared through Xwayland (only X applications would show): GNOME
// through its remote-desktop service, anything else not at all unless a dry run is asked for.
TEST(DesktopChoice, WaylandThroughGnomeOnlyX11OtherwiseTheSyntheticScreenLast) {
  struct Case {
    DesktopProbe probe;
    DesktopKind kind;
    std::string lineStart;
  };
  const std::string noService = "the session bus has no org.gnome.Mutter.RemoteDesktop";
  const Case cases[] = {
      {{true, std::nullopt, std::nullopt, ":0", false}, DesktopKind::gnomeWayland,
       "Sharing this GNOME Wayland desktop through its remote-desktop service."},
      // Xwayland's display opens, but the desktop is not GNOME: refused, with what to do.
      {{true, noService, std::nullopt, ":0", false}, DesktopKind::unsupported,
       "This Wayland desktop can't be shared (" + noService + "). Nimbrel shares GNOME on "
       "Wayland and X11 desktops"},
      {{true, noService, std::nullopt, ":0", true}, DesktopKind::synthetic, ""},
      {{false, noService, std::nullopt, ":1", false}, DesktopKind::x11,
       "Sharing the X11 desktop on display :1."},
      {{false, std::nullopt, "no X display is set (DISPLAY is empty)", "", false},
       DesktopKind::synthetic,
       "Starting the dry run with the synthetic screen: no X display is set (DISPLAY is empty)."},
      {{false, std::nullopt, std::nullopt, ":0", true}, DesktopKind::synthetic, ""},
  };
  for (const Case& c : cases) {
    const DesktopChoice choice = chooseDesktop(c.probe);
    EXPECT_EQ(choice.kind, c.kind) << c.lineStart;
    EXPECT_EQ(choice.line.substr(0, c.lineStart.size()), c.lineStart);
    if (c.lineStart.empty()) {
      EXPECT_EQ(choice.line, "");
    }
  }
  // The refusal says how to try anyway.
  EXPECT_NE(chooseDesktop(cases[1].probe).line.find("--dry-run"), std::string::npos);
}

}  // namespace
}  // namespace nimbrel
