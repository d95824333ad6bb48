#!/usr/bin/python3
r"""A fullscreen GTK 3 window, a native Wayland client, that says what it receives.

Run it inside a Wayland session (GDK_BACKEND=wayland is forced). It covers its monitor from
(0, 0), so its coordinates are the monitor's, and paints itself one colour.

Standard output, one flushed line per event:
  ready <width> <height>          mapped, fullscreen, activated (the window the compositor gives
                                  the keyboard to), at its monitor's size, shown, and past
                                  mutter's map effect (300 ms of the compositor's frames)
  focus in | focus out            the keyboard came or went
  pointer in <x> <y> | pointer out
                                  the pointer came or went (crossings GTK makes for grabs left
                                  out). Headless mutter's seat has no keyboard or pointer until
                                  a RemoteDesktop session's first key or pointer event: the
                                  window binds the new device only then, so that event (or
                                  one right behind it) can be lost to it; wait for these lines.
  click <button> <x> <y>          a button press (x, y: integers, window coordinates)
  release <button> <x> <y>        a button release
  scroll <dx> <dy>                GTK's smooth deltas ("%g", down/right positive): a wheel
                                  notch reads 1 (one line a notch: NotifyPointerAxisDiscrete
                                  with steps -2 gives two "scroll 0 -1"); a smooth scroll of
                                  (dx, dy) pixels reads dx/10 dy/10; an axis stop prints nothing.
                                  GTK's duplicate direction events are not reported.
  key <keyval name> <modifiers>   every key press: Gdk.keyval_name, then the held modifiers among
                                  shift,control,alt,super joined by commas, or "-"
  text <json string>              the typed text each time it changes: printable characters of
                                  key presses without control/alt/super, "\n" for Return, "\t"
                                  for Tab, BackSpace removes the last character
  painted <RRGGBB>                after `color`/`rect`: the frame is drawn and shown
  copied                          after `copy`
  clipboard <json string|null>    after `paste`
  capslock on|off                 after `capslock`, and whenever Caps Lock changes (it locks on
                                  the key's press, unlocks on the release of its next press)

Commands, one a line, from standard input or from --commands PATH (a FIFO, opened so that it
never reaches its end):
  color RRGGBB                    paint the whole window (drops the rectangles)
  rect RRGGBB <x> <y> <w> <h>     paint a rectangle over what is there
  copy <json string>              own the CLIPBOARD with that text
  paste                           read the CLIPBOARD's text
  clear                           forget the typed text (prints text "")
  capslock                        report the Caps Lock state
  quit                            close the window and exit

JSON strings keep non-ASCII characters as they are (standard output is UTF-8). Anything else
goes to standard error.
"""

import argparse
import json
import os
import sys

os.environ["GDK_BACKEND"] = "wayland"
os.environ.setdefault("NO_AT_BRIDGE", "1")

import gi  # noqa: E402

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402


# mutter's map effect lasts 250 ms; a few frames more.
MAP_EFFECT_US = 300 * 1000


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def quoted(value):
    """JSON, non-ASCII characters kept as they are (UTF-8 on the wire)."""
    return json.dumps(value, ensure_ascii=False)


def complain(line):
    sys.stderr.write("wayland_test_window: " + line + "\n")
    sys.stderr.flush()


def parse_colour(text):
    if len(text) != 6:
        raise ValueError("colour %r is not RRGGBB" % text)
    value = int(text, 16)
    return ((value >> 16) & 0xFF) / 255.0, ((value >> 8) & 0xFF) / 255.0, (value & 0xFF) / 255.0


class TestWindow:
    def __init__(self, colour):
        self.background = colour
        self.rects = []  # (colour, x, y, w, h)
        self.text = ""
        self.fullscreen = False
        self.active = False
        self.ready_sent = False
        # Colours whose frame is drawn but not yet known to be on screen, and those waiting to
        # be drawn.
        self.to_draw = []
        self.drawn = []
        self.committed = []
        self.readying = False
        self.settled_since = None

        self.window = Gtk.Window(title="Nimbrel Wayland test window")
        self.window.set_app_paintable(True)
        self.window.set_decorated(False)
        self.window.add_events(Gdk.EventMask.BUTTON_PRESS_MASK | Gdk.EventMask.BUTTON_RELEASE_MASK
                               | Gdk.EventMask.SCROLL_MASK | Gdk.EventMask.SMOOTH_SCROLL_MASK
                               | Gdk.EventMask.KEY_PRESS_MASK | Gdk.EventMask.POINTER_MOTION_MASK
                               | Gdk.EventMask.FOCUS_CHANGE_MASK
                               | Gdk.EventMask.ENTER_NOTIFY_MASK | Gdk.EventMask.LEAVE_NOTIFY_MASK)
        self.window.connect("draw", self.on_draw)
        self.window.connect("button-press-event", self.on_button, "click")
        self.window.connect("button-release-event", self.on_button, "release")
        self.window.connect("scroll-event", self.on_scroll)
        self.window.connect("key-press-event", self.on_key)
        self.window.connect("window-state-event", self.on_state)
        self.window.connect("enter-notify-event", self.on_crossing, True)
        self.window.connect("leave-notify-event", self.on_crossing, False)
        self.window.connect("focus-in-event", self.on_focus, True)
        self.window.connect("focus-out-event", self.on_focus, False)
        self.window.connect("realize", self.on_realize)
        self.window.connect("destroy", lambda _w: Gtk.main_quit())
        self.window.fullscreen()
        self.window.show_all()

        self.keymap = Gdk.Keymap.get_for_display(self.window.get_display())
        self.caps_lock = self.keymap.get_caps_lock_state()
        self.keymap.connect("state-changed", self.on_keymap_state)

    # Frames ---------------------------------------------------------------------------------

    def on_realize(self, widget):
        clock = widget.get_frame_clock()
        # Connected after GDK's own handler, so this runs once the frame is committed.
        clock.connect("after-paint", self.on_after_paint)
        # The clock stays frozen until the compositor's frame callback for the last commit; the
        # next cycle's update phase therefore means that commit has been shown.
        clock.connect("update", self.on_update)

    def on_draw(self, widget, cr):
        cr.set_source_rgb(*parse_colour(self.background))
        cr.paint()
        for colour, x, y, w, h in self.rects:
            cr.set_source_rgb(*parse_colour(colour))
            cr.rectangle(x, y, w, h)
            cr.fill()
        self.drawn.extend(self.to_draw)
        self.to_draw = []
        if self.can_be_ready() and not self.ready_sent:
            self.readying = True
        return True

    def on_after_paint(self, clock):
        if self.drawn or self.readying:
            self.committed.extend(self.drawn)
            self.drawn = []
            clock.request_phase(Gdk.FrameClockPhase.UPDATE)

    def on_update(self, clock):
        for colour in self.committed:
            say("painted " + colour)
        self.committed = []
        if self.readying and not self.ready_sent:
            self.readying = False
            if not self.can_be_ready():
                self.settled_since = None
                return
            # mutter's map effect scales a new window up from half its size, about its centre,
            # over 250 ms of the compositor's frames (no setting turns it off), and meanwhile
            # input lands where the shrunken window is drawn. So frames are committed one after
            # another, each once the compositor has shown the last, until their times span more
            # than the effect: these are the compositor's frames the effect runs on.
            now = clock.get_frame_time()
            if self.settled_since is None:
                self.settled_since = now
            if now - self.settled_since >= MAP_EFFECT_US:
                self.ready_sent = True
                say("ready %d %d" % (self.window.get_allocated_width(),
                                     self.window.get_allocated_height()))
            else:
                self.window.queue_draw()

    def can_be_ready(self):
        if not (self.fullscreen and self.active):
            return False
        gdk_window = self.window.get_window()
        if gdk_window is None:
            return False
        area = self.window.get_display().get_monitor_at_window(gdk_window).get_geometry()
        return (self.window.get_allocated_width() == area.width
                and self.window.get_allocated_height() == area.height)

    def on_state(self, widget, event):
        self.fullscreen = bool(event.new_window_state & Gdk.WindowState.FULLSCREEN)
        # The compositor's "activated": the window it gives the keyboard to. The seat may have no
        # keyboard yet (headless mutter gets one with the first virtual keyboard), so this is the
        # focus that can be waited for; "focus in" follows once there is a keyboard.
        self.active = bool(event.new_window_state & Gdk.WindowState.FOCUSED)
        widget.queue_draw()
        return False

    def on_focus(self, widget, event, focused):
        say("focus in" if focused else "focus out")
        return False

    # Input ----------------------------------------------------------------------------------

    def on_crossing(self, widget, event, entered):
        # Only the pointer's own comings and goings, not those GTK makes up for grabs.
        if event.mode == Gdk.CrossingMode.NORMAL:
            say("pointer in %d %d" % (int(event.x), int(event.y)) if entered else "pointer out")
        return False

    def on_button(self, widget, event, kind):
        if event.type == Gdk.EventType.BUTTON_PRESS or kind == "release":
            say("%s %d %d %d" % (kind, event.button, int(event.x), int(event.y)))
        return True

    def on_scroll(self, widget, event):
        # On Wayland GTK sends each wheel notch twice, as a direction (its horizontal ones
        # reversed) and as a smooth event: the smooth one alone is reported.
        if event.direction == Gdk.ScrollDirection.SMOOTH:
            _, dx, dy = event.get_scroll_deltas()
            if dx != 0 or dy != 0:
                say("scroll %g %g" % (dx, dy))
        return True

    def on_keymap_state(self, keymap):
        caps_lock = keymap.get_caps_lock_state()
        if caps_lock != self.caps_lock:
            self.caps_lock = caps_lock
            say("capslock " + ("on" if caps_lock else "off"))

    def on_key(self, widget, event):
        state = event.state
        held = [name for name, mask in (("shift", Gdk.ModifierType.SHIFT_MASK),
                                        ("control", Gdk.ModifierType.CONTROL_MASK),
                                        ("alt", Gdk.ModifierType.MOD1_MASK),
                                        ("super", Gdk.ModifierType.SUPER_MASK | Gdk.ModifierType.MOD4_MASK))
                if state & mask]
        name = Gdk.keyval_name(event.keyval) or ("0x%x" % event.keyval)
        say("key %s %s" % (name, ",".join(held) if held else "-"))
        if any(m in held for m in ("control", "alt", "super")):
            return True
        before = self.text
        if event.keyval in (Gdk.KEY_Return, Gdk.KEY_KP_Enter, Gdk.KEY_ISO_Enter):
            self.text += "\n"
        elif event.keyval in (Gdk.KEY_Tab, Gdk.KEY_KP_Tab):
            self.text += "\t"
        elif event.keyval == Gdk.KEY_BackSpace:
            self.text = self.text[:-1]
        else:
            code = Gdk.keyval_to_unicode(event.keyval)
            if code >= 0x20 and code != 0x7F:
                self.text += chr(code)
        if self.text != before:
            say("text " + quoted(self.text))
        return True

    # Commands -------------------------------------------------------------------------------

    def command(self, line):
        word, _, rest = line.partition(" ")
        try:
            if word == "color":
                parse_colour(rest)
                self.background = rest
                self.rects = []
                self.to_draw.append(rest)
                self.window.queue_draw()
            elif word == "rect":
                colour, x, y, w, h = rest.split()
                parse_colour(colour)
                self.rects.append((colour, int(x), int(y), int(w), int(h)))
                self.to_draw.append(colour)
                self.window.queue_draw()
            elif word == "copy":
                clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)
                clipboard.set_text(json.loads(rest), -1)
                # A round trip: the compositor has the new selection before anyone hears of it.
                self.window.get_display().sync()
                say("copied")
            elif word == "paste":
                clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)
                clipboard.request_text(lambda _c, text: say("clipboard " + quoted(text)))
            elif word == "clear":
                self.text = ""
                say('text ""')
            elif word == "capslock":
                say("capslock " + ("on" if self.keymap.get_caps_lock_state() else "off"))
            elif word == "quit":
                self.window.destroy()
            elif word:
                complain("unknown command %r" % line)
        except (ValueError, TypeError) as error:
            complain("bad command %r: %s" % (line, error))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--color", default="2060c0", help="the starting colour, RRGGBB")
    parser.add_argument("--commands", help="read commands from this FIFO instead of stdin")
    args = parser.parse_args()
    sys.stdout.reconfigure(encoding="utf-8")
    parse_colour(args.color)
    if not Gtk.init_check(sys.argv)[0]:
        complain("cannot open the Wayland display %r" % os.environ.get("WAYLAND_DISPLAY"))
        return 1

    window = TestWindow(args.color)

    # Read/write keeps a writer on the FIFO: no end of file when a writer comes and goes.
    fd = os.open(args.commands, os.O_RDWR | os.O_NONBLOCK) if args.commands else sys.stdin.fileno()
    os.set_blocking(fd, False)
    pending = bytearray()

    def on_input(_fd, condition):
        try:
            chunk = os.read(fd, 65536)
        except BlockingIOError:
            return True
        if not chunk:
            return False  # end of input: keep running, read no more
        pending.extend(chunk)
        while b"\n" in pending:
            line, _, rest = bytes(pending).partition(b"\n")
            pending[:] = rest
            window.command(line.decode("utf-8", "replace").rstrip("\r"))
        return True

    GLib.unix_fd_add_full(GLib.PRIORITY_DEFAULT, fd, GLib.IOCondition.IN | GLib.IOCondition.HUP,
                          on_input)
    Gtk.main()
    return 0


if __name__ == "__main__":
    sys.exit(main())
