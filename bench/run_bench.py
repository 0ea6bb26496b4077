#!/usr/bin/env python3
"""Telvar's benchmark: poll rhythm, command and display latency, and what
Telvar costs the PC, measured under Xvfb against a board at the end of a
pseudo-terminal that answers at 9600 baud; CuteCom, started under the same
X server, is the peer for the cost figures.

    python3 bench/run_bench.py --build-dir build            # full, ~12 minutes
    python3 bench/run_bench.py --build-dir build --short --check   # CI, ~2 minutes
"""

import argparse
import json
import os
import platform
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import far_end as line  # noqa: E402
import startup as startup_bench  # noqa: E402
import xprobe  # noqa: E402
from xprobe import program, xvfb  # noqa: E402

tick = 0.200

# Pixel positions in Telvar's window (twips / 15), from its fixed layout.
open_comm_centre = (256 + 48, 8 + 12)
box_1_probe = (72 + 4, 104 + 3)  # inside box 1's frame, above its label
green, red, yellow = 0x00FF00, 0xFF0000, 0xFFFF00

# Goals, and the far looser bounds the short mode fails on in CI.
goals = {
    "poll_mean_off": 0.5, "poll_p99_dev": 5.0, "command_max": 209.0,
    "display_p99": 5.0, "cpu_percent": 0.5, "startup_ratio": 0.5, "rss_ratio": 0.5,
    "floor_startup_gap_ms": 10.0, "floor_rss_gap_mib": 6.0,
}
# The medians catch a fault that shifts every tick or click (a blocking call,
# a coarse timer, a command held for two ticks); the tails only a gross one,
# since a shared machine stalls now and then.
ci_bounds = {
    "poll_mean_off": 5.0, "poll_p50_dev": 5.0, "poll_p99_dev": 60.0, "command_p50": 160.0,
    "command_max": 320.0, "display_p50": 20.0, "display_p99": 60.0, "cpu_percent": 3.0,
    "startup_ratio": 1.0, "rss_ratio": 1.0, "soak_growth_kb": 8192,
    "floor_startup_gap_ms": 250.0, "floor_rss_gap_mib": 24.0,
}


def percentile(values, fraction):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    index = min(len(ordered) - 1, max(0, round(fraction * (len(ordered) - 1))))
    return ordered[index]


def cpu_seconds(pid):
    """CPU time of every thread of pid, from the scheduler's own accounting."""
    total = 0
    task_dir = f"/proc/{pid}/task"
    for task in os.listdir(task_dir):
        try:
            with open(f"{task_dir}/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total / 1e9


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for row in f:
            if row.startswith("VmRSS:"):
                return int(row.split()[1])
    return 0


def holds_open(pid, device):
    """Whether pid has device open (its port is open)."""
    fd_dir = f"/proc/{pid}/fd"
    try:
        for fd in os.listdir(fd_dir):
            try:
                if os.readlink(f"{fd_dir}/{fd}") == device:
                    return True
            except OSError:
                pass
    except OSError:
        pass
    return False


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


class steady_instrument:
    """Runs the far end ahead of everything else while it stamps frames, so
    that what is measured is Telvar's delay, not the bench's own. Needs root
    (or CAP_SYS_NICE); without it the figures include the bench's delays."""

    def __enter__(self):
        self.raised = False
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(20))
            self.raised = True
        except (PermissionError, AttributeError, OSError):
            pass
        return self

    def __exit__(self, *exc):
        if self.raised:
            os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))


def machine():
    model = "unknown"
    try:
        for row in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if row.startswith("Model name:"):
                model = row.split(":", 1)[1].strip()
    except OSError:
        pass
    return {"cores": os.cpu_count(), "cpu": model, "kernel": platform.release()}


class bench:
    def __init__(self, args):
        self.args = args
        self.short = args.short
        self.work = tempfile.mkdtemp(prefix="telvar-bench-")
        self.ports = os.path.join(self.work, "xdg", "telvar", "ports")
        os.makedirs(self.ports)
        self.server = xvfb()
        self.x = xprobe.display(self.server.name)
        self.env = dict(os.environ, DISPLAY=self.server.name, QT_QPA_PLATFORM="xcb",
                        XDG_CONFIG_HOME=os.path.join(self.work, "xdg"),
                        XDG_RUNTIME_DIR=self.work, HOME=self.work)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.results = {"machine": machine(), "mode": "short" if self.short else "full"}
        self.telvar = os.path.join(args.build_dir, "app", "telvar")
        self.soak = os.path.join(args.build_dir, "bench", "telvar_bench_soak")

    def log(self, text):
        print(text, file=sys.stderr, flush=True)

    def close(self):
        self.x.close()
        self.server.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    # ---- start-up and memory, Telvar and CuteCom taken turn about ----

    def measure_startups(self):
        runs = 3 if self.short else 5
        summary = startup_bench.measure(self.x, self.env, self.args.build_dir, runs, self.log)
        self.results["startup"] = summary
        for key in ("telvar", "cutecom"):
            if key in summary:
                self.results[key + "_startup_s"] = summary[key]["painted_ms"] / 1000
                self.results[key + "_rss_kb"] = summary[key]["rss_kb"]

    def measure_cutecom_cost(self):
        """CuteCom with its port open on a pseudo-terminal, no traffic."""
        if not shutil.which("cutecom"):
            self.results["cutecom_state"] = "not installed"
            return
        peer_line = line.far_end(os.path.join(self.work, "cutecom-pty"))
        startup_bench.cutecom_config(os.path.join(self.work, "xdg"), peer_line.device)
        try:
            peer = program(["cutecom"], "CuteCom", self.env, self.x)
            time.sleep(1)
            # Its Open button, top left of its window; the fd list tells whether it took.
            peer.click((50, 43))
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline and not holds_open(peer.pid, peer_line.device):
                time.sleep(0.05)
            opened = holds_open(peer.pid, peer_line.device)
            self.results["cutecom_state"] = ("port open on a pseudo-terminal, no traffic" if opened
                                             else "idle, port not open")
            span = 10 if self.short else 60
            time.sleep(1)
            cpu0, t0 = cpu_seconds(peer.pid), time.monotonic()
            time.sleep(span)
            self.results["cutecom_cpu_percent"] = (
                100 * (cpu_seconds(peer.pid) - cpu0) / (time.monotonic() - t0))
            self.results["cutecom_rss_open_kb"] = rss_kb(peer.pid)
            peer.stop()
        finally:
            peer_line.close()

    # ---- Telvar polling a board ----

    def start_polling(self):
        self.board = line.far_end(os.path.join(self.ports, "com1"))
        try:
            self.app = program([self.telvar], "Telvar", self.env, self.x)
        except RuntimeError:
            self.board.close()
            raise
        self.app.click(open_comm_centre)
        if not self.collect(1, timeout=3):
            self.stop_polling()
            raise RuntimeError("Telvar sent no frame after its port was opened")

    def collect(self, count, timeout, on_frame=None):
        """Serves the board until count frames came; returns [(time, frame, reply end)]."""
        got = []
        deadline = time.monotonic() + timeout
        while len(got) < count and time.monotonic() < deadline:
            for first_at, frame in self.board.frames(deadline - time.monotonic()):
                reply_end = self.board.answer(first_at, frame)
                got.append((first_at, frame, reply_end))
                if on_frame:
                    on_frame(first_at, frame, reply_end)
        return got

    def poll_rhythm(self, ticks, key):
        load_before = load_average()
        with steady_instrument() as instrument:
            got = self.collect(ticks + 1, timeout=ticks * tick * 1.5 + 5)
        times = [t for t, _, _ in got]
        periods = [(b - a) * 1000 for a, b in zip(times, times[1:])]
        if len(periods) < ticks:
            raise RuntimeError(f"only {len(periods)} of {ticks} poll periods arrived")
        deviations = [abs(p - 1000 * tick) for p in periods]
        self.results[key] = {
            "ticks": len(periods), "mean_ms": statistics.fmean(periods),
            "p50_dev_ms": percentile(deviations, 0.50), "p99_dev_ms": percentile(deviations, 0.99),
            "max_dev_ms": max(deviations), "load_before": load_before,
            "load_after": load_average(), "real_time_far_end": instrument.raised,
        }
        self.log(f"{key}: {self.results[key]}")

    def measure_poll(self):
        ticks = 150 if self.short else 1000
        cpu0, t0 = cpu_seconds(self.app.pid), time.monotonic()
        self.poll_rhythm(ticks, "poll_idle")
        cpu1, t1 = cpu_seconds(self.app.pid), time.monotonic()
        self.results["telvar_cpu_percent"] = 100 * (cpu1 - cpu0) / (t1 - t0)
        self.results["telvar_cpu_span_s"] = t1 - t0
        hog = subprocess.Popen([sys.executable, "-c", "while True: pass"])
        try:
            self.poll_rhythm(ticks, "poll_loaded")
        finally:
            hog.kill()
            hog.wait()

    def wait_for_colour(self, colours, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            colour = self.app.pixel(box_1_probe)
            if colour in colours:
                return colour, time.monotonic()
        return None, None

    def measure_commands(self):
        """Clicks on box 1 at random points of the tick; each click's frame
        is stamped by its first byte on the line."""
        clicks = 40 if self.short else 300
        latencies = []
        # Wait for a reply to paint box 1 green or red, so that it toggles.
        self.collect(2, timeout=2)
        for _ in range(clicks):
            colour = None
            deadline = time.monotonic() + 2
            while colour is None and time.monotonic() < deadline:
                self.collect(1, timeout=0.3)
                colour, _ = self.wait_for_colour((green, red), 0.05)
            if colour is None:
                raise RuntimeError("box 1 never showed green or red")
            wanted = line.release_relay if colour == green else line.pull_in_relay
            # A random point of the tick, serving the board meanwhile.
            self.collect(1, timeout=1)
            wait_until = time.monotonic() + random.uniform(0, tick)
            while time.monotonic() < wait_until:
                self.collect(1, timeout=wait_until - time.monotonic())
            self.app.x.move_pointer(self.app.origin[0] + box_1_probe[0],
                                    self.app.origin[1] + box_1_probe[1])
            self.app.x.press()
            clicked_at = time.monotonic()
            self.app.x.release()
            sent = None
            deadline = time.monotonic() + 3 * tick
            while sent is None and time.monotonic() < deadline:
                for first_at, frame, _ in self.collect(1, timeout=deadline - time.monotonic()):
                    if frame[2] == wanted and frame[6] == 1:
                        sent = first_at
            if sent is None:
                raise RuntimeError("a click on box 1 sent no command within three ticks")
            latencies.append((sent - clicked_at) * 1000)
            # The board's answer turns the box; wait for it before the next click.
            self.wait_for_colour((red if colour == green else green,), 1)
        self.results["command"] = {
            "clicks": len(latencies), "p50_ms": percentile(latencies, 0.5),
            "p99_ms": percentile(latencies, 0.99), "max_ms": max(latencies),
        }
        self.log(f"command: {self.results['command']}")

    def measure_display(self):
        """Every answer toggles relay 1; the box's pixel at the X server is
        watched from the moment the answer's last byte is on Telvar's side."""
        samples = 40 if self.short else 300
        latencies = []
        misses = 0
        self.board.flip_relay_1 = True
        try:
            while len(latencies) + misses < samples:
                for first_at, frame in self.board.frames(1.0):
                    reply_end = self.board.answer(first_at, frame)
                    if reply_end is None:
                        continue
                    expected = green if self.board.relays & 1 else red
                    _, seen_at = self.wait_for_colour((expected,), 0.15)
                    if seen_at is None:
                        misses += 1
                    else:
                        latencies.append((seen_at - reply_end) * 1000)
        finally:
            self.board.flip_relay_1 = False
        self.results["display"] = {
            "samples": len(latencies), "missed": misses, "p50_ms": percentile(latencies, 0.5),
            "p99_ms": percentile(latencies, 0.99), "max_ms": max(latencies, default=float("nan")),
        }
        self.log(f"display: {self.results['display']}")

    def stop_polling(self):
        self.results["telvar_rss_after_run_kb"] = rss_kb(self.app.pid)
        self.app.stop()
        self.board.close()

    # ---- an hour of polling in fast motion ----

    def measure_soak(self):
        if not os.path.exists(self.soak):
            self.results["soak"] = None
            return
        done = subprocess.run([self.soak, "18000"], env=self.env, capture_output=True, text=True,
                              timeout=600)
        if done.returncode != 0:
            raise RuntimeError(f"soak failed: {done.stderr.strip()}")
        self.results["soak"] = json.loads(done.stdout.strip().splitlines()[-1])
        self.log(f"soak: {self.results['soak']}")

    def run(self):
        self.log(f"X server {self.server.name}, work folder {self.work}")
        self.results["load_start"] = load_average()
        self.measure_startups()
        self.measure_cutecom_cost()
        self.start_polling()
        try:
            self.measure_poll()
            self.measure_commands()
            self.measure_display()
        finally:
            self.stop_polling()
        self.measure_soak()
        self.results["load_end"] = load_average()
        return self.results


def ratio(a, b):
    return a / b if a is not None and b else None


def judge(r):
    """Each figure against its goal and against the CI bound: (name, value, goal ok, bound ok)."""
    checks = []
    for key in ("poll_idle", "poll_loaded"):
        p = r[key]
        checks.append((f"{key} mean offset ms", abs(p["mean_ms"] - 200),
                       goals["poll_mean_off"], ci_bounds["poll_mean_off"]))
        checks.append((f"{key} p50 deviation ms", p["p50_dev_ms"], None,
                       ci_bounds["poll_p50_dev"]))
        checks.append((f"{key} p99 deviation ms", p["p99_dev_ms"],
                       goals["poll_p99_dev"], ci_bounds["poll_p99_dev"]))
    checks.append(("command p50 ms", r["command"]["p50_ms"], None, ci_bounds["command_p50"]))
    checks.append(("command max ms", r["command"]["max_ms"], goals["command_max"],
                   ci_bounds["command_max"]))
    checks.append(("display p50 ms", r["display"]["p50_ms"], None, ci_bounds["display_p50"]))
    checks.append(("display p99 ms", r["display"]["p99_ms"], goals["display_p99"],
                   ci_bounds["display_p99"]))
    checks.append(("cpu % of one core", r["telvar_cpu_percent"], goals["cpu_percent"],
                   ci_bounds["cpu_percent"]))
    startup = ratio(r.get("telvar_startup_s"), r.get("cutecom_startup_s"))
    rss = ratio(r.get("telvar_rss_kb"), r.get("cutecom_rss_kb"))
    if startup is not None:
        checks.append(("start-up ratio", startup, goals["startup_ratio"], ci_bounds["startup_ratio"]))
    if rss is not None:
        checks.append(("memory ratio", rss, goals["rss_ratio"], ci_bounds["rss_ratio"]))
    floor = r.get("startup", {}).get("floor")
    for key in ("telvar", "telvar-v1.1"):
        s = r.get("startup", {}).get(key)
        if floor and s:
            checks.append((f"{key} start-up beyond the bare Qt window ms",
                           s["painted_ms"] - floor["painted_ms"], goals["floor_startup_gap_ms"],
                           ci_bounds["floor_startup_gap_ms"]))
            checks.append((f"{key} memory beyond the bare Qt window MiB",
                           (s["rss_kb"] - floor["rss_kb"]) / 1024, goals["floor_rss_gap_mib"],
                           ci_bounds["floor_rss_gap_mib"]))
    if r.get("soak"):
        growth = r["soak"]["rss_end_kb"] - r["soak"]["rss_start_kb"]
        checks.append(("memory growth over an hour kB", growth, None, ci_bounds["soak_growth_kb"]))
    if r["display"]["missed"]:
        checks.append(("display changes never seen", r["display"]["missed"], 0, 0))
    return [(name, value, goal is None or value <= goal, value <= bound)
            for name, value, goal, bound in checks]


def table(r):
    def ms(v):
        return f"{v:.2f} ms"

    def met(ok):
        return "yes" if ok else "**no**"

    pi, pl, c, d = r["poll_idle"], r["poll_loaded"], r["command"], r["display"]
    rows = [
        ("Poll period, no added load", f"{pi['ticks']} ticks: mean {pi['mean_ms']:.3f} ms; "
         f"deviation p50 {ms(pi['p50_dev_ms'])}, p99 {ms(pi['p99_dev_ms'])}, max {ms(pi['max_dev_ms'])}",
         "mean 200 ± 0.5 ms, p99 < 5 ms",
         met(abs(pi["mean_ms"] - 200) <= 0.5 and pi["p99_dev_ms"] < 5)),
        ("Poll period, other core busy", f"{pl['ticks']} ticks: mean {pl['mean_ms']:.3f} ms; "
         f"deviation p50 {ms(pl['p50_dev_ms'])}, p99 {ms(pl['p99_dev_ms'])}, max {ms(pl['max_dev_ms'])}",
         "mean 200 ± 0.5 ms, p99 < 5 ms",
         met(abs(pl["mean_ms"] - 200) <= 0.5 and pl["p99_dev_ms"] < 5)),
        ("Command latency (click → first byte)", f"{c['clicks']} clicks: p50 {ms(c['p50_ms'])}, "
         f"p99 {ms(c['p99_ms'])}, max {ms(c['max_ms'])}", "never > 209 ms",
         met(c["max_ms"] <= 209)),
        ("Display latency (last byte → pixel)", f"{d['samples']} replies: p50 {ms(d['p50_ms'])}, "
         f"p99 {ms(d['p99_ms'])}, max {ms(d['max_ms'])}"
         + (f", {d['missed']} never seen" if d["missed"] else ""), "p99 < 5 ms",
         met(d["p99_ms"] < 5 and not d["missed"])),
        ("CPU while polling, port open", f"{r['telvar_cpu_percent']:.3f} % of one core "
         f"(over {r['telvar_cpu_span_s']:.0f} s)"
         + (f"; CuteCom, {r['cutecom_state']}: {r['cutecom_cpu_percent']:.3f} %"
            if "cutecom_cpu_percent" in r else ""), "< 0.5 %", met(r["telvar_cpu_percent"] < 0.5)),
    ]
    startup = ratio(r.get("telvar_startup_s"), r.get("cutecom_startup_s"))
    rss = ratio(r.get("telvar_rss_kb"), r.get("cutecom_rss_kb"))
    floor = r.get("startup", {}).get("floor")
    v11 = r.get("startup", {}).get("telvar-v1.1")
    startup_gap = floor and r["telvar_startup_s"] * 1000 - floor["painted_ms"]
    rss_gap = floor and (r["telvar_rss_kb"] - floor["rss_kb"]) / 1024
    rows.append(("Start-up to first paint", f"{r['telvar_startup_s'] * 1000:.0f} ms"
                 + (f" (V1.1 {v11['painted_ms']:.0f} ms)" if v11 else "")
                 + (f"; bare Qt window {floor['painted_ms']:.0f} ms ({startup_gap:+.0f} ms)"
                    if floor else "")
                 + (f"; CuteCom {r['cutecom_startup_s'] * 1000:.0f} ms, ratio {startup:.2f}"
                    if startup is not None else ""), "≤ bare window + 10 ms, ≤ 0.5 × CuteCom",
                 met(startup is not None and startup <= 0.5 and floor is not None
                     and startup_gap <= goals["floor_startup_gap_ms"])))
    rows.append(("Resident memory after start", f"{r['telvar_rss_kb'] / 1024:.1f} MiB"
                 + (f"; bare Qt window {floor['rss_kb'] / 1024:.1f} MiB ({rss_gap:+.1f} MiB)"
                    if floor else "")
                 + (f"; CuteCom {r['cutecom_rss_kb'] / 1024:.1f} MiB, ratio {rss:.2f}"
                    if rss is not None else "")
                 + f"; {r['telvar_rss_after_run_kb'] / 1024:.1f} MiB after the run's polling",
                 "≤ bare window + 6 MiB, ≤ 0.5 × CuteCom",
                 met(rss is not None and rss <= 0.5 and floor is not None
                     and rss_gap <= goals["floor_rss_gap_mib"])))
    if r.get("soak"):
        s = r["soak"]
        rows.append(("Resident memory, an hour of polling", f"{s['rss_start_kb'] / 1024:.1f} MiB "
                     f"→ {s['rss_end_kb'] / 1024:.1f} MiB after {s['ticks']} ticks "
                     f"({s['rss_end_kb'] - s['rss_start_kb']:+d} kB)", "no growth",
                     met(s["rss_end_kb"] - s["rss_start_kb"] <= 1024)))
    if "cutecom_cpu_percent" in r:
        rows.append(("CuteCom CPU, " + r["cutecom_state"],
                     f"{r['cutecom_cpu_percent']:.3f} % of one core; "
                     f"{r['cutecom_rss_open_kb'] / 1024:.1f} MiB resident", "peer", ""))
    else:
        rows.append(("CuteCom", r.get("cutecom_state", "not measured"), "peer", ""))
    m = r["machine"]
    lines = [f"Machine: {m['cpu']}, {m['cores']} cores, Linux {m['kernel']}; {r['mode']} run; "
             f"load average {r['load_start']:.1f} at the start, {r['load_end']:.1f} at the end.", "",
             "| Figure | Measured | Goal | Met |", "|---|---|---|---|"]
    lines += [f"| {a} | {b} | {c_} | {d_} |" for a, b, c_, d_ in rows]
    if r.get("startup"):
        lines += ["", "Start-up, medians of the starts taken in turns:", "",
                  startup_bench.table(r["startup"]), "", startup_bench.phase_table(r["startup"])]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build", help="Telvar's CMake build folder")
    parser.add_argument("--short", action="store_true", help="the quick run for CI")
    parser.add_argument("--check", action="store_true",
                        help="exit 1 when a figure is far outside its goal")
    parser.add_argument("--json", help="also write every figure to this file")
    args = parser.parse_args()
    args.build_dir = os.path.abspath(args.build_dir)
    for tool in ("Xvfb",):
        if not shutil.which(tool):
            sys.exit(f"run_bench: {tool} is missing (bash scripts/install-deps.sh installs it)")

    run = bench(args)
    try:
        results = run.run()
    finally:
        run.close()
    print(table(results))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    verdicts = judge(results)
    failed = [(name, value, ) for name, value, _, bound_ok in verdicts if not bound_ok]
    for name, value in failed:
        print(f"FAR OUTSIDE GOAL: {name} = {value:.3f}", file=sys.stderr)
    if args.check and failed:
        sys.exit(1)


if __name__ == "__main__":
    main()
