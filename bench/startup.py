#!/usr/bin/env python3
"""Start-up of the window programs beside their floor, under one X server:
telvar, telvar-v1.1, a bare Qt window (bench/bare_window.cpp, the least a Qt
Widgets program does to show a window), the same with one Chinese label (what
any window with such a text pays) and CuteCom when installed, started in turns. For each start: the time from starting the process to its window
being mapped and to its first paint, and resident memory 2 s later; Telvar's
own marks (QT_LOGGING_RULES="telvar.startup.debug=true") split its start-up
into phases. Medians of five starts after an uncounted warm-up.

    python3 bench/startup.py --build-dir build [--runs 5] [--json startup.json]
    python3 bench/startup.py --build-dir build --before ../old/build   # a change, before and after

run_bench.py takes the same figures as part of its full run.
"""

import argparse
import json
import os
import re
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import xprobe  # noqa: E402

# Telvar's marks, in the order it logs them; "exec" is the time from starting
# the process to main, measured against the bench's own clock.
phases = ["exec", "application", "fonts", "icon", "form", "shown", "exposed", "painted"]
phase_words = {
    "exec": "process start to main (loader, libraries)",
    "application": "QApplication: display connection, platform plugin",
    "fonts": "substitutes for the Song face",
    "icon": "the program's icon read (a phase of its own in older builds)",
    "form": "building the window: font configuration and faces loaded, icon read, "
            "texts laid out",
    "shown": "show(): style, native window, map request",
    "exposed": "until the server exposes the window",
    "painted": "first paint and flush",
}


def memory_kb(pid):
    """Resident memory of pid: all of it, private (anonymous) and mapped files."""
    wanted = {"VmRSS": "rss", "RssAnon": "private", "RssFile": "files"}
    found = {}
    with open(f"/proc/{pid}/status") as f:
        for row in f:
            key = row.split(":")[0]
            if key in wanted:
                found[wanted[key]] = int(row.split()[1])
    return found


def parse_marks(text, launched):
    """Telvar's phases from its telvar.startup lines: {phase: ms} of time
    passed and {phase: ms} of processor time (which hardly changes with what
    else the machine runs); launched is the bench's monotonic time (s) just
    before it started the process. Python's monotonic clock and the
    program's steady clock are both CLOCK_MONOTONIC."""
    passed, processor = {}, {}
    clock = re.search(r"main: ([\d.]+) ms before main; steady clock ([\d.]+) ms", text)
    if clock:
        passed["exec"] = float(clock.group(2)) - launched * 1000
        processor["exec"] = float(clock.group(1))
    for name, step, used in re.findall(
            r"(\w+): [\d.]+ ms since main \(\+([\d.]+)\)(?:, processor \+([\d.]+))?", text):
        passed[name] = float(step)
        if used:
            processor[name] = float(used)
    return passed, processor


def cutecom_config(config_home, device):
    """CuteCom's settings for one session on device (none: "") at 9600 8N1,
    so that it opens no dialog of its own."""
    folder = os.path.join(config_home, "CuteCom")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "CuteCom5.conf"), "w") as f:
        f.write("[sessions]\n1\\BaudRate=9600\n1\\DataBits=8\n"
                f"1\\Device={device}\n1\\FlowControl=0\n1\\OpenMode=3\n1\\Parity=0\n"
                "1\\StopBits=1\n1\\autoReconnect=false\n1\\name=Default\nsize=1\n")


def programs(build_dir, before_dir=None):
    """(key, argv, a part of the window's title, whether it logs marks)."""
    found = []
    if before_dir:
        found += [(key + " before", [os.path.join(before_dir, "app", key)], "Telvar", True)
                  for key in ("telvar", "telvar-v1.1")]
    found += [
        ("telvar", [os.path.join(build_dir, "app", "telvar")], "Telvar", True),
        ("telvar-v1.1", [os.path.join(build_dir, "app", "telvar-v1.1")], "Telvar", True),
        ("floor", [os.path.join(build_dir, "bench", "telvar_bare_window")], "Bare Qt window",
         False),
        ("floor with a label", [os.path.join(build_dir, "bench", "telvar_bare_window"), "--label"],
         "Bare Qt window", False),
    ]
    if shutil.which("cutecom"):
        found.append(("cutecom", ["cutecom"], "CuteCom", False))
    return [p for p in found if os.path.exists(p[1][0]) or p[0] == "cutecom"]


def measure(x, env, build_dir, runs, log=None, before_dir=None):
    """Starts each program runs + 1 times in turns; returns the medians and
    every value: {key: {"painted_ms", "mapped_ms", "rss_kb", "private_kb",
    "files_kb", "phases_ms": {phase: ms}, "all": {...}}}."""
    env = dict(env, QT_LOGGING_RULES="telvar.startup.debug=true")
    taken = {}
    chosen = programs(build_dir, before_dir)
    if any(key == "cutecom" for key, *_ in chosen):
        cutecom_config(env["XDG_CONFIG_HOME"], "")
    # The first start of each fills caches (fonts, libraries); it is not counted.
    for run in range(runs + 1):
        for key, argv, title, marks in chosen:
            started = xprobe.program(argv, title, env, x, keep_stderr=marks)
            time.sleep(2)
            memory = memory_kb(started.pid)
            started.stop()
            if run == 0:
                continue
            values = taken.setdefault(key, {"painted_ms": [], "mapped_ms": [], "rss_kb": [],
                                            "private_kb": [], "files_kb": [], "phases_ms": {},
                                            "processor_ms": {}})
            values["painted_ms"].append(started.startup * 1000)
            values["mapped_ms"].append(started.mapped * 1000)
            values["rss_kb"].append(memory.get("rss", 0))
            values["private_kb"].append(memory.get("private", 0))
            values["files_kb"].append(memory.get("files", 0))
            passed, processor = parse_marks(started.stderr, started.started)
            for name, ms in passed.items():
                values["phases_ms"].setdefault(name, []).append(ms)
            for name, ms in processor.items():
                values["processor_ms"].setdefault(name, []).append(ms)
    if log:
        log(f"start-up: {json.dumps(taken)}")
    summary = {}
    for key, values in taken.items():
        summary[key] = {name: statistics.median(v) for name, v in values.items()
                        if not isinstance(v, dict)}
        for per_phase in ("phases_ms", "processor_ms"):
            summary[key][per_phase] = {name: statistics.median(v)
                                       for name, v in values[per_phase].items()}
        summary[key]["all"] = values
    return summary


names = {"telvar before": "telvar, before", "telvar-v1.1 before": "telvar-v1.1, before",
         "telvar": "telvar", "telvar-v1.1": "telvar-v1.1", "floor": "bare Qt window (floor)",
         "floor with a label": "bare Qt window with one Chinese label", "cutecom": "CuteCom"}


def table(summary):
    """The figures of each program as a Markdown table, Telvar's beside the floor."""
    floor = summary.get("floor")
    lines = ["| Program | Mapped | First paint | Resident 2 s after (private + files) |",
             "|---|---|---|---|"]
    for key in names:
        s = summary.get(key)
        if not s:
            continue
        time_gap = memory_gap = ""
        if floor and key.startswith("telvar"):
            time_gap = f" ({s['painted_ms'] - floor['painted_ms']:+.0f} ms)"
            memory_gap = f" ({(s['rss_kb'] - floor['rss_kb']) / 1024:+.1f} MiB)"
        lines.append(f"| {names[key]} | {s['mapped_ms']:.0f} ms | {s['painted_ms']:.0f} ms"
                     f"{time_gap} | {s['rss_kb'] / 1024:.1f} MiB{memory_gap} "
                     f"({s['private_kb'] / 1024:.1f} + {s['files_kb'] / 1024:.1f}) |")
    return "\n".join(lines)


def phase_table(summary):
    """Telvar's phases, median ms of each passed (and of processor time, where
    the build logs it), both builds side by side."""
    builds = [k for k in ("telvar before", "telvar", "telvar-v1.1 before", "telvar-v1.1")
              if summary.get(k, {}).get("phases_ms")]
    lines = ["| Phase: time passed (processor time) | " + " | ".join(names[k] for k in builds) + " |",
             "|---|" + "---|" * len(builds)]
    for name in phases:
        cells = [(summary[k]["phases_ms"].get(name), summary[k]["processor_ms"].get(name))
                 for k in builds]
        if all(c is None for c, _ in cells):
            continue
        lines.append(f"| {name}: {phase_words[name]} | " + " | ".join(
            "—" if c is None else f"{c:.1f} ms" + ("" if p is None else f" ({p:.1f})")
            for c, p in cells) + " |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build", help="Telvar's CMake build folder")
    parser.add_argument("--runs", type=int, default=5, help="counted starts of each program")
    parser.add_argument("--before", help="another build folder whose two window programs are "
                        "started in the same turns, as the state before a change")
    parser.add_argument("--json", help="also write every figure to this file")
    args = parser.parse_args()
    if not shutil.which("Xvfb"):
        sys.exit("startup: Xvfb is missing (bash scripts/install-deps.sh installs it)")
    work = tempfile.mkdtemp(prefix="telvar-startup-")
    server = xprobe.xvfb()
    x = xprobe.display(server.name)
    env = dict(os.environ, DISPLAY=server.name, QT_QPA_PLATFORM="xcb",
               XDG_CONFIG_HOME=os.path.join(work, "xdg"), XDG_RUNTIME_DIR=work, HOME=work)
    env.pop("WAYLAND_DISPLAY", None)
    try:
        with open("/proc/loadavg") as f:
            load_start = float(f.read().split()[0])
        summary = measure(x, env, os.path.abspath(args.build_dir), args.runs,
                          lambda text: print(text, file=sys.stderr, flush=True),
                          args.before and os.path.abspath(args.before))
        with open("/proc/loadavg") as f:
            load_end = float(f.read().split()[0])
    finally:
        x.close()
        server.stop()
        shutil.rmtree(work, ignore_errors=True)
    print(f"{os.cpu_count()} cores; load average {load_start:.1f} at the start, "
          f"{load_end:.1f} at the end; medians of {args.runs} starts in turns.\n")
    print(table(summary))
    print()
    print(phase_table(summary))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"load": [load_start, load_end], "startup": summary}, f, indent=1)


if __name__ == "__main__":
    main()
