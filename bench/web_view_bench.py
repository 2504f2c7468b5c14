#!/usr/bin/python3
"""Measures keltoctl serve with a large, busy table, beside baselines from
the same run:

  - the server's CPU (share of one core) with 10,000 variables of which
    1,000 change each second, against the same server with the table idle;
  - the delay from a write to the update of the page in headless Chromium
    (median and tail), each write carrying its own wall-clock time;
  - the time to answer an API request with 32 pages (event streams) open,
    against the same request with none open.

Usage: /usr/bin/python3 bench/web_view_bench.py [BUILD_DIR] [--seconds N]
It builds keltoctl, web_table_program and web_bench_writer in BUILD_DIR
(default: build) and needs chromium, chromium-driver and python3-selenium.
"""
import argparse
import http.client
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VARIABLES = 10000
RATE = 1000
PAGES = 32

# Records, on the page, how long each value written took to show: the
# writer writes its wall-clock time in milliseconds as the value.
OBSERVE_LATENCY = """
window.keltoLatencies = [];
new MutationObserver((records) => {
  const now = performance.timeOrigin + performance.now();
  const cells = new Set(records.map((record) => record.target.closest('td.value')));
  for (const cell of cells) {
    if (!cell) continue;
    const written = Number(cell.textContent);
    if (written > 1e12) window.keltoLatencies.push(now - written);
  }
}).observe(document.getElementById('rows'), {childList: true, subtree: true});
"""


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def core_share(pid, seconds):
    """The share of one core that `pid` used over the next `seconds`."""
    before, start = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(pid) - before) / (time.monotonic() - start)


def request_times_ms(server, count=40):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        status, _ = server.request("GET", "/api/vars/IORSH_V00001")
        times.append((time.perf_counter() - start) * 1000)
        assert status == 200, status
    return times


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def start_browser(profile):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--no-first-run", "--user-data-dir=" + profile,
                 "--window-size=1280,900"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--seconds", type=float, default=20)
    arguments = parser.parse_args()
    build = os.path.abspath(arguments.build)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "keltoctl",
                    "web_table_program", "web_bench_writer"], check=True,
                   stdout=subprocess.DEVNULL)
    os.environ["KELTOCTL"] = os.path.join(build, "tools/keltoctl/keltoctl")
    os.environ["WEB_TABLE_PROGRAM"] = os.path.join(build, "tests/web/web_table_program")
    sys.path.insert(0, os.path.join(ROOT, "tests/web"))
    import conftest  # the test's program, server and event stream helpers

    directory = tempfile.TemporaryDirectory(prefix="kelto-web-bench-")
    place = conftest.Place(directory.name)
    place.write_definitions("[inputs]\n" + "".join("V%05d=D\n" % i for i in range(VARIABLES)),
                            "")
    program = conftest.Program(place)
    writer = subprocess.Popen([os.path.join(build, "bench/web/web_bench_writer"), str(RATE),
                               str(arguments.seconds)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, env=place.environment)
    print("writer:", writer.stdout.readline().strip())
    server = conftest.Server(place)
    browser = start_browser(os.path.join(directory.name, "profile"))
    try:
        started = time.monotonic()
        browser.get(server.url)
        while browser.execute_script("return document.getElementById('count').textContent") \
                != "%d variables" % VARIABLES:
            time.sleep(0.05)
        print("page with %d rows loaded in %.2f s" % (VARIABLES, time.monotonic() - started))
        browser.execute_script(OBSERVE_LATENCY)
        time.sleep(3)  # the page's loading connections close

        # The server's own share of the delay: the time of each event it
        # sends, against the write times of the values in it.
        own_stream = server.events()
        idle = core_share(server.process.pid, 5)
        writer.stdin.write("go\n")
        writer.stdin.flush()
        time.sleep(1)  # past the start
        busy = core_share(server.process.pid, arguments.seconds - 2)
        print("writer:", writer.stdout.readline().strip())
        writer.wait(30)
        time.sleep(0.5)
        latencies = browser.execute_script("return window.keltoLatencies")
        published = []
        while (event := own_stream.next(timeout=0.2)) is not None:
            if event[0] == "values":
                published += [event[1]["time"] - value for _, value in event[1]["values"]
                              if isinstance(value, float) and value > 1e12]
        own_stream.close()

        alone = request_times_ms(server)
        streams = [server.events() for _ in range(PAGES)]
        assert all(stream.status == 200 for stream in streams)
        for stream in streams:
            assert stream.wait_for(lambda name, data: name == "table", timeout=30)
        crowded = request_times_ms(server)
        for stream in streams:
            stream.close()
    finally:
        browser.quit()
        assert server.stop() == 0
        program.close()
        for suffix in ("", ".lock", ".changes"):
            if os.path.exists("/dev/shm/" + place.segment + suffix):
                os.unlink("/dev/shm/" + place.segment + suffix)

    print()
    print("| measure | baseline | result |")
    print("|---|---|---|")
    print("| server CPU, share of one core | %.2f %% (table idle, page open) | %.2f %% "
          "(%d changes/s over %d variables) |" % (idle * 100, busy * 100, RATE, VARIABLES))
    print("| write to page update, ms | write to the server's event: median %.1f, 99th %.1f "
          "(%d values) | median %.1f, 90th %.1f, 99th %.1f, max %.1f (%d updates in sight) |"
          % (statistics.median(published), percentile(published, 0.99), len(published),
             statistics.median(latencies), percentile(latencies, 0.9),
             percentile(latencies, 0.99), max(latencies), len(latencies)))
    print("| GET /api/vars/NAME, ms | median %.2f, max %.2f (no page open) | median %.2f, "
          "max %.2f (%d event streams open) |"
          % (statistics.median(alone), max(alone), statistics.median(crowded), max(crowded),
             PAGES))


if __name__ == "__main__":
    main()
