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


def test_numbers_into_d_are_taken_when_exact(peer):
    """A D takes every number whose double is exact, whatever its Python
    type; a number too large for any double is an OverflowError, an inexact
    one a ValueError, and neither writes anything."""
    import fractions
    import numpy
    with kelto.attach() as table:
        temperature = table.var("IORSH_TEMPERATURE")
        exact = [2**53, 2**63, 2**64, -(2**63) - 2**11, 2**1023, 2**1023 + 2**971, 3,
                 numpy.float32(0.1), numpy.float16(-2.5), numpy.float32("inf"),
                 numpy.int64(-(2**62)), numpy.uint64(2**64 - 2**11), fractions.Fraction(3, 4),
                 True]
        for value in exact:
            for write in (lambda v: table.__setitem__("IORSH_TEMPERATURE", v),
                          lambda v: setattr(temperature, "value", v)):
                table["IORSH_TEMPERATURE"] = -1.0
                write(value)
                assert table["IORSH_TEMPERATURE"] == float(value), value
                assert float(peer.get("IORSH_TEMPERATURE")) == float(value), value
        table["IORSH_TEMPERATURE"] = numpy.float32("nan")
        assert table["IORSH_TEMPERATURE"] != table["IORSH_TEMPERATURE"]
        table["IORSH_TEMPERATURE"] = 1.5
        refused = [(OverflowError, 2**1024), (OverflowError, -(2**1100)),
                   (ValueError, 2**53 + 1), (ValueError, 2**64 + 1),
                   (ValueError, fractions.Fraction(1, 3)), (TypeError, "1.5"),
                   (TypeError, b"1"), (TypeError, 1j)]
        for error, value in refused:
            with pytest.raises(error):
                table["IORSH_TEMPERATURE"] = value
            with pytest.raises(error):
                temperature.value = value
        assert table["IORSH_TEMPERATURE"] == 1.5 and peer.get("IORSH_TEMPERATURE") == "1.5"
        # Integer types still take only whole numbers, never a float.
        for value in (numpy.float32(2), fractions.Fraction(2, 1)):
            with pytest.raises(TypeError):
                table["IORSH_SPEED"] = value


def test_arguments_of_the_wrong_kind_say_so(peer):
    """get() agrees with snapshot(); names given as bytes, a NaN timeout and a
    segment name that is no text are clear errors of their own."""
    with kelto.attach() as table:
        assert table.get("IORSH_MARK", "default") is None
        assert table.iorsh.get("MARK", "default") is None
        assert table.snapshot()["IORSH_MARK"] is None
        assert table.get("IORSH_NOPE", "default") == "default" and table.get(5) is None
        assert table.iorsh.get("NOPE", 7) == 7 and table.get("IORSH_SPEED") == 0
        for names in (b"IORSH_SPEED", bytearray(b"IORSH_SPEED")):
            for wait in (table.wait, table.waiter().wait, table.iorsh.wait):
                with pytest.raises(TypeError, match="names"):
                    wait(names, timeout=0)
        with pytest.raises(KeyError):
            table.wait([b"IORSH_SPEED"], timeout=0)
        assert table.wait("IORSH_SPEED", timeout=0) == {}  # a str is one name
        with pytest.raises(ValueError, match="NaN"):
            table.wait(timeout=float("nan"))
        with pytest.raises(ValueError, match="negative"):
            table.wait(timeout=-0.5)
    with pytest.raises(ValueError, match="segment"):
        kelto.attach("x\udc80")
    with pytest.raises(TypeError, match="segment"):
        kelto.attach(b"x")
