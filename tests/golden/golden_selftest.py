#!/usr/bin/env python3
"""The golden check itself: it passes on the recorded transcripts, and a single changed byte in any one
of them (a timing, a count) makes it fail and name the file. Usage: golden_selftest.py BUILD_DIR"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent


def check(build, folder):
    env = dict(os.environ, CV_GOLDEN_DIR=str(folder))
    return subprocess.run([sys.executable, str(HERE / "golden.py"), "check", build], env=env,
                          capture_output=True, text=True, timeout=600)


def main():
    build = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        for f in HERE.glob("*.txt"):
            shutil.copy(f, folder / f.name)
        ok = check(build, folder)
        if ok.returncode != 0:
            print("the recorded transcripts do not pass:\n" + ok.stdout)
            return 1
        # One digit of a transfer's machine time in the benchmark's table, one of a scenario's times.
        for name, old, new in (("bench-nullmodem.txt", "| 0.711 |", "| 0.712 |"),
                               ("acceptance-scenario.txt", "0.0000000 s  open COM3", "0.0000001 s  open COM3")):
            path = folder / name
            text = path.read_text()
            if old not in text:
                print(f"{name} no longer holds {old!r}: the self-test needs a new example")
                return 1
            path.write_text(text.replace(old, new, 1))
            bad = check(build, folder)
            path.write_text(text)
            if bad.returncode != 1 or name not in bad.stdout or "1 of" not in bad.stdout:
                print(f"a changed {name} was not reported:\n{bad.stdout}")
                return 1
        # A transcript missing altogether is a difference too.
        (folder / "uarts.txt").unlink()
        if check(build, folder).returncode != 1:
            print("a missing transcript was not reported")
            return 1
    print("the golden check passes the recorded transcripts and reports each changed or missing one")
    return 0


if __name__ == "__main__":
    sys.exit(main())
