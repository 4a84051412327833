"""Parameters made of several values, packed by the package from the command rows."""
import pytest

from kelvor import COMMAND_TABLE, _pack


@pytest.mark.parametrize("keyword,option,values,expected", [
    ("ETX", "-p2", {"count": 2, "size": 0x300}, 0x20300),
    ("ECX", "-p2", {"count": 1, "size": 0x180}, 0x10180),
    ("WW", "-p1", {"fc_bits": 8, "format": 1, "function": 0}, 0x80100),
    ("WWX", "-p1", {"pulse_width": 0x64, "pulse_interval": 0x3e8}, 0x6403e8),
    ("WPW", "-p1", {"input": 1, "output": 0}, 0x10000),
    ("OW", "-p1", {"delay": 0, "count": 0, "event": 0x87}, 0x87),
    ("OW", "-p2", {"high": 0x64, "low": 0x64}, 0x640064),
    ("GW", "-p1", {"gpio": 0, "mode": 2}, 0x20000),
])
def test_the_rows_examples_pack(keyword, option, values, expected):
    assert _pack(keyword, option, **values) == expected


@pytest.mark.parametrize("keyword,option,values", [
    ("ETX", "-p2", {"count": 0x10000, "size": 1}),
    ("WW", "-p1", {"fc_bits": 1, "format": 0x100}),
    ("OW", "-p1", {"event": -1}),
])
def test_a_value_beyond_its_field_is_refused(keyword, option, values):
    with pytest.raises(ValueError):
        _pack(keyword, option, **values)


def test_a_field_the_row_has_not_is_refused():
    with pytest.raises(TypeError):
        _pack("WPW", "-p1", input=1, outptu=2)


def test_the_rows_say_which_commands_scan_and_take_directories():
    scanning = {k for k, row in COMMAND_TABLE.items() if row["scans_finger"]}
    assert {"ES", "VS", "IS"} <= scanning and not scanning & {"EI", "SW", "SS"}
    assert {k for k, row in COMMAND_TABLE.items() if row["takes_directory"]} == {"EI", "EIX", "ET", "II", "IIX", "IT"}
    # Every layout covers distinct bits of a 32-bit parameter.
    for keyword, row in COMMAND_TABLE.items():
        for option, layout in row["fields"].items():
            taken = 0
            for name, shift, bits in layout:
                mask = ((1 << bits) - 1) << shift
                assert mask < 1 << 32 and not taken & mask, (keyword, option, name)
                taken |= mask
