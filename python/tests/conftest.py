"""Fixtures of the kelto Python tests: a fresh directory with definition
files and a segment name of its own for every test, and programs in other
processes that hold the table (kelto_py_peer) or write it (kelto_demo)."""

import contextlib
import os
import pathlib
import time
import uuid

import pytest

import kelto
from peer_process import PeerProcess, built_program, shm_objects

IORSH = "SPEED=L\nTEMPERATURE=D\nVALVE_OPEN=B\nGEAR=H\nRPM=W\nMARK=Q\n"
MEMSH = "STATUS=$\nCYCLE=L\n"


@pytest.fixture
def env(tmp_path, monkeypatch):
    """KELTO_DIR with the definitions above and a fresh KELTO_SEGMENT; after
    the test, no object of the segment may be left in /dev/shm."""
    (tmp_path / "iorsh.mem").write_text(IORSH)
    (tmp_path / "memsh.mem").write_text(MEMSH)
    segment = f"kelto_py_{os.getpid()}_{uuid.uuid4().hex[:10]}"
    monkeypatch.setenv("KELTO_DIR", str(tmp_path))
    monkeypatch.setenv("KELTO_SEGMENT", segment)
    yield segment
    assert shm_objects(segment) == [], "objects of the segment were left behind"


class Peer(PeerProcess):
    """A C program holding the table, driven line by line."""

    def __init__(self, environment=None):
        super().__init__(built_program("KELTO_PY_PEER"), environment)


class Peers:
    """Starts peers holding the table; each is ended (Close, exit) after the test."""

    def __init__(self):
        self.started = []

    def __call__(self):
        peer = Peer()
        self.started.append(peer)
        peer.open()
        return peer


@pytest.fixture
def make_peer(env):
    peers = Peers()
    yield peers
    for peer in peers.started:
        peer.end()


@pytest.fixture
def peer(make_peer):
    """One program holding the table."""
    return make_peer()


@pytest.fixture
def demo():
    return built_program("KELTO_DEMO")


def wait_until_stopped(process):
    """Until `process` is stopped by a signal (state T in /proc), at most 10 s."""
    for _ in range(1000):
        fields = pathlib.Path(f"/proc/{process.pid}/stat").read_text().rsplit(")", 1)[1].split()
        if fields[0] in ("T", "t"):
            return
        time.sleep(0.01)
    pytest.fail("the holder did not stop")


@contextlib.contextmanager
def stopped_holder(lock):
    """A process that took `lock` ("gate": the segment's lock file, as a
    program's Open does; "drain": the change log's lock, as a waiter does)
    and then stopped (SIGSTOP) holding it, as under a debugger or Ctrl-Z.
    Killed on leaving, which lets go of the lock."""
    holder = Peer()
    try:
        assert holder(f"stop {lock}") == "ok"
        wait_until_stopped(holder.process)
        yield holder
    finally:
        holder.kill()
