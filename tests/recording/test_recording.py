"""keltoctl record and replay against tables held and written by C programs,
read back with h5py as users read them."""

import os
import resource
import signal
import subprocess
import time

import h5py
import numpy

from conftest import events_of, shm_objects, stop, wait_for


def rows(path, name, swmr=False):
    with h5py.File(path, "r", swmr=swmr) as recording:
        return recording["variables"][name][:]


def kinds(events):
    return [kind for kind, _ in events]


def rows_until(path, name, last):
    """Rows of `name` read in SWMR mode while the recorder writes, once `last` is recorded."""
    def recorded():
        try:
            found = rows(path, name, swmr=True)
        except OSError:  # a reader may catch the writer between two steps
            return None
        return [found] if len(found) and found["value"][-1] == last else None
    return wait_for(recorded, f"{last!r} recorded for {name}")[0]


def in_order(values, first, last):
    """The values as the recorder saw them: those written faster than it reads
    may be missing, but never out of order or made up. One may come twice: a
    mark read after its value was already recorded, from a later write, reads
    that value again."""
    values = list(values)
    return values[0] == first and values[-1] == last and values[1:] == sorted(values[1:])


def test_record_follows_values_resyncs_and_the_table_going_and_coming_back(processes, tmp_path):
    table = processes.table()
    peer = processes.peer(table)
    peer.set("IORSH_SPEED", "7")
    peer.set("MEMSH_STATUS", "ready")
    path = tmp_path / "run.h5"
    before = shm_objects(table.segment)
    recorder = processes.record(table, path, "--flush", "0.1")
    assert shm_objects(table.segment) == before, "the recorder made objects in /dev/shm"

    for value in range(1, 31):
        peer.set("IORSH_SPEED", str(value))
        time.sleep(0.005)
    peer.set("MEMSH_STATUS", "running")
    # Read while recording: the snapshot first, then every value in order.
    speed = rows_until(path, "IORSH_SPEED", 30)
    assert in_order(speed["value"], 7, 30)
    assert numpy.all(numpy.diff(speed["time"]) >= 0)
    assert abs(speed["time"][0] / 1e9 - time.time()) < 60
    assert list(rows_until(path, "MEMSH_STATUS", b"running")["value"]) == [b"ready", b"running"]

    # A recorder that falls far behind is told so, and reads everything again.
    os.kill(recorder.pid, signal.SIGSTOP)
    peer("burst MEMSH_CYCLE 70000")
    os.kill(recorder.pid, signal.SIGCONT)
    wait_for(lambda: "resync" in kinds(events_of(path, swmr=True)), "a resync event")
    rows_until(path, "MEMSH_CYCLE", 70000)

    peer.kill()
    wait_for(lambda: "table gone" in kinds(events_of(path, swmr=True)), "a table gone event")
    peer = processes.peer(table)
    wait_for(lambda: "table back" in kinds(events_of(path, swmr=True)), "a table back event")
    peer.set("IORSH_SPEED", "99")
    speed = rows_until(path, "IORSH_SPEED", 99)
    # Read again when the table came back (a new table starts at 0).
    assert list(speed["value"][-2:]) == [0, 99]

    status, errors = stop(recorder)
    assert (status, errors) == (0, "")
    events = events_of(path)
    assert kinds(events)[0] == "start" and kinds(events)[-1] == "stop"
    found = [kind for kind in kinds(events) if kind in ("resync", "table gone", "table back")]
    assert found[-2:] == ["table gone", "table back"] and found[0] == "resync"
    with h5py.File(path, "r") as recording:
        assert recording.attrs["segment"].decode() == table.segment
        assert recording.attrs["start_time"].decode().endswith("Z")
        assert list(recording.attrs["no_value_variables"]) == [b"IORSH_MARK"]
        temperature = recording["variables"]["IORSH_TEMPERATURE"]
        assert temperature.dtype["value"] == numpy.float64
        assert temperature.attrs["type"] == b"D" and temperature.attrs["size"] == 8
        assert recording["variables"]["IORSH_RPM"].dtype["value"] == numpy.uint16
        assert recording["variables"]["IORSH_GEAR"].dtype["value"] == numpy.uint8
        assert recording["variables"]["MEMSH_STATUS"].dtype["value"] == numpy.dtype("S63")
        for dataset in recording["variables"].values():
            assert numpy.all(numpy.diff(dataset["time"]) >= 0), dataset.name
    dump = subprocess.run(["h5dump", "-d", "/variables/IORSH_SPEED", str(path)],
                          capture_output=True, text=True, timeout=60)
    assert dump.returncode == 0 and "99" in dump.stdout


def test_killed_recorder_leaves_a_file_with_every_flushed_row(processes, tmp_path):
    table = processes.table()
    peer = processes.peer(table)
    path = tmp_path / "killed.h5"
    recorder = processes.record(table, path, "--flush", "0.1")
    for value in range(1, 21):
        peer.set("IORSH_SPEED", str(value))
    flushed = rows_until(path, "IORSH_SPEED", 20)
    stop(recorder, signal.SIGKILL)
    assert in_order(flushed["value"], 0, 20)
    assert numpy.array_equal(rows(path, "IORSH_SPEED", swmr=True), flushed)
    assert kinds(events_of(path, swmr=True)) == ["start"]
    # An existing file is kept unless --force is given.
    refused = processes.keltoctl(table, "record", str(path), "--duration", "0")
    _, errors = refused.communicate(timeout=30)
    assert refused.returncode == 5 and "exists" in errors and len(errors.splitlines()) == 1
    forced = processes.keltoctl(table, "record", str(path), "--duration", "0", "--force")
    assert forced.communicate(timeout=30)[1] == "" and forced.returncode == 0
    assert kinds(events_of(path)) == ["start", "stop"]


def limit_file_size(size):
    def limit():
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return limit


def test_write_error_ends_with_status_5_and_a_file_that_opens(processes, tmp_path):
    table = processes.table()
    peer = processes.peer(table)
    path = tmp_path / "full.h5"
    recorder = processes.record(table, path, "--flush", "0.05",
                                preexec_fn=limit_file_size(256 * 1024))
    # Text that does not compress, until the file reaches its limit (the
    # recorder keeps the values at its own pace, so it is not a count).
    deadline = time.monotonic() + 120
    count = 0
    while recorder.poll() is None and time.monotonic() < deadline:
        peer.set("MEMSH_STATUS", os.urandom(24).hex())
        count += 1
    _, errors = recorder.communicate(timeout=60)
    assert recorder.returncode == 5
    # A build instrumented for coverage also says, at exit, that its own
    # counters do not fit under the same limit: that line is not keltoctl's.
    lines = [line for line in errors.splitlines() if ".gcda:" not in line]
    assert len(lines) == 1 and lines[0].startswith("keltoctl: cannot write")
    assert "File too large" in errors
    status = rows(path, "MEMSH_STATUS")
    assert 1 < len(status) < count
    assert numpy.all(numpy.diff(status["time"]) >= 0)


ODD_IORSH = b"SPEED=L\nTEMPERATURE=D\nODD/NAME%1=L\nA.B=B\n\xe9t\xe9=W\n"
ODD_NAME = "IORSH_ODD/NAME%1"
LATIN_NAME = "IORSH_\udce9t\udce9"


def test_replay_writes_a_recording_into_another_table_at_its_pace(processes, tmp_path):
    first = processes.table("first", iorsh=ODD_IORSH, memsh=b"STATUS=$\n")
    writer = processes.peer(first)
    path = tmp_path / "odd.h5"
    recorder = processes.record(first, path)
    for value in range(1, 21):
        writer.set("IORSH_SPEED", str(value))
        writer.set(ODD_NAME, str(-value))
        time.sleep(0.05)
    writer.set(LATIN_NAME, "65535")
    writer.set("MEMSH_STATUS", "done")
    writer.set("IORSH_TEMPERATURE", "1.5")
    assert stop(recorder) == (0, "")
    with h5py.File(path, "r") as recording:
        names = sorted(recording["variables"])
        assert names == sorted(["IORSH_A.B", "IORSH_ODD%2FNAME%251", "IORSH_SPEED",
                                "IORSH_TEMPERATURE", "IORSH_%E9t%E9", "MEMSH_STATUS"])
        assert recording["variables"]["IORSH_%E9t%E9"].attrs["name"] == b"IORSH_\xe9t\xe9"
    recorded = rows(path, "IORSH_SPEED")

    # The second table has TEMPERATURE of another type and no STATUS.
    second = processes.table("second", iorsh=ODD_IORSH.replace(b"TEMPERATURE=D", b"TEMPERATURE=L"),
                             memsh=b"CYCLE=L\n")
    reader = processes.peer(second)
    replayed_path = tmp_path / "replayed.h5"
    watcher = processes.record(second, replayed_path)
    replay = processes.keltoctl(second, "replay", str(path), "--speed", "1")
    _, errors = replay.communicate(timeout=60)
    assert replay.returncode == 0
    assert sorted(errors.splitlines()) == [
        "keltoctl: replay: left out 'IORSH_TEMPERATURE': recorded as D, the table has L",
        "keltoctl: replay: left out 'MEMSH_STATUS': not in the live table"]
    assert reader.get("IORSH_SPEED") == "20" and reader.get(ODD_NAME) == "-20"
    assert reader.get(LATIN_NAME) == "65535"
    time.sleep(0.3)
    assert stop(watcher) == (0, "")
    # The table's own first value, then every recorded row, snapshot included.
    replayed = rows(replayed_path, "IORSH_SPEED")[1:]
    assert list(replayed["value"]) == list(recorded["value"])
    # At the recorded pace: each write as far from its recorded time as the
    # others, give or take a loaded machine's scheduling, and not sooner.
    recorded_offsets = (recorded["time"] - recorded["time"][0]) / 1e9
    replayed_offsets = (replayed["time"] - replayed["time"][0]) / 1e9
    assert numpy.ptp(replayed_offsets - recorded_offsets) < 0.5
    assert replayed_offsets[-1] > recorded_offsets[-1] - 0.05

    # As fast as possible, and only a window of the recording.
    fast = processes.keltoctl(second, "replay", str(path), "IORSH_SPEED", "--speed", "0",
                              "--to", str(recorded_offsets[4] + 0.001))
    assert fast.communicate(timeout=60) == ("", "") and fast.returncode == 0
    assert reader.get("IORSH_SPEED") == str(recorded["value"][4])
