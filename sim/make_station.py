#!/usr/bin/env python3
"""Lay out a station working directory full of fake station scripts.

    make_station.py DIR [--verbose]

Every script is a copy (not a symlink, so DIR can be moved) of
fakes/fake_station_tool.py, executable, with a "#!/usr/bin/env python3"
shebang.  Running it again simply refreshes the copies.
"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "fakes", "fake_station_tool.py")
SHEBANG = "#!/usr/bin/env python3\n"

LAYOUT = (
    "testsoftware_gegenspieler/Realy_Module_CLI.py",
    "testsoftware_gegenspieler/mac_test.py",
    "testsoftware_gegenspieler/test_TestTaster.py",
    "testsoftware_gegenspieler/test_ResetTaster.py",
    "testsoftware_gegenspieler/test_Interfaces.py",
    "testsoftware_gegenspieler/end_Testserver.py",
    "testsoftware_gegenspieler/disable_production_test.py",
    "printlabel.sh",
    "bin/ping",
    "bin/powerNimbrel.sh",
    "flash/4R0417_stage1.sh",
)


def tool_text():
    with open(TOOL, encoding="utf-8") as f:
        text = f.read()
    if text.startswith("#!"):
        text = text.split("\n", 1)[1] if "\n" in text else ""
    return SHEBANG + text


def make_station(directory, verbose=False):
    text = tool_text()
    paths = []
    for rel in LAYOUT:
        path = os.path.join(directory, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        # write next to the target and rename, so a script that is running
        # from an earlier layout is never seen half written
        tmp = path + ".tmp%d" % os.getpid()
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(tmp, 0o755)
        os.replace(tmp, path)
        paths.append(path)
        if verbose:
            print(path)
    return paths


def main(argv=None):
    p = argparse.ArgumentParser(description="Legt ein Stationsverzeichnis mit Attrappen der Stationsskripte an.")
    p.add_argument("directory", help="Zielverzeichnis")
    p.add_argument("--verbose", action="store_true", help="angelegte Pfade ausgeben")
    args = p.parse_args(argv)
    make_station(args.directory, args.verbose)
    return 0


if __name__ == "__main__":
    sys.exit(main())
