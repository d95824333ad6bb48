#!/usr/bin/python3
"""Gives a headless GNOME session's seat a keyboard and a pointer for as long as it runs, as a
real computer's own keyboard and mouse would: a remote-desktop session of its own, started and
never driven. Without them, the first key or click of another session's new virtual devices can
reach a window before the window has heard that the seat has a keyboard at all.

Prints "ready" once the session has started; ends when killed, or when the compositor closes the
session (a compositor that dies says nothing: then only the kill ends it)."""

from gi.repository import Gio, GLib

NAME = "org.gnome.Mutter.RemoteDesktop"


def main():
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    path = bus.call_sync(NAME, "/org/gnome/Mutter/RemoteDesktop", NAME, "CreateSession", None,
                         GLib.VariantType.new("(o)"), Gio.DBusCallFlags.NONE, 5000,
                         None).unpack()[0]
    bus.call_sync(NAME, path, NAME + ".Session", "Start", None, None, Gio.DBusCallFlags.NONE,
                  5000, None)
    session = NAME + ".Session"
    for state in (True, False):  # Shift: the keyboard comes with its first key
        bus.call_sync(NAME, path, session, "NotifyKeyboardKeysym", GLib.Variant("(ub)", (0xffe1, state)),
                      None, Gio.DBusCallFlags.NONE, 5000, None)
    bus.call_sync(NAME, path, session, "NotifyPointerMotionRelative", GLib.Variant("(dd)", (0.0, 0.0)),
                  None, Gio.DBusCallFlags.NONE, 5000, None)
    loop = GLib.MainLoop()
    bus.signal_subscribe(None, NAME + ".Session", "Closed", path, None,
                         Gio.DBusSignalFlags.NONE, lambda *args: loop.quit())
    print("ready", flush=True)
    loop.run()


if __name__ == "__main__":
    main()
