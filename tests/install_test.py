#!/usr/bin/env python3
"""cmake --install puts the programs, the menu entry and the icons in their XDG places, and the
menu entry is one desktop environments accept.

    install_test.py BUILD_DIR
"""
import pathlib
import subprocess
import sys
import tempfile

EXPECTED = [
    "bin/nimbrel",
    "bin/nimbrel-client",
    "bin/nimbrel-cloud",
    "share/applications/nimbrel.desktop",
    "share/icons/hicolor/scalable/apps/nimbrel.svg",
    "share/icons/hicolor/scalable/status/nimbrel-connected.svg",
    "share/icons/hicolor/scalable/status/nimbrel-warning.svg",
]


def main() -> int:
    build = sys.argv[1]
    with tempfile.TemporaryDirectory() as prefix:
        subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        root = pathlib.Path(prefix)
        missing = [p for p in EXPECTED if not (root / p).is_file()]
        if missing:
            print("not installed:", ", ".join(missing))
            return 1
        for program in ("bin/nimbrel", "bin/nimbrel-client", "bin/nimbrel-cloud"):
            if not (root / program).stat().st_mode & 0o111:
                print(program, "is not executable")
                return 1
        entry = root / "share/applications/nimbrel.desktop"
        checked = subprocess.run(["desktop-file-validate", str(entry)], capture_output=True,
                                 text=True)
        if checked.returncode != 0 or checked.stdout.strip():
            print("desktop-file-validate:", checked.stdout, checked.stderr)
            return 1
        fields = dict(line.split("=", 1) for line in entry.read_text().splitlines() if "=" in line)
        # The menu finds the program on PATH and the icon in the hicolor theme, by name.
        if fields.get("Exec", "").split()[0] != "nimbrel" or fields.get("Icon") != "nimbrel":
            print("unexpected Exec or Icon:", fields.get("Exec"), fields.get("Icon"))
            return 1
    print("installed", len(EXPECTED), "files; the menu entry validates")
    return 0


if __name__ == "__main__":
    sys.exit(main())
