"""The private overlap query of a pattern table, as Python sees it."""
import pytest

import quorvel_ext
from conftest import UNMATCHED_PAREN, exactly

HOSTILE = "[ab]*a[ab]{18}c"
TABLES = {  # id: (the table, the pairs with their witnesses, the unanalysed types)
    "int-and-bool": ({"int": [r"[-+]?\d+"], "bool": ["[01]", "true|false"], "word": [r"\w+"]},
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
