"""The page in a real browser: headless Chromium driven through
chromium-driver, against `keltoctl serve` and a table held by a C program."""
import http.server
import os
import subprocess
import tempfile
import threading
import time

import pytest
from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait


@pytest.fixture(scope="module")
def browser():
    profile = tempfile.TemporaryDirectory(prefix="kelto-web-browser-")
    options = webdriver.ChromeOptions()
    options.binary_location = os.environ["CHROMIUM"]
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--no-first-run", "--user-data-dir=" + profile.name,
                 "--window-size=1280,900", "--force-device-scale-factor=1"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(os.environ["CHROMEDRIVER"]), options=options)
    yield driver
    driver.quit()
    profile.cleanup()


def wait_until(driver, condition, timeout=5.0, message=""):
    try:
        return WebDriverWait(driver, timeout, poll_frequency=0.02).until(
            lambda _: condition(), message)
    except TimeoutException:
        raise AssertionError(message or "timed out") from None


def value_cell(driver, name):
    return driver.find_element(By.CSS_SELECTOR, 'tr[data-name="%s"] td.value' % name)


def visible_names(driver):
    return driver.execute_script(
        "return [...document.querySelectorAll('#rows tr[data-name]')].map(r => r.dataset.name)")


def shown(driver, element_id):
    return driver.execute_script("return !document.getElementById(arguments[0]).hidden",
                                 element_id)


def test_shows_filters_and_sets_values(browser, started):
    program = started("program")
    program.write("int IORSH_SPEED 7")
    program.write("text MEMSH_STATUS warming up")
    server = started("server", "--allow-set")
    browser.get(server.url)
    wait_until(browser, lambda: len(visible_names(browser)) == 5, message="rows")
    assert visible_names(browser) == ["IORSH_SPEED", "IORSH_TEMPERATURE", "IORSH_VALVE_OPEN",
                                      "MEMSH_STATUS", "MEMSH_CYCLE"]
    assert value_cell(browser, "IORSH_SPEED").text == "7"
    assert value_cell(browser, "MEMSH_STATUS").text == "warming up"
    row = browser.find_element(By.CSS_SELECTOR, 'tr[data-name="IORSH_TEMPERATURE"]')
    assert [cell.text for cell in row.find_elements(By.TAG_NAME, "td")[:4]] == [
        "1", "IORSH_TEMPERATURE", "D", "8"]
    assert not shown(browser, "banner-table") and not shown(browser, "banner-connection")

    # A C program's write shows within a second, and the cell is marked.
    program.write("int IORSH_SPEED 1234")
    written = time.monotonic()
    wait_until(browser, lambda: value_cell(browser, "IORSH_SPEED").text == "1234", timeout=1.0,
               message="the write did not show within a second")
    assert time.monotonic() - written < 1.0
    assert "changed" in value_cell(browser, "IORSH_SPEED").get_attribute("class")
    wait_until(browser, lambda: "changed" not in value_cell(browser, "IORSH_SPEED")
               .get_attribute("class"), timeout=2, message="the mark did not end")

    # The filter takes keltoctl list's patterns.
    box = browser.find_element(By.ID, "filter")

    def type_filter(text):
        box.send_keys(Keys.CONTROL, "a")
        box.send_keys(Keys.BACKSPACE)
        if text:
            box.send_keys(text)

    type_filter("IORSH_*")
    wait_until(browser, lambda: visible_names(browser) == [
        "IORSH_SPEED", "IORSH_TEMPERATURE", "IORSH_VALVE_OPEN"], message="filter IORSH_*")
    type_filter("*_[CV]?[CL]*")
    wait_until(browser, lambda: visible_names(browser) == ["IORSH_VALVE_OPEN", "MEMSH_CYCLE"],
               message="filter with a bracket")
    type_filter("NOTHING")
    wait_until(browser, lambda: visible_names(browser) == [] and shown(browser, "no-match"),
               message="filter matching nothing")
    type_filter("")
    wait_until(browser, lambda: len(visible_names(browser)) == 5, message="filter cleared")

    # Editing in place: the server's refusal shows beside the field.
    value_cell(browser, "IORSH_VALVE_OPEN").click()
    field = value_cell(browser, "IORSH_VALVE_OPEN").find_element(By.TAG_NAME, "input")
    field.send_keys(Keys.CONTROL, "a")
    field.send_keys("300" + Keys.ENTER)
    refusal = value_cell(browser, "IORSH_VALVE_OPEN").find_element(By.CLASS_NAME, "refusal")
    wait_until(browser, lambda: refusal.text != "", message="no refusal shown")
    assert server.request("GET", "/api/vars/IORSH_VALVE_OPEN")[1]["value"] == 0
    field.send_keys(Keys.CONTROL, "a")
    field.send_keys("1" + Keys.ENTER)
    wait_until(browser, lambda: value_cell(browser, "IORSH_VALVE_OPEN").text == "1",
               message="the set value did not show")
    assert server.request("GET", "/api/vars/IORSH_VALVE_OPEN")[1]["value"] == 1
    value_cell(browser, "MEMSH_STATUS").click()
    field = value_cell(browser, "MEMSH_STATUS").find_element(By.TAG_NAME, "input")
    field.send_keys(Keys.CONTROL, "a")
    field.send_keys("r\xe9glage fin" + Keys.ENTER)
    wait_until(browser, lambda: value_cell(browser, "MEMSH_STATUS").text == "r\xe9glage fin",
               message="the text did not show")
    assert server.request("GET", "/api/vars/MEMSH_STATUS")[1]["value"] == "r\xe9glage fin"

    # A trend beside every number; a click plots it.
    assert len(browser.find_elements(By.CSS_SELECTOR, "canvas.trend")) == 4
    browser.find_element(By.CSS_SELECTOR, 'tr[data-name="IORSH_SPEED"] canvas.trend').click()
    wait_until(browser, lambda: shown(browser, "plot-panel") and browser.find_elements(
        By.CSS_SELECTOR, "#plot canvas"), message="no plot")


def test_read_only_without_allow_set(browser, started):
    started("program")
    server = started("server")
    browser.get(server.url)
    wait_until(browser, lambda: len(visible_names(browser)) == 5, message="rows")
    assert browser.find_element(By.ID, "mode").text == "read-only"
    value_cell(browser, "IORSH_SPEED").click()
    assert value_cell(browser, "IORSH_SPEED").find_elements(By.TAG_NAME, "input") == []
    # Even a script of the page itself is refused by the server.
    status = browser.execute_async_script(
        "fetch('api/vars/IORSH_SPEED', {method: 'PUT', body: '5'})"
        ".then(r => arguments[0](r.status))")
    assert status == 403


def test_text_is_typed_and_shown_as_every_client_shows_it(browser, started, place):
    """Typed characters are stored as their UTF-8; a byte that is not UTF-8
    shows as a marked \\xHH, as keltoctl shows it, and an edit keeps it."""
    with open(os.path.join(place.directory, "memsh.mem"), "wb") as file:
        file.write(b"[state]\nSTATUS=$\nCYCLE=L\nT_\xc2\xb0C=$\nT_\xb0X=$\n")
    program = started("program")
    program.write("text MEMSH_STATUS 25 \xb0C")  # 0xB0 alone
    program.write("text MEMSH_T_\xb0X a\xffb")
    server = started("server", "--allow-set")
    keltoctl = lambda *arguments: subprocess.run(
        [os.environ["KELTOCTL"], *arguments], capture_output=True, env=place.environment,
        check=True, timeout=20).stdout
    # A name with a lone surrogate cannot come back through the driver: rows by id.
    rows = lambda: browser.execute_script(
        "return [...document.querySelectorAll('#rows tr[data-name]')].map(r => r.id)")
    browser.get(server.url)
    wait_until(browser, lambda: len(rows()) == 7, message="rows")
    cell = lambda ident, column: browser.find_element(
        By.CSS_SELECTOR, "#var-%d td.%s" % (ident, column))
    marks = lambda ident, column: [mark.text for mark in cell(ident, column).find_elements(
        By.CSS_SELECTOR, "span.byte")]
    assert cell(3, "value").text == "25 \\xb0C" and marks(3, "value") == ["\\xb0"]
    assert cell(6, "name").text == "MEMSH_T_\\xb0X" and marks(6, "name") == ["\\xb0"]
    assert cell(5, "name").text == "MEMSH_T_\u00b0C" and marks(5, "name") == []

    # Characters of two and three bytes, typed.
    cell(3, "value").click()
    field = cell(3, "value").find_element(By.TAG_NAME, "input")
    field.send_keys(Keys.CONTROL, "a")
    field.send_keys("25 \u00b0C, 3 \u20ac" + Keys.ENTER)
    wait_until(browser, lambda: cell(3, "value").text == "25 \u00b0C, 3 \u20ac",
               message="the typed text did not show")
    assert keltoctl("get", "MEMSH_STATUS") == "25 \u00b0C, 3 \u20ac\n".encode()

    # A value with a byte that is not UTF-8, of a variable whose name has
    # one: the edit adds a character and keeps the byte.
    cell(6, "value").click()
    field = cell(6, "value").find_element(By.TAG_NAME, "input")
    field.send_keys(Keys.END, "\u00e9" + Keys.ENTER)
    wait_until(browser, lambda: cell(6, "value").text == "a\\xffb\u00e9",
               message="the edit of a value with a lone byte did not show")
    assert marks(6, "value") == ["\\xff"]
    assert keltoctl("list", "MEMSH_T_?X") == b"6\tMEMSH_T_\\xb0X\t$\t63\ta\\xffb\xc3\xa9\n"

    # The filter sends a typed character as its UTF-8.
    box = browser.find_element(By.ID, "filter")
    box.send_keys("*\u00b0*")
    wait_until(browser, lambda: rows() == ["var-5"],
               message="filter with a character above ASCII")


def test_banners_come_and_go_by_themselves(browser, started, place):
    server = started("server")
    browser.get(server.url)
    wait_until(browser, lambda: shown(browser, "banner-table"), message="no-table banner")
    assert place.segment in browser.find_element(By.ID, "banner-table").text
    program = started("program")
    wait_until(browser, lambda: not shown(browser, "banner-table") and
               len(visible_names(browser)) == 5, message="the table was not picked up")
    program.close()
    if not os.path.exists("/dev/shm/" + place.segment):
        wait_until(browser, lambda: shown(browser, "banner-table"), message="banner after close")

    # The server goes away and comes back on the same address.
    assert server.stop() == 0
    wait_until(browser, lambda: shown(browser, "banner-connection"), message="connection banner")
    again = started("server", listen="127.0.0.1:%d" % server.port)
    wait_until(browser, lambda: not shown(browser, "banner-connection"), timeout=8,
               message="the connection banner did not clear")
    assert again.port == server.port


class Recorder(http.server.BaseHTTPRequestHandler):
    """Another HTTP server of the host: it keeps what every request brought."""
    seen = []

    def do_GET(self):  # noqa: N802 (the base class's name)
        Recorder.seen.append((self.path, dict(self.headers)))
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.end_headers()
        self.wfile.write(b"elsewhere\n")

    def log_message(self, *_):
        pass


def test_pages_with_tokens_keep_them_to_their_own_server(browser, started, tmp_path):
    program = started("program")
    tokens = ["token-of-page-%s-0123456789" % name for name in "ab"]
    servers = []
    for name, token in zip("ab", tokens):
        (tmp_path / name).write_text(token + "\n")
        servers.append(started("server", "--allow-remote", "--allow-set", "--token-file",
                               str(tmp_path / name)))
    other = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Recorder)
    threading.Thread(target=other.serve_forever, daemon=True).start()
    first_tab = browser.current_window_handle
    try:
        # Two servers of one host, each open in a tab of one browser.
        tabs = []
        for server, token in zip(servers, tokens):
            browser.switch_to.new_window("tab")
            tabs.append(browser.current_window_handle)
            browser.get(server.origin + "/?token=" + token)
            wait_until(browser, lambda: len(visible_names(browser)) == 5, message="rows")
            assert "token" not in browser.current_url, "the token stayed in the address"
            assert browser.get_cookies() == []
        # Neither locks the other out: a write shows live in both, and the
        # first page still sets values (its writes carry its own token).
        program.write("int IORSH_SPEED 4321")
        for tab in tabs:
            browser.switch_to.window(tab)
            wait_until(browser, lambda: value_cell(browser, "IORSH_SPEED").text == "4321",
                       message="a page lost its live updates")
        browser.switch_to.window(tabs[0])
        value_cell(browser, "IORSH_VALVE_OPEN").click()
        field = value_cell(browser, "IORSH_VALVE_OPEN").find_element(By.TAG_NAME, "input")
        field.send_keys(Keys.CONTROL, "a")
        field.send_keys("1" + Keys.ENTER)
        wait_until(browser, lambda: value_cell(browser, "IORSH_VALVE_OPEN").text == "1",
                   message="the set value did not show")
        bearer = {"Authorization": "Bearer " + tokens[0]}
        assert servers[0].request("GET", "/api/vars/IORSH_VALVE_OPEN",
                                  headers=bearer)[1]["value"] == 1
        # A reload keeps working: the tab kept the token for its own origin.
        browser.refresh()
        wait_until(browser, lambda: len(visible_names(browser)) == 5, message="rows after reload")
        program.write("int IORSH_SPEED 99")
        wait_until(browser, lambda: value_cell(browser, "IORSH_SPEED").text == "99",
                   message="no live updates after a reload")
        assert not shown(browser, "banner-connection")
        # Back after a restart: the page opens its stream again with a
        # fresh ticket (the browser's own retry would bring the used one).
        assert servers[0].stop() == 0
        wait_until(browser, lambda: shown(browser, "banner-connection"),
                   message="connection banner")
        started("server", "--allow-remote", "--allow-set", "--token-file", str(tmp_path / "a"),
                listen="127.0.0.1:%d" % servers[0].port)
        wait_until(browser, lambda: not shown(browser, "banner-connection"), timeout=8,
                   message="the page did not come back after the restart")
        program.write("int IORSH_SPEED 77")
        wait_until(browser, lambda: value_cell(browser, "IORSH_SPEED").text == "77",
                   message="no live updates after the restart")

        # The other server of the host gets nothing from either page.
        browser.get("http://127.0.0.1:%d/elsewhere" % other.server_address[1])
        wait_until(browser, lambda: any(path == "/elsewhere" for path, _ in Recorder.seen),
                   message="the other server was not visited")
        for path, headers in Recorder.seen:
            assert not any(name.lower() == "cookie" for name in headers), headers
            brought = path + repr(headers)
            assert not any(token in brought for token in tokens), brought
    finally:
        for handle in browser.window_handles:
            if handle != first_tab:
                browser.switch_to.window(handle)
                browser.close()
        browser.switch_to.window(first_tab)
        other.shutdown()
        other.server_close()


def test_screenshot_of_the_demo(browser, started, place):
    """The picture in the README: the demo's values with a plot."""
    if "KELTO_DEMO" not in os.environ:
        pytest.skip("built without the examples: no demo writer")
    examples = os.environ["KELTO_EXAMPLES"]
    place.segment = "kelto-demo-%d" % os.getpid()
    place.environment["KELTO_SEGMENT"] = place.segment
    for name in ("iorsh.mem", "memsh.mem"):
        with open(os.path.join(examples, name)) as source:
            with open(os.path.join(place.directory, name), "w") as target:
                target.write(source.read())
    demo = subprocess.Popen([os.environ["KELTO_DEMO"], "writer", "150"],
                            stdout=subprocess.DEVNULL, env=place.environment)
    try:
        server = started("server", "--allow-set")
        time.sleep(0.3)
        browser.get(server.url)
        wait_until(browser, lambda: len(visible_names(browser)) == 5, message="rows")
        for name in ("IORSH_SPEED", "MEMSH_CYCLE"):
            browser.find_element(By.CSS_SELECTOR, 'tr[data-name="%s"] canvas.trend' % name).click()
        time.sleep(9)
        browser.set_window_size(1280, 830)  # the picture ends with the table
        browser.execute_script("window.scrollTo(0, 0)")
        plot = browser.find_element(By.ID, "plot")
        # Hovering shows the values at that moment in the legend.
        ActionChains(browser).move_to_element_with_offset(
            plot, int(plot.size["width"] * 0.2), 0).perform()
        wait_until(browser, lambda: any(ch.isdigit() for ch in
                                        browser.find_element(By.ID, "plot-legend").text),
                   message="no values on hover")
        browser.save_screenshot(os.environ["WEB_SCREENSHOT"])
    finally:
        browser.set_window_size(1280, 900)
        # Its own end closes the table; a kill would leave it behind.
        if demo.wait(30) != 0:
            demo.kill()
