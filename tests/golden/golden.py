#!/usr/bin/env python3
"""Golden transcripts: what the machine shows of the examples, the main jobs and the benchmarks' counts,
recorded once and compared byte for byte afterwards, so that a change that makes the machine faster can be
shown to change nothing a driver, the wire or a transcript can observe.

    golden.py check BUILD_DIR      compare (exit 1 and a diff on the first difference)
    golden.py record BUILD_DIR     write the files anew (after a change that is meant to show)

The host's times (the benchmarks' CPU columns, the main job's "s of host time") are the only thing left
out: they measure the host, not the machine.
"""
import difflib
import os
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
# Where the recorded transcripts are (another folder only for the checker's own test).
HERE = pathlib.Path(os.environ.get("CV_GOLDEN_DIR", pathlib.Path(__file__).resolve().parent))
EX = "examples/"

# name -> (program relative to the build directory, arguments)
RUNS = {
    "main-job": ("sim/cvsim", []),
    "main-job-w2k": ("sim/cvsim", ["--windows-2000"]),
    "main-job-registry-example": ("sim/cvsim", ["--machine", EX + "registry-example.machine", "--registry",
                                                EX + "registry-example.reg"]),
    "main-job-memory-window": ("sim/cvsim", ["--machine", EX + "memory-window.machine"]),
    "uarts": ("sim/cvsim", ["uarts", "--json"]),
    "default-scenario": ("sim/cvsim", ["--scenario", EX + "default.scenario", "--json"]),
    "acceptance-scenario": ("sim/cvsim", ["--scenario", EX + "acceptance.scenario"]),
    "peer-scenario": ("sim/cvsim", ["--scenario", EX + "peer.scenario"]),
    "cvpci-scenario": ("sim/cvsim", ["--scenario", EX + "cvpci.scenario"]),
    "w2k-scenario": ("sim/cvsim", ["--windows-2000", "--scenario", EX + "w2k.scenario"]),
    "cvcard-scenario": ("sim/cvsim", ["--machine", EX + "w2k.machine", "--registry", EX + "w2k.reg",
                                      "--scenario", EX + "cvcard.scenario"]),
    "cvclean-scenario": ("sim/cvsim", ["--machine", EX + "cvclean.machine", "--registry", EX + "cvclean.reg",
                                       "--scenario", EX + "cvclean.scenario"]),
    "bench-nullmodem": ("bench/cvbench_nullmodem", ["--pairs", "1", "--pairs", "8", "--kib", "64"]),
    "bench-nullmodem-w2k": ("bench/cvbench_nullmodem_w2k", ["--pairs", "1", "--pairs", "4", "--kib", "64"]),
}

HOST_COLUMNS = ("host CPU s", "simulated s per CPU s")


def without_host_columns(text):
    """Drops the columns of a Markdown table that measure the host."""
    out, drop = [], set()
    for line in text.splitlines():
        if line.startswith("|"):
            cells = line.strip().strip("|").split("|")
            if any(c.strip() in HOST_COLUMNS for c in cells):
                drop = {i for i, c in enumerate(cells) if c.strip() in HOST_COLUMNS}
            line = "|" + "|".join(c for i, c in enumerate(cells) if i not in drop) + "|"
        out.append(line)
    return "\n".join(out) + "\n"


def transcript(build, name):
    program, args = RUNS[name]
    done = subprocess.run([str(build / program)] + args, cwd=ROOT, capture_output=True, text=True, timeout=600)
    text = f"exit {done.returncode}\n{done.stdout}"
    if done.stderr:
        text += "--- standard error\n" + done.stderr
    text = re.sub(r"[0-9.]+ s of host time", "(host time)", text)
    return without_host_columns(text) if program.startswith("bench/") else text


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("check", "record"):
        print(__doc__, file=sys.stderr)
        return 2
    build = pathlib.Path(sys.argv[2]).resolve()
    differ = 0
    for name in RUNS:
        got = transcript(build, name)
        path = HERE / (name + ".txt")
        if sys.argv[1] == "record":
            path.write_text(got)
            continue
        want = path.read_text() if path.exists() else ""
        if got != want:
            differ += 1
            diff = difflib.unified_diff(want.splitlines(), got.splitlines(), str(path), "now", lineterm="", n=2)
            print("\n".join(list(diff)[:40]))
    if differ:
        print(f"{differ} of {len(RUNS)} transcripts differ from the recorded ones")
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
