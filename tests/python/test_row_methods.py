"""The package's methods against the command rows: every row's method is
there on kelvor.Module and kelvor.Client, and a method made from its row
takes the options the row reads, under their names, and sends them."""
import inspect

import pytest

import kelvor
from kelvor import COMMAND_TABLE, _argument_name

MADE = {k: row for k, row in COMMAND_TABLE.items()
        if row["method"] and getattr(vars(kelvor._Commands).get(row["method"]), "_row", None) == k}


def test_every_row_names_a_method_both_front_ends_have():
    for keyword, row in COMMAND_TABLE.items():
        if row["family"] == "raw":
            assert row["method"] is None, keyword
            continue
        for cls in (kelvor.Module, kelvor.Client):
            assert hasattr(cls, row["method"]), f"{cls.__name__} has no {row['method']} for {keyword}"


def test_the_methods_made_from_rows_are_the_plain_ones():
    assert set(MADE) >= {"SF", "CS", "DT", "DP", "FP", "AC", "UC", "CA", "LM", "ML", "GC", "GD"}
    for keyword, row in MADE.items():
        method = getattr(kelvor.Module, row["method"])
        params = list(inspect.signature(method).parameters)[1:]
        wanted = [_argument_name(row["options"][o][0]) for o in ("-p1", "-p2", "-f") if o in row["options"]]
        assert params == wanted, keyword
        # What it gives back follows the row's values.
        ret = inspect.signature(method).return_annotation
        assert ret == ("None" if not row["values"] else "int" if len(row["values"]) == 1 else "Dict[str, Any]")


@pytest.mark.parametrize("meaning,name", [
    ("user ID", "user_id"),
    ("parameter number (e.g. 0x65 Enroll Mode)", "parameter_number"),
    ("date: bits 16-31 day", "date"),
    ("word 1", "word_1"),
])
def test_an_argument_is_named_by_the_words_of_its_meaning(meaning, name):
    assert _argument_name(meaning) == name


def test_a_made_method_sends_its_command_and_gives_its_value(sim):
    sim.control("--place", "3")
    with kelvor.Module(sim.link, 115200) as m:
        m.enroll(7)
        assert 7 in m.user_ids()
        m.delete(user_id=7)
        assert 7 not in m.user_ids()
        assert m.user_memory_length() == m.last_values["bytes"] > 0
        assert m.save_parameters() is None
        with pytest.raises(TypeError):
            m.delete()
        with pytest.raises(TypeError):
            m.delete(1, 2)
        with pytest.raises(ValueError):
            m.delete(-1)
        with pytest.raises(ValueError):
            m.delete(1 << 32)
