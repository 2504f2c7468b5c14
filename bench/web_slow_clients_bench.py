#!/usr/bin/python3
"""Measures keltoctl serve under slow and oversized clients, beside
baselines from the same run:

  - the time to answer GET /api/vars/NAME with 1,000 connections trickling
    their headers a byte at a time, against the same request with none
    (goal: median under 100 ms);
  - the server's peak memory after 100 requests at once each sending 8 MiB
    of headers, against its peak before them (goal: under 64 MiB more).

Usage: /usr/bin/python3 bench/web_slow_clients_bench.py [BUILD_DIR]
It builds keltoctl and web_table_program in BUILD_DIR (default: build).
"""
import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SLOW = 1000
OVERSIZED = 100


def request_times_ms(server, count=40):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        status, _ = server.request("GET", "/api/vars/IORSH_SPEED")
        times.append((time.perf_counter() - start) * 1000)
        assert status == 200, status
    return times


def trickling_times_ms(server, hostile):
    """Request times while SLOW connections trickle (all within their 5 s)."""
    slow = [hostile.connect(server) for _ in range(SLOW)]
    for sock in slow:
        sock.sendall(b"GET /api/vars HTTP/1.1\r\nHo")
    trickle = hostile.Trickle(slow, b"s", 0.5)
    try:
        return request_times_ms(server)
    finally:
        trickle.stop()
        for sock in slow:
            sock.close()


def oversized_growth_mib(server, hostile):
    before = hostile.peak_rss(server.process)
    start = ("GET /api/vars HTTP/1.1\r\n" + hostile.head(server)).encode()
    threads = [threading.Thread(target=hostile.send_until_answered,
                                args=(server, start, b"X-Small: aaaaaaaaaa\r\n" * 3000,
                                      8 * hostile.MIB)) for _ in range(OVERSIZED)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return before / hostile.MIB, (hostile.peak_rss(server.process) - before) / hostile.MIB


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    build = os.path.abspath(parser.parse_args().build)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "keltoctl",
                    "web_table_program"], check=True, stdout=subprocess.DEVNULL)
    os.environ["KELTOCTL"] = os.path.join(build, "tools/keltoctl/keltoctl")
    os.environ["WEB_TABLE_PROGRAM"] = os.path.join(build, "tests/web/web_table_program")
    sys.path.insert(0, os.path.join(ROOT, "tests/web"))
    import conftest  # the test's program and server
    import test_hostile_clients as hostile  # its raw-socket clients

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, SLOW + 200), hard))
    directory = tempfile.TemporaryDirectory(prefix="kelto-web-slow-bench-")
    place = conftest.Place(directory.name)
    program = conftest.Program(place)
    server = conftest.Server(place)
    try:
        while server.request("GET", "/api/vars")[0] != 200:
            time.sleep(0.05)
        alone = request_times_ms(server)
        crowded = trickling_times_ms(server, hostile)
        time.sleep(6)  # the trickling connections' deadline passes
        peak, growth = oversized_growth_mib(server, hostile)
    finally:
        assert server.stop() == 0
        program.close()
        for suffix in ("", ".lock", ".changes"):
            if os.path.exists("/dev/shm/" + place.segment + suffix):
                os.unlink("/dev/shm/" + place.segment + suffix)

    print("| measure | baseline | result | goal |")
    print("|---|---|---|---|")
    print("| GET /api/vars/NAME, ms | median %.2f, max %.2f (alone) | median %.2f, max %.2f "
          "(%d connections trickling) | median < 100 |"
          % (statistics.median(alone), max(alone), statistics.median(crowded), max(crowded),
             SLOW))
    print("| server peak memory, MiB | %.1f (before) | +%.1f (%d requests of 8 MiB headers "
          "at once) | < +64 |" % (peak, growth, OVERSIZED))


if __name__ == "__main__":
    main()
