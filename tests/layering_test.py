#!/usr/bin/env python3
"""The libraries form layers: every source file includes headers only of its own library and of
the libraries beneath it. The client in particular sees the wire protocol, never the host.

Usage: layering_test.py SRC_DIR. Prints every include that crosses the layers; fails if any."""
import pathlib
import re
import sys

# The session folder holds two libraries: the protocol both ends speak, and the host's session.
PROTOCOL_FILES = {"base64", "crypto", "protocol", "secure_channel"}

MAY_INCLUDE = {
    "base": {"base"},
    "platform": {"base", "platform"},
    "net": {"base", "net"},
    "input": {"base", "platform", "input"},
    "capture": {"base", "platform", "capture"},
    "stream": {"base", "net", "capture", "stream"},
    "protocol": {"base", "input", "protocol"},
    "session": {"base", "net", "input", "capture", "stream", "protocol", "session"},
    "client": {"base", "net", "capture", "protocol", "client"},
    "cloud": {"base", "net", "cloud"},
    "cloud_server": {"base", "net", "cloud_server"},
    "app": {"base", "platform", "net", "input", "capture", "stream", "protocol", "session",
            "cloud", "app"},
    "ui": {"base", "platform", "net", "input", "capture", "stream", "protocol", "session",
           "cloud", "app", "ui"},
    # The process entry picks the headless host or the tray application.
    "entry": {"base", "platform", "net", "input", "capture", "stream", "protocol", "session",
              "cloud", "app", "ui"},
    "boost": {"boost"},
}
# The compiled Asio and its small fixes in boost/ lie beneath every library.
for allowed in MAY_INCLUDE.values():
    allowed.add("boost")

INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_0-9]+)/([a-z_0-9]+)\.hpp"', re.M)


def library(folder, stem):
    if folder == "session" and stem in PROTOCOL_FILES:
        return "protocol"
    if folder == "app" and stem == "main":
        return "entry"
    return folder


def crossings(src):
    found = []
    for path in sorted(src.glob("*/*.[ch]pp")):
        own = library(path.parent.name, path.stem.removesuffix("_test"))
        allowed = MAY_INCLUDE.get(own)
        if allowed is None:
            found.append(f"{path.relative_to(src)}: its library is not in the layer table")
            continue
        for folder, stem in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if library(folder, stem) not in allowed:
                found.append(f"{path.relative_to(src)} includes {folder}/{stem}.hpp "
                             f"({own} may include {', '.join(sorted(allowed))})")
    return found


def main():
    src = pathlib.Path(sys.argv[1])
    if not (src / "base").is_dir():
        print(f"{src} is not the source folder")
        return 2
    found = crossings(src)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
