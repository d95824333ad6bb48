#include "input/wayland_keymap.hpp"

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <memory>

namespace nimbrel {
namespace {

// A keymap as a compositor sends it: XKB's text format, compiled from layout names here.
std::string keymapText(const char* layout) {
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  const xkb_rule_names names{"evdev", "pc105", layout, "", ""};
  xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
  char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
  std::string result = text;
  free(text);
  xkb_keymap_unref(keymap);
  xkb_context_unref(context);
  return result;
}

// Which characters go out as keys, and which keysyms the compositor could find a key for,
// follow the layout the desktop uses.
TEST(WaylandKeymap, CharactersAndKeysymsFollowTheLayout) {
  auto keymap = WaylandKeymap::fromText(keymapText("us"));
  ASSERT_TRUE(keymap);
  EXPECT_EQ(keymap->lookup(U'a'), (LayoutKey{38, false}));  // XKB keycode of the A key
  EXPECT_EQ(keymap->lookup(U'A'), (LayoutKey{38, true}));
  EXPECT_EQ(keymap->lookup(U'!'), (LayoutKey{10, true}));
  EXPECT_FALSE(keymap->lookup(U'é'));
  EXPECT_TRUE(keymap->hasKeysym(0xff0d));   // Return
  EXPECT_TRUE(keymap->hasKeysym(0xffe1));   // Shift_L
  EXPECT_FALSE(keymap->hasKeysym(0xe9));    // eacute
  EXPECT_FALSE(keymap->hasKeysym(0x100263a));  // a smiling face: no layout has it

  auto french = WaylandKeymap::fromText(keymapText("fr"));
  ASSERT_TRUE(french);
  EXPECT_EQ(french->lookup(U'é'), (LayoutKey{11, false}));  // the 2 key
  EXPECT_EQ(french->lookup(U'a'), (LayoutKey{24, false}));  // where the Q is on "us"
  EXPECT_TRUE(french->hasKeysym(0xe9));

  // Two layouts: which is active is not known, so no character is tied to a key, and a key
  // symbol of either can be asked for.
  auto two = WaylandKeymap::fromText(keymapText("us,ru"));
  ASSERT_TRUE(two);
  EXPECT_FALSE(two->lookup(U'a'));
  EXPECT_TRUE(two->hasKeysym(0x61));   // a
  EXPECT_TRUE(two->hasKeysym(0x6c6));  // Cyrillic_a
  EXPECT_FALSE(two->hasKeysym(0xe9));  // eacute: in neither

  EXPECT_FALSE(WaylandKeymap::fromText("xkb_keymap { this is not a keymap"));
}

}  // namespace
}  // namespace nimbrel
