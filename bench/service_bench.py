#!/usr/bin/env python3
"""telvard's benchmark, in one run: `telvarctl status` and `telvarctl on 5`
through the service beside the same commands straight to a port; how long a
board's reply takes to reach 10 clients subscribed on the local socket; and
the service's resident memory and CPU while it polls 2 lines of 8 boards
with MQTT on and the 10 clients subscribed.

Line a is this script's own far end (far_end.py): it stamps the moment the
last byte of every reply is written, with the clock the clients read, and
while the fan-out is measured relay 1 flips once a round, so that each poll
is a change sent to every subscriber. Line b and the direct port are telvar-sim
--pace. Every reply crosses its line at 9600 baud.

    python3 bench/service_bench.py --build-dir build [--runs 30] [--no-web] [--json out.json]
"""

import argparse
import json
import os
import select
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import far_end  # noqa: E402
import mqtt_bench  # noqa: E402
import run_bench  # noqa: E402
from bench_telvarctl import run_telvarctl  # noqa: E402
from run_bench import cpu_seconds, percentile, rss_kb  # noqa: E402

goals = {"added_p50_ms": 3.0, "fan_out_p99_ms": 5.0, "rss_mib": 20.0, "cpu_percent": 0.5}
boards = 8
subscribers = 10


class far_line(threading.Thread):
    """far_end answering every address, in a thread; keeps when each reply ended."""

    def __init__(self, link_path):
        super().__init__(daemon=True)
        self.board = far_end.far_end(link_path)
        self.replies = []  # monotonic time of each reply's last byte
        self.stopping = False
        # Relay 1 flips once a round (at board 1's poll), so that every
        # board's next reply differs from its last: each poll is a change.
        self.flip = False

    def run(self):
        while not self.stopping:
            for first_at, frame in self.board.frames(0.05):
                if self.flip and frame[1] == 1:
                    self.board.relays ^= 1
                ended = self.board.answer(first_at, frame)
                if ended is not None:
                    self.replies.append(ended)

    def stop(self):
        self.stopping = True
        self.join(timeout=5)
        self.board.close()


class subscriber:
    """A socket client subscribed to line a; the receipt time of every change."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.sock.sendall(b'{"id":1,"request":"subscribe","line":"a"}\n')
        self.pending = b""
        self.changes = []

    def take(self):
        now = time.monotonic()
        data = self.sock.recv(65536)
        if not data:
            raise RuntimeError("telvard closed a subscriber")
        self.pending += data
        while b"\n" in self.pending:
            line, self.pending = self.pending.split(b"\n", 1)
            message = json.loads(line)
            if message.get("event") == "change":
                self.changes.append(now)


def fan_out(clients, line_a, seconds):
    """Receipt minus the end of the latest reply before it, for every change at every client."""
    for c in clients:
        c.changes.clear()
    line_a.flip = True
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready, _, _ = select.select([c.sock for c in clients], [], [], 0.1)
        for c in clients:
            if c.sock in ready:
                c.take()
    line_a.flip = False
    replies = list(line_a.replies)
    latencies = []
    for c in clients:
        for received in c.changes:
            before = [r for r in replies if r <= received]
            if before:
                latencies.append((received - before[-1]) * 1000)
    return latencies


def wait_socket(path, process, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"telvard ended with status {process.returncode}")
        try:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.connect(path)
            s.close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("telvard's socket did not answer")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--seconds", type=float, default=20.0,
                        help="how long the fan-out and the quiet phase each last")
    parser.add_argument("--json", help="write the figures here too")
    parser.add_argument("--no-web", action="store_true",
                        help="the service's web page off, to see what it costs")
    args = parser.parse_args()

    build = os.path.abspath(args.build_dir)
    programs = {name: os.path.join(build, *path) for name, path in {
        "telvard": ("telvard", "telvard"), "telvarctl": ("telvarctl", "telvarctl"),
        "sim": ("sim", "telvar-sim")}.items()}
    for path in programs.values():
        if not os.access(path, os.X_OK):
            sys.exit(f"service_bench: {path} is not built")

    work = tempfile.mkdtemp(prefix="telvard-bench-")
    before = dict(run_bench.machine(), load=run_bench.load_average())
    started = []
    line_a = None
    try:
        broker = mqtt_bench.broker(work)
        line_a = far_line(os.path.join(work, "line-a"))
        line_a.start()
        sims = []
        for _ in range(2):  # line b, and the port telvarctl opens itself
            sim = subprocess.Popen([programs["sim"], "--pace"]
                                   + sum((["--board", str(a)] for a in range(1, boards + 1)), []),
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                   stdin=subprocess.DEVNULL, text=True)
            started.append(sim)
            sims.append(sim.stdout.readline().strip())
        line_b, direct = sims
        sock = os.path.join(work, "telvard.sock")
        listed = ",".join(str(a) for a in range(1, boards + 1))
        conf = os.path.join(work, "telvard.conf")
        with open(conf, "w") as f:
            f.write(f"[line a]\nport = {line_a.board.device}\nboards = {listed}\n"
                    f"[line b]\nport = {line_b}\nboards = {listed}\n"
                    f"[local]\nsocket = {sock}\n"
                    f"[mqtt]\nbroker = 127.0.0.1:{broker.port}\nid = bench\n"
                    + ("[web]\nenabled = false\n" if args.no_web else ""))
        service = subprocess.Popen([programs["telvard"], "--config", conf],
                                   stdout=subprocess.DEVNULL,
                                   stderr=open(os.path.join(work, "telvard.log"), "w"),
                                   env=dict(os.environ, XDG_CONFIG_HOME=work))
        started.append(service)
        wait_socket(sock, service)
        clients = [subscriber(sock) for _ in range(subscribers)]
        time.sleep(2)  # every board polled and online

        # Quiet: polling 16 boards, MQTT on, 10 subscribers, nothing asked.
        cpu0, t0 = cpu_seconds(service.pid), time.monotonic()
        peak = 0
        while time.monotonic() - t0 < args.seconds:
            time.sleep(1)
            peak = max(peak, rss_kb(service.pid))
            for c in clients:  # keep reading, as a live client would
                c.sock.setblocking(False)
                try:
                    while True:
                        if not c.sock.recv(65536):
                            break
                except BlockingIOError:
                    pass
                c.sock.setblocking(True)
        cpu_percent = 100 * (cpu_seconds(service.pid) - cpu0) / (time.monotonic() - t0)

        latencies = fan_out(clients, line_a, args.seconds)

        # telvarctl: the same commands straight to a port and through the service, in turns.
        cases = {
            "status": (["-p", direct, "status"], ["--service", sock, "-p", "b", "status"]),
            "on 5": (["-p", direct, "on", "5"], ["--service", sock, "-p", "b", "on", "5"]),
        }
        times = {name: {"direct": [], "service": []} for name in cases}
        for _ in range(3):  # warm-up, uncounted
            for straight, through in cases.values():
                run_telvarctl(programs["telvarctl"], straight)
                run_telvarctl(programs["telvarctl"], through)
        for _ in range(args.runs):
            for name, (straight, through) in cases.items():
                for road, arguments in (("direct", straight), ("service", through)):
                    elapsed, status = run_telvarctl(programs["telvarctl"], arguments)
                    if status != 0:
                        sys.exit(f"service_bench: telvarctl {' '.join(arguments)} ended {status}")
                    times[name][road].append(elapsed)
    finally:
        for p in reversed(started):
            p.terminate()
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
        if line_a:
            line_a.stop()
        try:
            broker.stop()
        except NameError:
            pass

    results = {"machine": before, "load_after": run_bench.load_average(), "runs": args.runs,
               "cases": {}}
    print(f"telvarctl straight to a port and through telvard, {args.runs} runs each, in turns")
    print(f"{'':8} {'direct p50':>11} {'p99':>8} {'service p50':>12} {'p99':>8} {'added p50':>10}")
    for name in cases:
        d, s = times[name]["direct"], times[name]["service"]
        figures = {"direct_p50_ms": statistics.median(d), "direct_p99_ms": percentile(d, 0.99),
                   "service_p50_ms": statistics.median(s), "service_p99_ms": percentile(s, 0.99)}
        figures["added_p50_ms"] = figures["service_p50_ms"] - figures["direct_p50_ms"]
        results["cases"][name] = figures
        print(f"{name:8} {figures['direct_p50_ms']:8.2f} ms {figures['direct_p99_ms']:5.2f} ms"
              f" {figures['service_p50_ms']:9.2f} ms {figures['service_p99_ms']:5.2f} ms"
              f" {figures['added_p50_ms']:7.2f} ms")
    results["fan_out"] = {"events": len(latencies), "clients": subscribers,
                          "p50_ms": statistics.median(latencies) if latencies else None,
                          "p99_ms": percentile(latencies, 0.99) if latencies else None}
    fo = results["fan_out"]
    if latencies:
        print(f"a reply's change to {subscribers} subscribers: {fo['events']} events, "
              f"p50 {fo['p50_ms']:.2f} ms, p99 {fo['p99_ms']:.2f} ms from the reply's last byte")
    else:
        print("no change reached the subscribers")
    results["rss_mib"] = peak / 1024
    results["cpu_percent"] = cpu_percent
    print(f"telvard, 2 lines x {boards} boards polled, MQTT on, {subscribers} subscribers: "
          f"{results['rss_mib']:.1f} MiB resident, {cpu_percent:.2f} % of one core")
    met = {
        "added_p50": all(c["added_p50_ms"] < goals["added_p50_ms"]
                         for c in results["cases"].values()),
        "fan_out_p99": bool(latencies) and fo["p99_ms"] < goals["fan_out_p99_ms"],
        "rss": results["rss_mib"] < goals["rss_mib"],
        "cpu": cpu_percent < goals["cpu_percent"],
    }
    results["goals"], results["met"] = goals, met
    print(f"goals: added p50 < {goals['added_p50_ms']} ms: {met['added_p50']}; fan-out p99 < "
          f"{goals['fan_out_p99_ms']} ms: {met['fan_out_p99']}; memory < {goals['rss_mib']} MiB: "
          f"{met['rss']}; CPU < {goals['cpu_percent']} %: {met['cpu']}")
    print(f"machine: {before['cores']} cores, {before['cpu']}, Linux {before['kernel']}, "
          f"load {before['load']} -> {results['load_after']}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)
    sys.exit(0 if latencies and all(len(t["service"]) == args.runs for t in times.values()) else 1)


if __name__ == "__main__":
    main()
