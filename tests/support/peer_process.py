"""What the pytest suites share: the programs ctest built for them, the
objects a segment has in /dev/shm, and the peer (python/tests/peer.cc), a C
program that holds a table and is driven one command a line."""

import os
import pathlib
import subprocess

import pytest


def built_program(variable):
    path = os.environ.get(variable)
    if not path:
        pytest.fail(f"{variable} is not set: run these tests through ctest")
    return path


def shm_objects(segment):
    return sorted(p.name for p in pathlib.Path("/dev/shm").glob(segment + "*"))


class PeerProcess:
    """The peer program `program`: a command a line on its standard input,
    a reply a line on its standard output."""

    def __init__(self, program, environment=None):
        self.process = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, bufsize=1, errors="surrogateescape",
                                        env=environment)

    def __call__(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        reply = self.process.stdout.readline().rstrip("\n")
        assert not reply.startswith("error"), f"{command!r}: {reply}"
        return reply

    def open(self):
        return self("open")

    def set(self, name, text):
        self(f"set {name} {text}")

    def get(self, name):
        return self(f"get {name}").removeprefix("value ")

    def end(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(timeout=10)

    def kill(self):
        self.process.kill()
        self.process.wait(timeout=10)
