"""Waiting for changes made by other processes and threads."""

import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

import kelto

import conftest


def test_wait_reports_changes_of_a_c_program(peer):
    with kelto.attach() as table:
        assert table.wait(timeout=0) == {}
        peer.set("IORSH_SPEED", "5")
        peer.set("MEMSH_STATUS", "one")
        assert table.wait(timeout=10) == {"IORSH_SPEED": 5, "MEMSH_STATUS": "one"}

        # Only the names asked for; a change in between is not lost.
        peer.set("MEMSH_CYCLE", "1")
        peer.set("IORSH_TEMPERATURE", "2.5")
        assert table.wait(["IORSH_TEMPERATURE", "IORSH_SPEED"], timeout=10) == {
            "IORSH_TEMPERATURE": 2.5}
        peer.set("IORSH_SPEED", "6")
        assert table.wait("IORSH_SPEED", timeout=10) == {"IORSH_SPEED": 6}
        assert table.iorsh.wait(timeout=0) == {}

        started = time.monotonic()
        assert table.wait("IORSH_SPEED", timeout=0.3) == {}
        assert 0.25 < time.monotonic() - started < 2

        # Far more changes than the feed holds while nobody waits: the values
        # last reported tell which variables changed (MEMSH_CYCLE was passed
        # over above, so this waiter never reported its 1).
        peer("burst IORSH_SPEED 70000")
        assert table.wait(timeout=10) == {"IORSH_SPEED": 70000, "MEMSH_CYCLE": 1}
        assert table.wait(timeout=0) == {}
        with pytest.raises(KeyError):
            table.wait(["NOPE"], timeout=0)


def test_watch_generators_each_see_every_change(peer):
    with kelto.attach() as table:
        speeds = table.watch(["IORSH_SPEED"])
        statuses = table.memsh.watch(["STATUS"])
        seen = []

        def consume():
            for changes in speeds:
                seen.append(changes["IORSH_SPEED"])
                if changes["IORSH_SPEED"] == 3:
                    return

        consumer = threading.Thread(target=consume)
        consumer.start()
        time.sleep(0.2)
        for value in (1, 2, 3):
            peer.set("IORSH_SPEED", str(value))
            time.sleep(0.05)
        peer.set("MEMSH_STATUS", "done")
        consumer.join(10)
        assert not consumer.is_alive() and seen == [1, 2, 3]
        assert next(statuses) == {"STATUS": "done"}


def test_demo_writes_while_python_watches(peer, demo):
    """The C demo writes through libkelto every 100 ms; Python sees each cycle."""
    with kelto.attach() as table:
        changes = table.watch(["IORSH_SPEED", "MEMSH_STATUS"])
        writer = subprocess.Popen([demo, "writer", "8"], stdout=subprocess.DEVNULL)
        speeds = []
        for change in changes:
            speeds += [change["IORSH_SPEED"]] if "IORSH_SPEED" in change else []
            if change.get("MEMSH_STATUS") == "finished":
                break
        assert writer.wait(timeout=10) == 0
    # One report may cover two cycles on a busy machine, never go back.
    assert speeds[-1] == 108 and speeds == sorted(set(speeds)) and len(speeds) >= 4


def test_threads_share_a_table(peer):
    """Writers by Var and by name, a waiter and a close from another thread."""
    table = kelto.attach()
    rounds = 2000
    seen = []

    def write_by_var():
        cycle = table.var("MEMSH_CYCLE")
        for value in range(1, rounds + 1):
            cycle.value = value

    def write_by_name():
        for value in range(1, rounds + 1):
            table["IORSH_RPM"] = value
            assert table["IORSH_RPM"] >= 1

    def wait_until_closed():
        try:
            while True:
                seen.append(table.wait(["MEMSH_CYCLE", "IORSH_RPM"]))
        except ValueError:
            seen.append("closed")

    waiter = threading.Thread(target=wait_until_closed)
    waiter.start()
    time.sleep(0.2)
    writers = [threading.Thread(target=write_by_var), threading.Thread(target=write_by_name)]
    for thread in writers:
        thread.start()
    for thread in writers:
        thread.join(30)
    assert peer.get("MEMSH_CYCLE") == str(rounds) and peer.get("IORSH_RPM") == str(rounds)
    time.sleep(0.2)
    started = time.monotonic()
    table.close()
    waiter.join(5)
    assert not waiter.is_alive() and time.monotonic() - started < 1
    assert seen[-1] == "closed"
    last = {}
    for changes in seen[:-1]:
        last.update(changes)
    assert last == {"MEMSH_CYCLE": rounds, "IORSH_RPM": rounds}


ECHO = """
import kelto, sys
with kelto.attach(timeout=10) as table:
    ping = table.var("IORSH_SPEED")
    pong = table.var("MEMSH_CYCLE")
    waiter = table.waiter()
    print("ready", flush=True)
    while True:
        value = waiter.wait("IORSH_SPEED")["IORSH_SPEED"]
        pong.value = value
        if value < 0:
            break
"""


def test_python_to_python_round_trips(peer):
    """Another Python process answers each value through the table."""
    echo = subprocess.Popen([sys.executable, "-c", ECHO], stdout=subprocess.PIPE, text=True)
    assert echo.stdout.readline() == "ready\n"
    with kelto.attach() as table:
        ping = table.var("IORSH_SPEED")
        waiter = table.waiter()
        for value in list(range(1, 51)) + [-1]:
            ping.value = value
            assert waiter.wait("MEMSH_CYCLE", timeout=10) == {"MEMSH_CYCLE": value}
    assert echo.wait(timeout=10) == 0


WAIT_FOREVER = """
import kelto
table = kelto.attach()
print("waiting", flush=True)
try:
    table.wait()
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


def test_ctrl_c_ends_a_wait(peer):
    waiting = subprocess.Popen([sys.executable, "-c", WAIT_FOREVER], stdout=subprocess.PIPE,
                               text=True)
    assert waiting.stdout.readline() == "waiting\n"
    time.sleep(0.2)
    started = time.monotonic()
    waiting.send_signal(signal.SIGINT)
    assert waiting.stdout.readline() == "interrupted\n"
    assert waiting.wait(timeout=10) == 0 and time.monotonic() - started < 2


def test_a_table_without_change_feed_reads_but_cannot_wait(peer, env):
    pathlib.Path("/dev/shm", env + ".changes").unlink()
    with kelto.attach() as table:
        table["IORSH_SPEED"] = 3
        assert table["IORSH_SPEED"] == 3 and peer.get("IORSH_SPEED") == "3"
        with pytest.raises(kelto.NoChangeFeed) as raised:
            table.wait(timeout=0)
        assert isinstance(raised.value, OSError)


def test_a_stopped_holder_of_the_change_log_lock_freezes_no_call(peer):
    """While a process is stopped holding the change log's lock, a wait ends
    by its timeout (one call of the library may add a second), even when
    the library answers with resyncs that change nothing asked for; a
    change made meanwhile is still reported; and no blocked call keeps
    other threads from running."""
    with kelto.attach() as table:
        reads = [0]
        stop = threading.Event()

        def read():
            while not stop.is_set():
                table["IORSH_GEAR"]
                reads[0] += 1

        with conftest.stopped_holder("drain"):
            reader = threading.Thread(target=read)
            reader.start()
            try:
                calls = [lambda: table.wait(["IORSH_SPEED"], timeout=0),
                         lambda: table.wait(["IORSH_SPEED"], timeout=0.05),
                         lambda: table.wait(timeout=0.5),
                         lambda: table.memsh.wait(timeout=0.3),
                         lambda: table.waiter().wait(timeout=0)]
                for call in calls:
                    before = reads[0]
                    started = time.monotonic()
                    assert call() == {}
                    took = time.monotonic() - started
                    assert took < 4  # blocked for good before
                    if took > 0.3:  # a call that blocked left the GIL to others
                        assert reads[0] > before + 10
                waiter = table.waiter()
                peer.set("IORSH_SPEED", "5")
                assert table.wait(["IORSH_SPEED"], timeout=0.5) == {"IORSH_SPEED": 5}
                assert waiter.wait(["IORSH_SPEED"], timeout=0.5) == {"IORSH_SPEED": 5}
            finally:
                stop.set()
                reader.join(10)
        # The holder is gone: its lock is taken over and changes flow again.
        peer.set("IORSH_SPEED", "6")
        assert table.wait(["IORSH_SPEED"], timeout=10) == {"IORSH_SPEED": 6}
        assert waiter.wait(["IORSH_SPEED"], timeout=10) == {"IORSH_SPEED": 6}
