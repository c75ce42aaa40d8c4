"""The private overlap query of a pattern table, as Python sees it."""
import pytest

import quorvel_ext
from conftest import UNMATCHED_PAREN, exactly

HOSTILE = "[ab]*a[ab]{18}c"
TABLES = {  # id: (the table, the pairs with their witnesses, the unanalysed types)
    "int-and-bool": ({"int": [r"[-+]?\d+"], "bool": ["[01]", "true|false"], "word": [r"(?i)\w+"]},
                     [("bool", "int", b"0")], ["word"]),
    "raw-bytes": ({"é": ["\xe9+"], "high": [r"[\x80-\xff]\x00"], "any": [".."], "none": []},
                  [("any", "high", b"\x80\x00"), ("any", "é", "é".encode())], []),
    "past-the-cap": ({"h": [HOSTILE], "ab": ["[ab]"], "a": ["a"]}, [("a", "ab", b"a")], ["h"]),
    "empty-table": ({}, [], []),
}


@pytest.mark.parametrize("table, pairs, unanalysed", TABLES.values(), ids=TABLES)
def test_overlaps_name_pairs_with_witnesses_and_the_unanalysed_types(table, pairs, unanalysed):
    assert quorvel_ext._overlaps(table) == (pairs, unanalysed)


def test_a_bad_pattern_fails_as_in_the_constructor():
    with pytest.raises(RuntimeError, match=exactly(UNMATCHED_PAREN)):
        quorvel_ext._overlaps({"int": ["[0-9]+"], "bad": ["("]})


CLASSES = [r"\w", r"\W", r"\s", r"\S", r"\d", r"\D", "[[:alpha:]]", "[[:space:]]", "[[:punct:]]",
           "[[:print:]]", "[[:upper:]]", r"[^\w\s[:xdigit:]]"]


@pytest.mark.parametrize("pattern", CLASSES)
def test_classes_take_the_bytes_boost_gives_them_in_this_process(write, make_inf, pattern):
    # Boost's classes follow the locale of the process; `(?!x)` changes nothing at the end of a
    # whole-string match but keeps the second pattern off the automaton, on Boost.
    cells = b"".join(b'"' + bytes([b]).replace(b'"', b'""') + b'"\n' for b in range(256))
    path = write(b"c\n" + cells)
    lines = []
    for variant in (pattern, pattern + "(?!x)"):
        inf = make_inf(filepath=path, col_type_patterns={"t": [variant]}, save_types_file=True)
        inf.infer_types()
        with open(inf.get_types_filepath(), "rb") as f:
            lines.append(f.read().split(b"\n"))
    assert quorvel_ext._overlaps({"a": [pattern], "b": [pattern + "(?!x)"]})[1] == ["b"]
    assert len(lines[0]) == 258 and lines[0] == lines[1]
    assert b"t" in lines[0] and b"other" in lines[0]
