"""Attaching, the table going away and coming back, kelto.open()."""

import os
import pathlib
import subprocess
import sys
import threading
import time

import pytest

import kelto

import conftest


def test_observer_follows_the_table(env, make_peer):
    """No table: NoLiveTable. A waiting attach picks up a table started later;
    a wait ends with NoLiveTable when its program goes; the next use picks up
    the next table by itself."""
    with pytest.raises(kelto.NoLiveTable) as raised:
        kelto.attach()
    assert isinstance(raised.value, OSError) and env in str(raised.value)
    with pytest.raises(ValueError):
        kelto.attach("bad/name")

    starter = threading.Timer(0.3, make_peer)
    starter.start()
    table = kelto.attach(timeout=10)
    starter.join()
    speed = table.var("IORSH_SPEED")
    table["IORSH_SPEED"] = 11
    assert table.live and speed.value == 11

    # Kill the only program while this thread waits.
    threading.Timer(0.3, make_peer.started[0].kill).start()
    started = time.monotonic()
    with pytest.raises(kelto.NoLiveTable):
        table.wait(timeout=10)
    assert time.monotonic() - started < 3
    with pytest.raises(kelto.NoLiveTable):
        table["IORSH_SPEED"]
    assert not table.live

    second = make_peer()
    second.set("IORSH_SPEED", "22")
    assert table["IORSH_SPEED"] == 22  # the next table, picked up by itself
    assert speed.value == 22
    table.close()
    table.close()
    with pytest.raises(ValueError):
        speed.value


def test_open_holds_the_table_as_a_program(env, make_peer):
    """kelto.open() is KeltoOpen: definitions, log, a hold that keeps the table
    alive for other processes; close() ends it when it was the last."""
    with kelto.open() as table:
        assert table.program and "program" in repr(table)
        table["MEMSH_STATUS"] = "from python"
        other = make_peer()
        assert other.get("MEMSH_STATUS") == "from python"
        other("close")
        observer = kelto.attach()
        assert observer["MEMSH_STATUS"] == "from python"
    log = pathlib.Path(os.environ["KELTO_DIR"], "kelto_log.txt").read_text()
    assert kelto.__version__ in log
    time.sleep(0.3)  # any use notices a table gone within a quarter of a second
    with pytest.raises(kelto.NoLiveTable):
        observer["MEMSH_STATUS"]
    assert not observer.live
    observer.close()
    with pytest.raises(kelto.NoLiveTable):
        kelto.attach()


def test_open_without_definitions(env, tmp_path, monkeypatch):
    empty = tmp_path / "empty"
    empty.mkdir()
    monkeypatch.setenv("KELTO_DIR", str(empty))
    with pytest.raises(kelto.NoLiveTable, match="kelto_log.txt"):
        kelto.open()


def test_forked_child_starts_detached(peer):
    """In a forked child the parent's Table is closed; the child attaches anew."""
    with kelto.attach() as table:
        table["MEMSH_CYCLE"] = 5
        read, write = os.pipe()
        child = os.fork()
        if child == 0:
            status = 1
            try:
                try:
                    table["MEMSH_CYCLE"]
                except ValueError:
                    with kelto.attach() as own:
                        own["MEMSH_CYCLE"] = own["MEMSH_CYCLE"] + 1
                        status = 0
            finally:
                os._exit(status)
        os.close(write)
        _, status = os.waitpid(child, 0)
        os.close(read)
        assert os.waitstatus_to_exitcode(status) == 0
        assert table["MEMSH_CYCLE"] == 6
    assert peer.get("MEMSH_CYCLE") == "6"


def test_only_attach_and_open_make_tables():
    """Objects made by __new__ alone hold no handle: using them must raise,
    never read memory that was never set up. Each attempt runs in a process
    of its own, as it used to end the interpreter with SIGSEGV."""
    attempts = {
        "Table": 't = kelto.Table.__new__(kelto.Table); t["X"]',
        "Table len": "len(kelto.Table.__new__(kelto.Table))",
        "Var": "kelto.Var.__new__(kelto.Var).value",
        "Waiter": "kelto.Waiter.__new__(kelto.Waiter).wait(timeout=0)",
        "Table()": "kelto.Table()",
        "base __new__": "len(kelto.Table.__mro__[1].__new__(kelto.Table))",
    }
    for label, code in attempts.items():
        script = f"import kelto\ntry:\n    {code}\nexcept TypeError as e:\n    print(e)\n"
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=30)
        assert done.returncode == 0, f"{label}: exit {done.returncode} {done.stderr}"
        assert "kelto" in done.stdout, f"{label}: {done.stdout!r} {done.stderr!r}"


def test_a_program_stopped_inside_its_open_holds_no_call_up(env, make_peer):
    """The last program is gone and another is stopped holding the gate, as
    inside its Open: every call that would pick up a new table raises
    NoLiveTable within a fraction of a second instead of the gate's 5 s,
    and a wait on another, healthy table in another thread is not held up."""
    first = make_peer()
    first.set("IORSH_SPEED", "5")
    table = kelto.attach()
    speed = table.var("IORSH_SPEED")
    assert speed.value == 5
    first("close")
    other = conftest.Peer(dict(os.environ, KELTO_SEGMENT=env + "_other"))
    other.open()
    healthy = kelto.attach(env + "_other")
    try:
        with conftest.stopped_holder("gate"):
            waits = []
            stop = threading.Event()

            def wait_on_healthy():
                while not stop.is_set():
                    started = time.monotonic()
                    healthy.wait(timeout=0.1)
                    waits.append(time.monotonic() - started)

            waiting = threading.Thread(target=wait_on_healthy)
            waiting.start()
            calls = [lambda: table["IORSH_SPEED"], lambda: speed.value, table.snapshot,
                     lambda: table.wait(timeout=5), lambda: len(table), kelto.attach,
                     lambda: kelto.attach(timeout=0.5)]
            try:
                for _ in range(3):
                    started = time.monotonic()
                    assert not table.live
                    assert time.monotonic() - started < 2.5
                    for call in calls:
                        started = time.monotonic()
                        with pytest.raises(kelto.NoLiveTable):
                            call()
                        assert time.monotonic() - started < 2.5  # 5 s and more before
            finally:
                stop.set()
                waiting.join(10)
            assert len(waits) >= 3 and max(waits) < 2.5
        # The holder is gone; the next program's table is picked up at once.
        second = make_peer()
        second.set("IORSH_SPEED", "9")
        assert table["IORSH_SPEED"] == 9 and speed.value == 9
        table.close()
    finally:
        healthy.close()
        other.end()


def test_threads_follow_a_table_that_comes_and_goes(env, make_peer):
    """Four threads read, write and wait while the program holding the table
    ends (by Close or killed) and a new one starts, 25 times: every call
    works or raises NoLiveTable, and each new table is picked up."""
    make_peer()
    table = kelto.attach()
    errors = []
    stop = threading.Event()

    def use(number):
        cycle = table.var("MEMSH_CYCLE")
        while not stop.is_set():
            try:
                if number % 2:
                    cycle.value = number
                    table["IORSH_RPM"] = cycle.value
                else:
                    table.snapshot()
                    table.live
                    table.wait(["IORSH_SPEED"], timeout=0.01)
            except kelto.NoLiveTable:
                pass
            except Exception as error:  # anything else is the fault sought
                errors.append(error)
                return

    threads = [threading.Thread(target=use, args=(number,)) for number in range(4)]
    for thread in threads:
        thread.start()
    try:
        for round_number in range(1, 26):
            last = make_peer.started[-1]
            last.kill() if round_number % 3 == 0 else last.end()
            program = make_peer()
            program.set("IORSH_SPEED", str(round_number))
            for _ in range(200):
                try:
                    if table["IORSH_SPEED"] == round_number:
                        break
                except kelto.NoLiveTable:
                    pass
                time.sleep(0.05)
            else:
                pytest.fail(f"round {round_number}: the new table was not picked up")
    finally:
        stop.set()
        for thread in threads:
            thread.join(10)
    assert errors == [] and not any(thread.is_alive() for thread in threads)
    table.close()
