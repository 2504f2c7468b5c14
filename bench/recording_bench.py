#!/usr/bin/env python3
"""keltoctl record and replay against their targets, with the writers as C
programs (kelto_recording_writer) holding tables of their own.

    /usr/bin/python3 bench/recording_bench.py [--build build] [--seconds 30]
        [--only counters,flood,idle,replay]

- counters: 1,000 counters written at 100 Hz each; no gap, no resync, the
  recorder's CPU, the bytes per row in the file.
- flood: 1,000,000 changes a second across 100 variables; resyncs and the
  last value of each variable.
- idle: 10,000 variables that never change; the recorder's CPU.
- replay: a recorded 100 Hz counter replayed at --speed 1 into another table
  and recorded there; how late each write came against its recorded time.
"""

import argparse
import os
import pathlib
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

import h5py
import numpy

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


class Table:
    def __init__(self, root, names):
        self.directory = pathlib.Path(root) / uuid.uuid4().hex[:8]
        self.directory.mkdir()
        (self.directory / "iorsh.mem").write_text("".join(f"{name}=L\n" for name in names))
        (self.directory / "memsh.mem").write_text("")
        self.environ = dict(os.environ, KELTO_DIR=str(self.directory),
                            KELTO_SEGMENT=f"kelto_recbench_{uuid.uuid4().hex[:10]}")


class Writer:
    def __init__(self, build, table, *arguments):
        self.process = subprocess.Popen([str(build / "bench/kelto_recording_writer"), *arguments],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                        env=table.environ)
        assert self.process.stdout.readline().strip() == "ready"

    def go(self):
        self.process.stdin.write("go\n")
        self.process.stdin.flush()

    def last_values(self, count):
        return [int(self.process.stdout.readline()) for _ in range(count)]

    def end(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


def start_recorder(build, table, path, *arguments):
    recorder = subprocess.Popen([str(build / "tools/keltoctl/keltoctl"), "record", str(path),
                                 *arguments], env=table.environ)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        try:
            with h5py.File(path, "r", swmr=True) as recording:
                if len(recording["events"]):
                    return recorder
        except (OSError, KeyError):
            pass
        time.sleep(0.05)
    raise RuntimeError("the recorder did not start")


def stop_recorder(recorder):
    recorder.send_signal(signal.SIGTERM)
    assert recorder.wait(timeout=120) == 0


def event_kinds(recording):
    return [kind.decode() for kind in recording["events"]["kind"]]


def record_while_writing(build, root, names, mode, rate, seconds):
    """Records a table of `names` while the writer runs `mode` at `rate`:
    the recording's path, the writer's last values, and the recorder's CPU
    (a share of one core) over the writing."""
    table = Table(root, names)
    writer = Writer(build, table, mode, str(rate), str(seconds))
    path = pathlib.Path(root) / f"{mode}.h5"
    recorder = start_recorder(build, table, path)
    cpu_before, wall_before = cpu_seconds(recorder.pid), time.monotonic()
    writer.go()
    last = writer.last_values(len(names))
    cpu = (cpu_seconds(recorder.pid) - cpu_before) / (time.monotonic() - wall_before)
    time.sleep(1.5)  # the recorder's last flush
    stop_recorder(recorder)
    writer.end()
    return path, last, cpu


def counters(build, root, seconds):
    names = [f"C{i:04d}" for i in range(1000)]
    path, last, cpu = record_while_writing(build, root, names, "counters", 100, seconds)
    gaps = rows = stored = 0
    with h5py.File(path, "r") as recording:
        resyncs = event_kinds(recording).count("resync")
        for name in names:
            dataset = recording["variables"]["IORSH_" + name]
            values = dataset["value"][1:]
            expected = numpy.arange(1, last[0] + 1)
            gaps += int(len(values) != len(expected) or not numpy.array_equal(values, expected))
            rows += len(dataset)
            stored += dataset.id.get_storage_size()
    return {"counters with a gap": gaps, "resyncs": resyncs,
            "recorder CPU (% of a core)": round(cpu * 100, 1),
            "rows": rows, "bytes per row (stored)": round(stored / rows, 2),
            "bytes per row (whole file)": round(path.stat().st_size / rows, 2)}


def flood(build, root, seconds):
    names = [f"F{i:03d}" for i in range(100)]
    path, last, cpu = record_while_writing(build, root, names, "flood", 1000000, seconds)
    with h5py.File(path, "r") as recording:
        resyncs = event_kinds(recording).count("resync")
        wrong_last = sum(int(recording["variables"]["IORSH_" + name]["value"][-1] != value)
                         for name, value in zip(names, last))
        rows = sum(len(recording["variables"]["IORSH_" + name]) for name in names)
    return {"changes written": max(last), "resyncs": resyncs,
            "variables whose last value is not recorded": wrong_last, "rows": rows,
            "recorder CPU (% of a core)": round(cpu * 100, 1)}


def idle(build, root, seconds):
    names = [f"I{i:05d}" for i in range(10000)]
    table = Table(root, names)
    writer = Writer(build, table, "hold", str(seconds))
    path = pathlib.Path(root) / "idle.h5"
    started = time.monotonic()
    recorder = start_recorder(build, table, path)
    setup = time.monotonic() - started
    cpu_before, wall_before = cpu_seconds(recorder.pid), time.monotonic()
    writer.go()
    writer.last_values(len(names))
    cpu = (cpu_seconds(recorder.pid) - cpu_before) / (time.monotonic() - wall_before)
    stop_recorder(recorder)
    writer.end()
    return {"recorder CPU while idle (% of a core)": round(cpu * 100, 2),
            "seconds to create the file": round(setup, 2)}


def replay(build, root, seconds):
    table = Table(root, ["R0"])
    writer = Writer(build, table, "counters", "100", str(seconds))
    path = pathlib.Path(root) / "source.h5"
    recorder = start_recorder(build, table, path)
    writer.go()
    writer.last_values(1)
    time.sleep(0.5)
    stop_recorder(recorder)
    writer.end()
    target = Table(root, ["R0"])
    holder = Writer(build, target, "hold", "0")
    replayed_path = pathlib.Path(root) / "replayed.h5"
    watcher = start_recorder(build, target, replayed_path)
    subprocess.run([str(build / "tools/keltoctl/keltoctl"), "replay", str(path), "--speed", "1"],
                   env=target.environ, check=True)
    time.sleep(0.3)
    stop_recorder(watcher)
    holder.go()
    holder.last_values(1)
    holder.end()
    with h5py.File(path, "r") as recording:
        source = recording["variables"]["IORSH_R0"][:]
    with h5py.File(replayed_path, "r") as recording:
        replayed = recording["variables"]["IORSH_R0"][1:]
    # Each counter value is written once, so rows are matched by value: the
    # watching recorder may merge two writes that come close together.
    # The replay's start is its own: each write's lateness is taken against
    # the median offset between replayed and recorded times.
    seen_at = {int(value): time for time, value in replayed[1:] if value > 0}
    matched = [(time, seen_at[int(value)]) for time, value in source if int(value) in seen_at]
    recorded_ms = numpy.array([pair[0] for pair in matched], dtype=numpy.float64) / 1e6
    seen_ms = numpy.array([pair[1] for pair in matched], dtype=numpy.float64) / 1e6
    offsets = seen_ms - recorded_ms
    late = numpy.abs(offsets - numpy.median(offsets))
    in_order = bool(numpy.all(numpy.diff(replayed["value"][1:]) >= 0))
    return {"rows recorded": len(source), "writes seen by the watcher": len(matched),
            "replayed values in order": in_order,
            "lateness median (ms)": round(float(numpy.median(late)), 3),
            "lateness p99 (ms)": round(float(numpy.percentile(late, 99)), 3),
            "lateness max (ms)": round(float(late.max()), 3)}


SCENARIOS = {"counters": counters, "flood": flood, "idle": idle, "replay": replay}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", type=pathlib.Path)
    parser.add_argument("--seconds", default=30.0, type=float)
    parser.add_argument("--only", default=",".join(SCENARIOS))
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="kelto_recbench_") as root:
        for name in arguments.only.split(","):
            results = SCENARIOS[name](arguments.build.resolve(), root, arguments.seconds)
            print(f"{name} ({arguments.seconds:g} s):")
            for label, value in results.items():
                print(f"  {label}: {value}")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
