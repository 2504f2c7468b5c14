"""Reading and writing values, against a C program holding the table."""

import collections.abc

import pytest

import kelto


def test_values_in_both_directions(peer):
    """Values the C program writes read back as Python types; values Python
    writes are what the C program reads."""
    peer.set("IORSH_SPEED", "-120")
    peer.set("IORSH_TEMPERATURE", "21.5")
    peer.set("IORSH_VALVE_OPEN", "255")
    peer.set("MEMSH_STATUS", r"caf\xe9 \xff")  # bytes that are not UTF-8
    with kelto.attach() as table:
        assert table["IORSH_SPEED"] == -120
        assert type(table["IORSH_TEMPERATURE"]) is float and table["IORSH_TEMPERATURE"] == 21.5
        assert table["IORSH_VALVE_OPEN"] == 255
        status = table["MEMSH_STATUS"]
        assert status == "caf\udce9 \udcff"

        table["IORSH_SPEED"] = -(2**31)
        table["IORSH_TEMPERATURE"] = 7  # an int into D, exactly
        table["IORSH_RPM"] = 65535
        table["MEMSH_STATUS"] = "héllo " + status[-1]  # written back byte for byte
        table.iorsh["GEAR"] = 3
        assert peer.get("IORSH_SPEED") == "-2147483648"
        assert peer.get("IORSH_TEMPERATURE") == "7"
        assert peer.get("IORSH_RPM") == "65535"
        assert peer.get("MEMSH_STATUS") == "h\u00e9llo \\xff"  # shown as keltoctl shows it
        assert peer.get("IORSH_GEAR") == "3"

        speed = table.var("IORSH_SPEED")
        assert (speed.name, speed.type, speed.size, speed.ident) == ("IORSH_SPEED", "L", 4, 0)
        speed.value = 77
        assert speed.value == 77 and peer.get("IORSH_SPEED") == "77"
        peer.set("IORSH_SPEED", "78")
        assert speed.value == 78


def test_refused_values_write_nothing(peer):
    peer.set("IORSH_VALVE_OPEN", "9")
    peer.set("MEMSH_STATUS", "kept")
    peer.set("IORSH_SPEED", "5")
    with kelto.attach() as table:
        valve = table.var("IORSH_VALVE_OPEN")
        refusals = [
            (OverflowError, "IORSH_VALVE_OPEN", 256),
            (OverflowError, "IORSH_VALVE_OPEN", -1),
            (OverflowError, "IORSH_SPEED", 2**31),
            (OverflowError, "IORSH_SPEED", 2**70),
            (ValueError, "IORSH_TEMPERATURE", 2**53 + 1),  # no exact double
            (ValueError, "MEMSH_STATUS", "x" * 64),
            (ValueError, "MEMSH_STATUS", "é" * 32),  # 64 bytes
            (ValueError, "MEMSH_STATUS", "a\0b"),
            (TypeError, "IORSH_SPEED", 1.0),
            (TypeError, "IORSH_SPEED", "5"),
            (TypeError, "MEMSH_STATUS", 5),
            (TypeError, "IORSH_TEMPERATURE", "1.5"),
            (TypeError, "IORSH_MARK", 1),  # a type that holds no value
            (KeyError, "IORSH_NOPE", 1),
            (KeyError, "SPEED", 1),
        ]
        for error, name, value in refusals:
            with pytest.raises(error):
                table[name] = value
        with pytest.raises(OverflowError):
            valve.value = 300
        with pytest.raises(TypeError):
            valve.value = "1"
        with pytest.raises(TypeError):
            del table["IORSH_SPEED"]
        with pytest.raises(TypeError):
            table["IORSH_MARK"]
        for missing in ("NOPE", "IORSH_SPEED\0x", 5, b"IORSH_SPEED"):
            with pytest.raises(KeyError):
                table[missing]
            assert missing not in table
        with pytest.raises(KeyError):
            table.var("NOPE")
        with pytest.raises(KeyError):
            table.memsh["SPEED"]
        # A timeout is a number of seconds, as for time.sleep.
        for timeout in ("5", [1], b"1"):
            with pytest.raises(TypeError):
                table.wait(timeout=timeout)
            with pytest.raises(TypeError):
                kelto.attach(timeout=timeout)
        for timeout in (-1, float("nan")):
            with pytest.raises(ValueError):
                table.wait(timeout=timeout)
        table["MEMSH_STATUS"] = "y" * 63  # the longest text fits
        assert table["MEMSH_STATUS"] == "y" * 63
    assert peer.get("IORSH_VALVE_OPEN") == "9"
    assert peer.get("IORSH_SPEED") == "5"
    assert peer.get("MEMSH_STATUS") == "y" * 63


def test_mapping_of_names(peer):
    names = ["IORSH_SPEED", "IORSH_TEMPERATURE", "IORSH_VALVE_OPEN", "IORSH_GEAR", "IORSH_RPM",
             "IORSH_MARK", "MEMSH_STATUS", "MEMSH_CYCLE"]
    peer.set("MEMSH_CYCLE", "4")
    with kelto.attach() as table:
        assert isinstance(table, collections.abc.Mapping)
        assert list(table) == names and list(table.keys()) == names and len(table) == len(names)
        assert "MEMSH_CYCLE" in table and "CYCLE" not in table
        snapshot = table.snapshot()
        assert type(snapshot) is dict and list(snapshot) == names
        assert snapshot["MEMSH_CYCLE"] == 4 and snapshot["IORSH_MARK"] is None
        assert dict(table.items()) == snapshot and list(table.values()) == list(snapshot.values())
        assert table.get("NOPE", "default") == "default"
        assert list(table.memsh) == ["STATUS", "CYCLE"]
        assert table.memsh.snapshot() == {"STATUS": "", "CYCLE": 4}
        assert table.iorsh.var("SPEED").name == "IORSH_SPEED"
        assert table.segment and not table.program and table.live
        assert "attached" in repr(table)
    assert table.closed
    with pytest.raises(ValueError):
        table["IORSH_SPEED"]
