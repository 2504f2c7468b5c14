"""Fixtures of the recording tests: tables of their own (a directory with
definition files and a segment name per table), C programs that hold and
write them, and keltoctl record and replay run as users run them."""

import os
import signal
import subprocess
import time
import uuid

import h5py
import pytest
from peer_process import PeerProcess, built_program, shm_objects

IORSH = b"SPEED=L\nTEMPERATURE=D\nVALVE_OPEN=B\nGEAR=H\nRPM=W\nMARK=Q\n"
MEMSH = b"STATUS=$\nCYCLE=L\n"


class Table:
    """A directory with definition files and a fresh segment name."""

    def __init__(self, directory, iorsh=IORSH, memsh=MEMSH):
        directory.mkdir(parents=True, exist_ok=True)
        (directory / "iorsh.mem").write_bytes(iorsh)
        (directory / "memsh.mem").write_bytes(memsh)
        self.directory = directory
        self.segment = f"kelto_rec_{os.getpid()}_{uuid.uuid4().hex[:10]}"
        self.environ = dict(os.environ, KELTO_DIR=str(directory), KELTO_SEGMENT=self.segment)


class Peer(PeerProcess):
    """A C program holding a table, driven line by line."""

    def __init__(self, table):
        super().__init__(built_program("KELTO_RECORDING_PEER"), table.environ)
        self.open()


class Processes:
    """Starts tables' holders and keltoctl runs; ends what is left after the test."""

    def __init__(self, tmp_path):
        self.tmp_path = tmp_path
        self.peers = []
        self.runs = []
        self.tables = []

    def table(self, name="a", **definitions):
        table = Table(self.tmp_path / name, **definitions)
        self.tables.append(table)
        return table

    def peer(self, table):
        peer = Peer(table)
        self.peers.append(peer)
        return peer

    def keltoctl(self, table, *arguments, **options):
        run = subprocess.Popen([built_program("KELTOCTL"), *arguments], env=table.environ,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               errors="surrogateescape", **options)
        self.runs.append(run)
        return run

    def record(self, table, path, *arguments, **options):
        """A recorder that has written its first rows."""
        run = self.keltoctl(table, "record", str(path), *arguments, **options)
        wait_for(lambda: run.poll() is not None or events_of(path, swmr=True),
                 "the recording to start")
        assert run.poll() is None, run.communicate()
        return run

    def finish(self):
        for run in self.runs:
            if run.poll() is None:
                run.kill()
            run.communicate(timeout=10)
        for peer in self.peers:
            peer.end()


def wait_for(condition, what, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    pytest.fail(f"timed out waiting for {what}")


def events_of(path, swmr=False):
    """The events of a recording as (kind, text) pairs; [] while it cannot be read."""
    try:
        with h5py.File(path, "r", swmr=swmr) as recording:
            return [(kind.decode(), text.decode()) for _, kind, text in recording["events"][:]]
    except (OSError, KeyError):
        return []


def stop(run, sig=signal.SIGTERM):
    run.send_signal(sig)
    _, errors = run.communicate(timeout=30)
    return run.returncode, errors


@pytest.fixture
def processes(tmp_path):
    started = Processes(tmp_path)
    yield started
    started.finish()
    for table in started.tables:
        assert shm_objects(table.segment) == [], "objects of the segment were left behind"
