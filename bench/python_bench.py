#!/usr/bin/env python3
"""What the kelto Python package costs per call, beside baselines from the
same run, and the round trip between two Python processes through wait().

    /usr/bin/python3 bench/python_bench.py [--build build] [--rounds 7]

Uses the package in BUILD/python. The table is held by the tests' C program
(BUILD/python/tests/kelto_py_peer) when it was built, else by kelto.open(),
in a temporary directory with a segment name of its own.
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
import uuid

DEFINITIONS = {"iorsh.mem": "SPEED=L\nTEMPERATURE=D\n", "memsh.mem": "STATUS=$\nCYCLE=L\n"}
CALLS = 200_000
ROUND_TRIPS = 5_000


def per_call_ns(statements, namespace, rounds):
    """Median ns per call of each statement; rounds interleave the statements,
    so that a disturbance of the machine hits all of them alike."""
    samples = {label: [] for label in statements}
    for _ in range(rounds):
        for label, statement in statements.items():
            seconds = timeit.timeit(statement, globals=namespace, number=CALLS)
            samples[label].append(seconds / CALLS * 1e9)
    return {label: statistics.median(values) for label, values in samples.items()}


def single_process(kelto, rounds):
    table = kelto.attach()
    namespace = {
        "minimal": kelto._kelto._minimal,
        "plain": {"IORSH_SPEED": 1},
        "table": table,
        "speed": table.var("IORSH_SPEED"),
    }
    statements = {
        "minimal pybind11 function": "minimal()",
        "dict lookup": "plain['IORSH_SPEED']",
        "var.value read": "speed.value",
        "var.value write": "speed.value = 7",
        "t[name] read": "table['IORSH_SPEED']",
        "t[name] write": "table['IORSH_SPEED'] = 7",
    }
    ns = per_call_ns(statements, namespace, rounds)
    library = [kelto._kelto._library_ns(table, "IORSH_SPEED", CALLS) for _ in range(rounds)]
    for kind in ("read", "write"):
        ns[f"(libkelto_live's own {kind})"] = statistics.median(c[kind] for c in library)
    base = ns["minimal pybind11 function"]
    print(f"{'call':28} {'ns/call':>8} {'x minimal':>10}")
    for label, value in ns.items():
        print(f"{label:28} {value:8.1f} {value / base:10.2f}")
    targets = [("var.value read", 1.5), ("var.value write", 1.5), ("t[name] read", 2.0)]
    for label, limit in targets:
        ratio = ns[label] / base
        print(f"target {label}: {ratio:.2f}x minimal (at most {limit}x): "
              f"{'met' if ratio <= limit else 'MISSED'}")
    table.close()


def echo(build):
    """The other process of the round trip: answers each ping with a pong."""
    sys.path.insert(0, str(pathlib.Path(build, "python")))
    import kelto
    with kelto.attach(timeout=10) as table:
        pong = table.var("MEMSH_CYCLE")
        waiter = table.waiter()
        print("ready", flush=True)
        while True:
            value = waiter.wait("IORSH_SPEED")["IORSH_SPEED"]
            pong.value = value
            if value < 0:
                return


def round_trips(kelto, build):
    partner = subprocess.Popen([sys.executable, __file__, "--echo", "--build", build],
                               stdout=subprocess.PIPE, text=True)
    assert partner.stdout.readline() == "ready\n"
    with kelto.attach() as table:
        ping = table.var("IORSH_SPEED")
        waiter = table.waiter()
        times = []
        for value in range(1, ROUND_TRIPS + 1):
            start = time.perf_counter_ns()
            ping.value = value
            waiter.wait("MEMSH_CYCLE")
            times.append(time.perf_counter_ns() - start)
        ping.value = -1
    partner.wait(timeout=10)
    times.sort()
    median = statistics.median(times) / 1000
    p99 = times[int(len(times) * 0.99)] / 1000
    print(f"round trip Python -> Python through wait, {ROUND_TRIPS} trips: "
          f"median {median:.1f} us, 99th percentile {p99:.1f} us")


class Holder:
    """A program holding the table for the benchmark."""

    def __init__(self, build, kelto):
        self.peer = None
        self.table = None
        program = pathlib.Path(build, "python", "tests", "kelto_py_peer")
        if program.exists():
            self.peer = subprocess.Popen([str(program)], stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, text=True)
            self.peer.stdin.write("open\n")
            self.peer.stdin.flush()
            assert self.peer.stdout.readline().startswith("ok")
        else:
            self.table = kelto.open()

    def close(self):
        if self.peer:
            self.peer.stdin.close()
            self.peer.wait(timeout=10)
        if self.table:
            self.table.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--echo", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.echo:
        return echo(options.build)
    sys.path.insert(0, str(pathlib.Path(options.build, "python")))
    import kelto
    with tempfile.TemporaryDirectory() as directory:
        for name, text in DEFINITIONS.items():
            pathlib.Path(directory, name).write_text(text)
        os.environ["KELTO_DIR"] = directory
        os.environ["KELTO_SEGMENT"] = f"kelto_py_bench_{os.getpid()}_{uuid.uuid4().hex[:8]}"
        holder = Holder(options.build, kelto)
        try:
            print(f"Python {sys.version.split()[0]} ({sys.executable}), kelto {kelto.__version__}")
            single_process(kelto, options.rounds)
            round_trips(kelto, options.build)
        finally:
            holder.close()
            for leftover in pathlib.Path("/dev/shm").glob(os.environ["KELTO_SEGMENT"] + "*"):
                leftover.unlink()


if __name__ == "__main__":
    main()
