"""Fixtures for the web view's tests: a table held by a real C program, the
real `keltoctl serve` on a free loopback port, and HTTP helpers."""
import http.client
import json
import os
import queue
import select
import shutil
import signal
import socket
import subprocess
import threading
import time
import urllib.parse
import uuid

import pytest

KELTOCTL = os.environ.get("KELTOCTL", "")
TABLE_PROGRAM = os.environ.get("WEB_TABLE_PROGRAM", "")

IORSH = "[inputs]\nSPEED=L\nTEMPERATURE=D\nVALVE_OPEN=B\n"
MEMSH = "[state]\nSTATUS=$\nCYCLE=L\n"


class Place:
    """A test's own directory of definition files and its own segment."""

    def __init__(self, directory):
        self.directory = str(directory)
        self.segment = "kelto-web-test-%d-%s" % (os.getpid(), uuid.uuid4().hex[:8])
        self.write_definitions(IORSH, MEMSH)
        self.environment = dict(os.environ, KELTO_DIR=self.directory,
                                KELTO_SEGMENT=self.segment)

    def write_definitions(self, iorsh, memsh):
        for name, text in (("iorsh.mem", iorsh), ("memsh.mem", memsh)):
            with open(os.path.join(self.directory, name), "w") as file:
                file.write(text)


class Program:
    """A C program that holds the table and writes what it is told."""

    def __init__(self, place):
        self.segment = place.segment
        self.process = subprocess.Popen([TABLE_PROGRAM], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, encoding="latin-1",
                                        env=place.environment)
        assert self._answer() == "ready"

    def _answer(self, timeout=20):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        assert ready, "the table program did not answer"
        return self.process.stdout.readline().strip()

    def write(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        assert self._answer() == "ok", command

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.write("close\n")
            self.process.stdin.close()
            assert self.process.wait(10) == 0


class Server:
    """`keltoctl serve` on a free port of 127.0.0.1, stopped by SIGTERM."""

    def __init__(self, place, *options, listen="127.0.0.1:0", preexec_fn=None):
        self.environment = place.environment
        self.process = subprocess.Popen([KELTOCTL, "serve", "--listen", listen, *options],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, env=place.environment,
                                        preexec_fn=preexec_fn)
        ready, _, _ = select.select([self.process.stdout], [], [], 20)
        line = self.process.stdout.readline() if ready else ""
        assert line.startswith("keltoctl serve: http://"), line + self.process.stderr.read()
        self.url = line.split()[2]
        parts = urllib.parse.urlsplit(self.url)
        self.host, self.port = parts.hostname, parts.port
        self.token = urllib.parse.parse_qs(parts.query).get("token", [""])[0]
        self.origin = "http://%s:%d" % (self.host, self.port)

    def request(self, method, path, body=None, headers=None):
        """(status, parsed JSON or text) of one request."""
        connection = http.client.HTTPConnection(self.host, self.port, timeout=10)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            data = response.read().decode("utf-8")  # always valid: lone bytes are escaped
            if response.getheader("Content-Type", "").startswith("application/json"):
                return response.status, json.loads(data)
            return response.status, data
        finally:
            connection.close()

    def events(self, headers=None, path="/api/events"):
        return EventStream(self, headers, path)

    def stop(self):
        """Ends the server as Ctrl-C would and returns its exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(15)
        finally:
            self.process.stdout.close()
            self.process.stderr.close()


class EventStream:
    """The server's event stream, read by a thread of its own into a queue
    (a socket that timed out cannot be read on)."""

    def __init__(self, server, headers=None, path="/api/events"):
        self.connection = http.client.HTTPConnection(server.host, server.port, timeout=10)
        self.connection.request("GET", path, headers=headers or {})
        self.response = self.connection.getresponse()
        self.status = self.response.status
        self.queue = queue.Queue()
        if self.status == 200:
            self.connection.sock.settimeout(None)
            threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        name = None
        try:
            for raw in self.response:
                line = raw.decode("utf-8").rstrip("\n")
                if line.startswith("event: "):
                    name = line[len("event: "):]
                elif line.startswith("data: ") and name is not None:
                    self.queue.put((name, json.loads(line[len("data: "):])))
                    name = None
        except Exception:  # the stream was closed under the reader
            pass

    def next(self, timeout=5.0):
        """(event name, parsed data), or None when nothing came in time."""
        try:
            return self.queue.get(timeout=max(timeout, 0.001))
        except queue.Empty:
            return None

    def wait_for(self, accept, timeout=5.0):
        """The first event for which accept(name, data) is true, or None."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            event = self.next(max(0.05, deadline - time.monotonic()))
            if event is not None and accept(*event):
                return event
        return None

    def close(self):
        if self.connection.sock is not None:
            self.connection.sock.shutdown(socket.SHUT_RDWR)
        self.connection.close()


@pytest.fixture
def place(tmp_path):
    if not (os.access(KELTOCTL, os.X_OK) and os.access(TABLE_PROGRAM, os.X_OK)):
        pytest.fail("KELTOCTL and WEB_TABLE_PROGRAM must name the built programs")
    place = Place(tmp_path)
    yield place
    # What a killed program leaves behind, as the C++ tests' environment does.
    for suffix in ("", ".lock", ".changes"):
        try:
            os.unlink("/dev/shm/" + place.segment + suffix)
        except FileNotFoundError:
            pass


@pytest.fixture
def started(place):
    """start(kind, ...) starts a Program or a Server; all are stopped after
    the test, and every server must have stopped cleanly."""
    programs, servers = [], []

    def start(kind, *options, **named):
        if kind == "program":
            programs.append(Program(place))
            return programs[-1]
        servers.append(Server(place, *options, **named))
        return servers[-1]

    yield start
    statuses = [server.stop() for server in servers]
    for program in programs:
        program.close()
    assert statuses == [0] * len(servers), "a server did not stop cleanly"
