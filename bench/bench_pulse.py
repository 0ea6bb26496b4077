#!/usr/bin/env python3
"""Pulses and interlocks on the link, in one run: how late a pulse's release
is confirmed against its deadline (the confirmed pull-in plus its length),
p50/p99 over 50 pulses, and the time from a command to the new relay
confirmed when an interlocked pair changes over, beside a plain on; board 1
polled every 200 ms on a line that telvar-sim --pace runs at 9600 baud.

    python3 bench/bench_pulse.py --build-dir build [--pulses 50] [--ms 300] [--json out.json]
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


def figures(values):
    return {"count": len(values), "min_ms": min(values), "p50_ms": statistics.median(values),
            "p99_ms": percentile(values, 0.99), "max_ms": max(values)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--pulses", type=int, default=50)
    parser.add_argument("--ms", type=int, default=300, help="length of each pulse")
    parser.add_argument("--json", help="write the figures here too")
    args = parser.parse_args()

    driver = os.path.abspath(os.path.join(args.build_dir, "bench", "telvar_bench_pulse"))
    sim_program = os.path.abspath(os.path.join(args.build_dir, "sim", "telvar-sim"))
    for path in (driver, sim_program):
        if not os.access(path, os.X_OK):
            sys.exit(f"bench_pulse: {path} is not built")

    before = dict(run_bench.machine(), load=run_bench.load_average())
    sim = subprocess.Popen([sim_program, "--control", "--pace", "--board", "1,relays=0000"],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        device = sim.stdout.readline().strip()
        run = subprocess.run([driver, device, str(args.pulses), str(args.ms)],
                             capture_output=True, text=True,
                             timeout=args.pulses * (2 * args.ms + 3000) // 1000 + 60)
        if run.returncode != 0:
            sys.exit(f"bench_pulse: the driver ended {run.returncode}: {run.stderr.strip()}")
        raw = json.loads(run.stdout)
    finally:
        sim.stdin.close()
        sim.wait(timeout=10)

    results = {"machine": before, "load_after": run_bench.load_average(),
               "pulse_ms": raw["pulse_ms"], "interval_ms": raw["interval_ms"],
               "gap_ms": raw["gap_ms"], "failures": raw["failures"],
               "release_late": figures(raw["late_ms"]),
               "changeover": figures(raw["changeover_ms"]),
               "plain_on": figures(raw["plain_on_ms"])}
    print(f"board 1 polled every {raw['interval_ms']} ms on telvar-sim --pace; "
          f"pulses of {raw['pulse_ms']} ms; interlock gap {raw['gap_ms']} ms")
    print(f"{'':46} {'count':>6} {'min':>9} {'p50':>9} {'p99':>9} {'max':>9}")
    for key, words in (("release_late", "release confirmed after the deadline"),
                       ("changeover", "interlock change-over, command to confirmed"),
                       ("plain_on", "plain on, command to confirmed")):
        f = results[key]
        print(f"{words:46} {f['count']:6} {f['min_ms']:6.1f} ms {f['p50_ms']:6.1f} ms"
              f" {f['p99_ms']:6.1f} ms {f['max_ms']:6.1f} ms")
    print(f"failures: {raw['failures'] or 'none'}")
    print(f"machine: {before['cores']} cores, {before['cpu']}, Linux {before['kernel']}, "
          f"load {before['load']} -> {results['load_after']}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
