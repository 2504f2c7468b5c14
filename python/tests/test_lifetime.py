"""Attaching, the table going away and coming back, kelto.open()."""

import os
import pathlib
import subprocess
import sys
import threading
import time

import pytest

import kelto


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
