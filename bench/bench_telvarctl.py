#!/usr/bin/env python3
"""telvarctl's benchmark: the wall time of `telvarctl status` and
`telvarctl on 5`, from starting the process to its exit, beside the floor
measured in the same run: this script's own client exchanging the same frames
with the same simulated board over raw termios, timed from its first byte
written to the last reply byte read. The board is telvar-sim with --pace, so
every reply crosses the line at 9600 baud. Also telvarctl's peak resident
memory, read from /proc as it exits.

    python3 bench/bench_telvarctl.py --build-dir build [--runs 50] [--json out.json]
"""

import argparse
import ctypes
import json
import os
import statistics
import subprocess
import signal
import sys
import termios
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import far_end as line  # noqa: E402
import run_bench  # noqa: E402
from run_bench import percentile  # noqa: E402

goals = {"added_p50_ms": 10.0, "status_p50_ms": 30.0, "rss_mib": 15.0}


def frame(address, code, param1, param2):
    body = bytes([0x55, address, code, 0, 0, param1, param2])
    return body + bytes([line.checksum(body)])


class raw_client:
    """The floor: the same request and reply over the device, nothing else."""

    def __init__(self, device):
        self.device = device

    def exchange(self, request):
        fd = os.open(self.device, os.O_RDWR | os.O_NOCTTY)
        try:
            tty.setraw(fd)
            attrs = termios.tcgetattr(fd)
            attrs[4] = attrs[5] = termios.B9600
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
            termios.tcflush(fd, termios.TCIFLUSH)
            start = time.perf_counter()
            os.write(fd, request)
            reply = b""
            while len(reply) < 8:
                chunk = os.read(fd, 8 - len(reply))
                if not chunk:
                    raise RuntimeError("the line closed")
                reply += chunk
            elapsed = time.perf_counter() - start
        finally:
            os.close(fd)
        if reply[0] != 0x22 or line.checksum(reply[:7]) != reply[7]:
            raise RuntimeError("bad reply " + reply.hex(" "))
        return elapsed * 1000


def run_telvarctl(program, arguments):
    """Wall time from starting the process to its exit, and its exit status."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    start = time.perf_counter()
    pid = os.posix_spawn(program, [program] + arguments, os.environ,
                         file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1)])
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - start
    os.close(devnull)
    return elapsed * 1000, os.waitstatus_to_exitcode(status)


libc = ctypes.CDLL(None, use_errno=True)
libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
PTRACE_TRACEME, PTRACE_CONT, PTRACE_SETOPTIONS = 0, 7, 0x4200
PTRACE_O_TRACEEXIT, PTRACE_EVENT_EXIT = 0x40, 6


def peak_memory(program, arguments):
    """telvarctl's own peak resident memory (VmHWM, KiB), read as it exits.
    The rusage of a child counts the memory of the process that started it
    too, so the child is stopped at its exit under ptrace and read there."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    pid = os.fork()
    if pid == 0:
        try:
            libc.ptrace(PTRACE_TRACEME, 0, None, None)
            os.dup2(devnull, 1)
            os.execv(program, [program] + arguments)
        finally:
            os._exit(127)
    os.close(devnull)
    os.waitpid(pid, 0)  # stopped at the exec
    libc.ptrace(PTRACE_SETOPTIONS, pid, None, ctypes.c_void_p(PTRACE_O_TRACEEXIT))
    libc.ptrace(PTRACE_CONT, pid, None, None)
    peak = 0
    while True:
        _, status = os.waitpid(pid, 0)
        if os.WIFEXITED(status) or os.WIFSIGNALED(status):
            return peak, os.waitstatus_to_exitcode(status)
        if status >> 8 == signal.SIGTRAP | (PTRACE_EVENT_EXIT << 8):
            with open(f"/proc/{pid}/status") as f:
                for row in f:
                    if row.startswith("VmHWM:"):
                        peak = int(row.split()[1])
            libc.ptrace(PTRACE_CONT, pid, None, None)
            continue
        # Any other stop: let the signal through.
        libc.ptrace(PTRACE_CONT, pid, None, ctypes.c_void_p(os.WSTOPSIG(status)))


def cpu_times():
    """Idle and total jiffies of all cores, from /proc/stat."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    return fields[3] + fields[4], sum(fields)


def machine():
    return dict(run_bench.machine(), load=run_bench.load_average())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--runs", type=int, default=50)
    parser.add_argument("--json", help="write the figures here too")
    args = parser.parse_args()

    program = os.path.abspath(os.path.join(args.build_dir, "telvarctl", "telvarctl"))
    sim_program = os.path.abspath(os.path.join(args.build_dir, "sim", "telvar-sim"))
    for path in (program, sim_program):
        if not os.access(path, os.X_OK):
            sys.exit(f"bench_telvarctl: {path} is not built")

    before = machine()
    idle_before, total_before = cpu_times()
    sim = subprocess.Popen([sim_program, "--control", "--pace", "--board", "1,relays=00A5"],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    # The board is a device of its own: as root its replies are not held up
    # by whatever else the machine runs, for telvarctl and the floor alike.
    try:
        os.sched_setscheduler(sim.pid, os.SCHED_FIFO, os.sched_param(20))
        board_priority = "real-time"
    except (PermissionError, OSError):
        board_priority = "normal"
    try:
        device = sim.stdout.readline().strip()
        client = raw_client(device)
        cases = {
            "status": (["-p", device, "status"], frame(1, line.status_query, 0, 0)),
            "on 5": (["-p", device, "on", "5"], frame(1, line.pull_in_relay, 0, 5)),
        }
        # Uncounted warm-up: page cache, the dynamic linker's and the simulator's first turns.
        for arguments, request in cases.values():
            for _ in range(3):
                client.exchange(request)
                run_telvarctl(program, arguments)

        times = {name: {"telvarctl": [], "floor": []} for name in cases}
        # In turns, so that whatever else the machine does weighs on both alike.
        for _ in range(args.runs):
            for name, (arguments, request) in cases.items():
                times[name]["floor"].append(client.exchange(request))
                elapsed, status = run_telvarctl(program, arguments)
                if status != 0:
                    sys.exit(f"bench_telvarctl: telvarctl {' '.join(arguments)} ended {status}")
                times[name]["telvarctl"].append(elapsed)
        # Memory apart from the timed runs: the tracing would slow them.
        rss = []
        for arguments, _ in cases.values():
            for _ in range(5):
                peak, status = peak_memory(program, arguments)
                if status != 0:
                    sys.exit(f"bench_telvarctl: traced telvarctl {' '.join(arguments)} ended {status}")
                rss.append(peak)
    finally:
        sim.stdin.close()
        sim.wait(timeout=10)

    idle_after, total_after = cpu_times()
    # What the rest of the machine left free: with this bench's own share in it.
    idle = 100.0 * (idle_after - idle_before) / max(1, total_after - total_before)
    results = {"machine": before, "runs": args.runs, "load_after": machine()["load"],
               "idle_percent": idle,
               "board_priority": board_priority, "cases": {}}
    print(f"telvarctl against telvar-sim --pace ({board_priority} priority), {args.runs} runs "
          "each, in turns with the floor")
    print(f"{'':10} {'telvarctl p50':>14} {'p99':>8} {'floor p50':>10} {'p99':>8} "
          f"{'added p50':>10}")
    for name in cases:
        t = times[name]["telvarctl"]
        f = times[name]["floor"]
        figures = {
            "telvarctl_p50_ms": statistics.median(t), "telvarctl_p99_ms": percentile(t, 0.99),
            "floor_p50_ms": statistics.median(f), "floor_p99_ms": percentile(f, 0.99),
        }
        figures["added_p50_ms"] = figures["telvarctl_p50_ms"] - figures["floor_p50_ms"]
        results["cases"][name] = figures
        print(f"{name:10} {figures['telvarctl_p50_ms']:11.2f} ms {figures['telvarctl_p99_ms']:5.2f} ms"
              f" {figures['floor_p50_ms']:7.2f} ms {figures['floor_p99_ms']:5.2f} ms"
              f" {figures['added_p50_ms']:7.2f} ms")
    results["rss_mib_max"] = max(rss) / 1024
    results["rss_mib_p50"] = statistics.median(rss) / 1024
    print(f"resident memory (VmHWM at exit, 10 runs): p50 {results['rss_mib_p50']:.1f} MiB, "
          f"max {results['rss_mib_max']:.1f} MiB")
    met = {
        "added_p50": all(c["added_p50_ms"] < goals["added_p50_ms"]
                         for c in results["cases"].values()),
        "status_p50": results["cases"]["status"]["telvarctl_p50_ms"] < goals["status_p50_ms"],
        "rss": results["rss_mib_max"] < goals["rss_mib"],
    }
    results["goals"] = goals
    results["met"] = met
    print(f"goals: added p50 < {goals['added_p50_ms']} ms: {met['added_p50']}; "
          f"status p50 < {goals['status_p50_ms']} ms: {met['status_p50']}; "
          f"memory < {goals['rss_mib']} MiB: {met['rss']}")
    print(f"machine: {before['cores']} cores, {before['cpu']}, Linux {before['kernel']}, "
          f"load {before['load']} -> {results['load_after']}, processor idle {idle:.0f} % "
          "during the run")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
