"""One text rule for every client of a table: the C library's bytes, the
JSON API and its event stream, keltoctl, and the Python package show the
same characters for the same bytes (valid UTF-8 as its characters, a byte
outside it as U+DC80 + byte in JSON and Python, \\xHH in keltoctl's text),
and any bytes come back unchanged through each of them."""
import json
import os
import subprocess

import pytest

kelto = pytest.importorskip("kelto", reason="the Python package is not built")

KELTOCTL = os.environ.get("KELTOCTL", "")


def keltoctl(server, *arguments):
    """keltoctl's standard output as bytes."""
    return subprocess.run([KELTOCTL, *arguments], capture_output=True, env=server.environment,
                          check=True, timeout=20).stdout


def test_every_client_reads_and_writes_the_same_text(started, place, monkeypatch):
    # A name of valid UTF-8 and one with a byte that is not.
    with open(os.path.join(place.directory, "memsh.mem"), "wb") as file:
        file.write(b"[state]\nSTATUS=$\nCYCLE=L\nT_\xc2\xb0C=$\nT_\xb0X=$\n")
    program = started("program")
    server = started("server", "--allow-set")
    monkeypatch.setenv("KELTO_DIR", place.directory)
    monkeypatch.setenv("KELTO_SEGMENT", place.segment)
    table = kelto.attach()
    events = server.events()
    assert events.wait_for(lambda name, data: name == "table" and data["live"], timeout=5)

    # Names: the URL carries the name's bytes, the JSON its characters.
    assert server.request("GET", "/api/vars/MEMSH_T_%C2%B0C")[1]["name"] == "MEMSH_T_\u00b0C"
    assert server.request("GET", "/api/vars/MEMSH_T_%B0X")[1]["name"] == "MEMSH_T_\udcb0X"
    assert [v["name"] for v in server.request("GET", "/api/vars?match=MEMSH_T_*")[1]] == [
        "MEMSH_T_\u00b0C", "MEMSH_T_\udcb0X"]
    assert table.var("MEMSH_T_\udcb0X").name == "MEMSH_T_\udcb0X"

    # The C program writes 0xB0 alone, which is not UTF-8: one escape of
    # that byte, the same in JSON, its event, Python and keltoctl.
    program.write("text MEMSH_STATUS 25 \xb0C")
    assert server.request("GET", "/api/vars/MEMSH_STATUS")[1]["value"] == "25 \udcb0C"
    assert events.wait_for(lambda name, data: name == "values" and
                           dict(data["values"]).get(3) == "25 \udcb0C", timeout=5)
    assert table["MEMSH_STATUS"] == "25 \udcb0C"
    assert keltoctl(server, "get", "MEMSH_STATUS") == b"25 \\xb0C\n"
    assert json.loads(keltoctl(server, "get", "--json", "MEMSH_STATUS"))[0]["value"] == \
        "25 \udcb0C"

    # Python writes the character: UTF-8 in the table, the character in
    # every client, raw UTF-8 in the JSON itself.
    table["MEMSH_STATUS"] = "25 \u00b0C"
    assert keltoctl(server, "get", "--csv", "MEMSH_STATUS").endswith(b",25 \xc2\xb0C\n")
    assert keltoctl(server, "get", "MEMSH_STATUS") == b"25 \xc2\xb0C\n"
    assert server.request("GET", "/api/vars/MEMSH_STATUS")[1]["value"] == "25 \u00b0C"

    # JSON in (as json.dumps writes it, ASCII only), the bytes Python means.
    put = lambda name, value: server.request(
        "PUT", "/api/vars/" + name, json.dumps(value), {"Content-Type": "application/json"})
    assert put("MEMSH_T_%B0X", "\u20ac \udcff") == (200, {
        "ident": 6, "name": "MEMSH_T_\udcb0X", "type": "$", "size": 63, "value": "\u20ac \udcff"})
    assert table["MEMSH_T_\udcb0X"] == "\u20ac \udcff"
    assert keltoctl(server, "list", "MEMSH_T_*").endswith(b"\\xb0X\t$\t63\t\xe2\x82\xac \\xff\n")

    # What each client read goes back through the others unchanged.
    read = table["MEMSH_T_\udcb0X"]
    table["MEMSH_STATUS"] = read
    assert put("MEMSH_T_%C2%B0C", server.request("GET", "/api/vars/MEMSH_STATUS")[1]["value"]
               )[0] == 200
    shown = keltoctl(server, "get", "MEMSH_T_\u00b0C").rstrip(b"\n")
    subprocess.run([KELTOCTL, "set", "--escaped", "MEMSH_STATUS", shown], env=server.environment,
                   check=True, timeout=20)
    assert table["MEMSH_STATUS"] == table["MEMSH_T_\u00b0C"] == read

    # The limit counts bytes: 21 euros are 63, one more character is refused.
    assert put("MEMSH_STATUS", "\u20ac" * 21)[0] == 200
    status, answer = put("MEMSH_STATUS", "\u20ac" * 21 + "x")
    assert status == 400 and "64 bytes" in answer["error"]
    assert table["MEMSH_STATUS"] == "\u20ac" * 21
    table.close()
