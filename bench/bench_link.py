#!/usr/bin/env python3
"""The link's poll rhythm while commands wait: the time between two polls of
the same board, with 8 boards polled every 200 ms on a line that
telvar-sim --pace runs at 9600 baud, first idle, then while rounds of 100
commands go through the queue (60 waiting at a time), then while commands go
to a board that ignores switch frames and so are resent and asked after,
all in one run. The bound the link keeps is boards x interval + 200 ms.

    python3 bench/bench_link.py --build-dir build [--seconds 60] [--json out.json]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import run_bench  # noqa: E402
from run_bench import percentile  # noqa: E402

phase_words = {
    "idle": "idle, polls only",
    "commands": "rounds of 100 commands, 60 waiting",
    "retried": "commands to a board that ignores switches",
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--seconds", type=int, default=60, help="length of each phase")
    parser.add_argument("--json", help="write the figures here too")
    args = parser.parse_args()

    driver = os.path.abspath(os.path.join(args.build_dir, "bench", "telvar_bench_link"))
    sim_program = os.path.abspath(os.path.join(args.build_dir, "sim", "telvar-sim"))
    for path in (driver, sim_program):
        if not os.access(path, os.X_OK):
            sys.exit(f"bench_link: {path} is not built")

    before = dict(run_bench.machine(), load=run_bench.load_average())
    boards = [arg for a in range(1, 8) for arg in ("--board", str(a))]
    sim = subprocess.Popen([sim_program, "--control", "--pace"] + boards +
                           ["--board", "8,ignore-switch"],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    # The boards are devices of their own: as root their replies wait for nothing else.
    try:
        os.sched_setscheduler(sim.pid, os.SCHED_FIFO, os.sched_param(20))
        board_priority = "real-time"
    except (PermissionError, OSError):
        board_priority = "normal"
    try:
        device = sim.stdout.readline().strip()
        run = subprocess.run([driver, device, str(args.seconds)], capture_output=True, text=True,
                             timeout=6 * args.seconds + 120)
        if run.returncode != 0:
            sys.exit(f"bench_link: the driver ended {run.returncode}: {run.stderr.strip()}")
        raw = json.loads(run.stdout)
    finally:
        sim.stdin.close()
        sim.wait(timeout=10)

    bound = raw["boards"] * raw["interval_ms"] + 200
    results = {"machine": before, "load_after": run_bench.load_average(),
               "board_priority": board_priority, "seconds": args.seconds,
               "boards": raw["boards"], "interval_ms": raw["interval_ms"], "bound_ms": bound,
               "phases": {}}
    print(f"8 boards polled every {raw['interval_ms']} ms on telvar-sim --pace "
          f"({board_priority} priority), {args.seconds} s a phase; bound {bound} ms")
    print(f"{'':44} {'polls':>6} {'min':>9} {'mean':>9} {'p50':>9} {'p99':>9} {'max':>9} "
          f"{'commands':>9}")
    for name in ("idle", "commands", "retried"):
        phase = raw["phases"][name]
        periods = phase["periods_ms"]
        figures = {
            "polls": len(periods),
            "min_ms": min(periods),
            "mean_ms": statistics.mean(periods),
            "p50_ms": statistics.median(periods),
            "p99_ms": percentile(periods, 0.99),
            "max_ms": max(periods),
            "over_bound": sum(1 for p in periods if p > bound),
            "commands": phase["commands"],
            "outcomes": phase["outcomes"],
        }
        results["phases"][name] = figures
        print(f"{phase_words[name]:44} {figures['polls']:6} {figures['min_ms']:6.1f} ms"
              f" {figures['mean_ms']:6.1f} ms {figures['p50_ms']:6.1f} ms"
              f" {figures['p99_ms']:6.1f} ms {figures['max_ms']:6.1f} ms {figures['commands']:9}")
    for name in ("commands", "retried"):
        ended = ", ".join(f"{k} {v}" for k, v in sorted(results["phases"][name]["outcomes"].items()))
        print(f"  {phase_words[name]}: {ended}")
    over = {name: results["phases"][name]["over_bound"] for name in results["phases"]}
    print(f"periods over the bound: {over}")
    print(f"machine: {before['cores']} cores, {before['cpu']}, Linux {before['kernel']}, "
          f"load {before['load']} -> {results['load_after']}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
