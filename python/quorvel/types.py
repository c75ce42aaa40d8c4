"""The bundled type table, the missing-value texts, and the lattice verdicts widen along.

No text matches two types of DEFAULT_TYPES, so the engine's shared cache and
per-column trial order can never change a count. The patterns keep to what
Boost and Python's re read alike: [0-9] rather than \\d, no wildcard dot and
no anchors, since a pattern must match the whole cell anyway.
"""

from typing import Dict, FrozenSet, List, Mapping, Sequence

TRUE_TEXTS = ("true", "True", "TRUE", "yes", "Yes", "YES")
FALSE_TEXTS = ("false", "False", "FALSE", "no", "No", "NO")

_YEAR = r"[0-9]{4}"
_MONTH = r"(?:0[1-9]|1[0-2])"
_DAY = r"(?:0[1-9]|[12][0-9]|3[01])"
# Slashed dates split by whether the first or the second field cannot be a
# month, so 01/31/2024 and 31/01/2024 are told apart and 01/02/2024 stays
# undecided until the column's other cells settle it.
_LOW = r"(?:0?[1-9]|1[0-2])"
_HIGH = r"(?:1[3-9]|2[0-9]|3[01])"
_CLOCK = r"(?:[01][0-9]|2[0-3]):[0-5][0-9](?::[0-5][0-9](?:\.[0-9]{1,9})?)?"
_UNSIGNED = r"(?:[0-9]+\.[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?|[0-9]+[eE][-+]?[0-9]+"
_GROUPED = r"[1-9][0-9]{0,2}(?:,[0-9]{3})+(?:\.[0-9]+)?"
_INTEGER = r"[-+]?(?:0|[1-9][0-9]*)"
_DECIMAL = r"[-+]?(?:" + _UNSIGNED + ")"


def _padded(number: str) -> str:
    """The number with at least one space before or after it, so that it is never plain."""
    return f" +(?:{number}) *|(?:{number}) +"


DEFAULT_TYPES: Dict[str, List[str]] = {
    "integer": [_INTEGER],
    "code": [r"0[0-9]+"],
    "decimal": [_DECIMAL],
    "grouped_number": [r"[-+]?" + _GROUPED],
    # Numbers with spaces around them, which every loader trims or is told to.
    "padded_integer": [_padded(_INTEGER)],
    "padded_decimal": [_padded(_DECIMAL)],
    "percent": [r"[-+]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+) ?%"],
    # Symbols as alternatives, not a class: a class would take one byte of a
    # multi-byte symbol in the engine but the whole character in Python.
    "currency": [r"[-+]?(?:\$|€|£|¥)(?:[0-9]+|" + _GROUPED + r")(?:\.[0-9]{1,2})?",
                 r"[-+]?(?:[0-9]+|" + _GROUPED + r")(?:\.[0-9]{1,2})? ?(?:USD|EUR|GBP|€|£)"],
    "boolean": ["|".join(TRUE_TEXTS + FALSE_TEXTS)],
    "date": [_YEAR + "-" + _MONTH + "-" + _DAY],
    "date_mdy": [_LOW + "/" + _HIGH + "/" + _YEAR],
    "date_dmy": [_HIGH + "/" + _LOW + "/" + _YEAR],
    "date_slash": [_LOW + "/" + _LOW + "/" + _YEAR],
    # A zone and no zone are types apart: loaders refuse to put both in one column.
    "datetime": [_YEAR + "-" + _MONTH + "-" + _DAY + "[T ]" + _CLOCK],
    "datetime_tz": [_YEAR + "-" + _MONTH + "-" + _DAY + "[T ]" + _CLOCK
                    + r"(?:Z|[-+](?:[01][0-9]|2[0-3]):?[0-5][0-9])"],
    "date_ymd": [_YEAR + "/" + _MONTH + "/" + _DAY],
    "datetime_slash": [_YEAR + "/" + _MONTH + "/" + _DAY + " [0-9]{2}:[0-5][0-9]:[0-5][0-9]"],
    # Without seconds: a loader's layout has them or not, so the two are types apart.
    "datetime_slash_hm": [_YEAR + "/" + _MONTH + "/" + _DAY + " [0-9]{2}:[0-5][0-9]"],
    "time": [r"(?:[01]?[0-9]|2[0-3]):[0-5][0-9](?::[0-5][0-9](?:\.[0-9]{1,9})?)?",
             r"(?:0?[1-9]|1[0-2]):[0-5][0-9](?::[0-5][0-9])? ?(?:AM|PM|am|pm)"],
    "email": [r"[A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)*\.[A-Za-z]{2,}"],
    "url": [r"(?:https?|ftp)://[A-Za-z0-9.-]+(?::[0-9]+)?"
            r"(?:[/?#][A-Za-z0-9._~:/?#@!$&'()*+,;=%-]*)?"],
    "uuid": [r"[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}"],
}

DEFAULT_NA: FrozenSet[str] = frozenset({
    "", "NA", "N/A", "n/a", "na", "NaN", "nan", "null", "NULL", "None", "none", "-", "--", "#N/A"})

# Each type's direct widenings: a column whose cells fall under several types
# takes the narrowest type that all of them widen to. A zero-padded code is no
# number, so integers next to codes make codes, never decimals. An integer
# below 1,000 is a grouped number without a group, and a number is a padded
# one without the padding.
WIDENS_TO: Dict[str, Sequence[str]] = {
    "integer": ("decimal", "code", "grouped_number", "padded_integer"),
    "decimal": ("padded_decimal",),
    "padded_integer": ("padded_decimal",),
    "date": ("datetime",),
    "date_slash": ("date_mdy", "date_dmy"),
}

# Verdicts besides the table's types: no type holds enough of the column;
# enough cells match no type; no cell is left once missing values are out.
MIXED, TEXT, EMPTY = "mixed", "text", "empty"


def widenings(widens_to: Mapping[str, Sequence[str]], name: str) -> FrozenSet[str]:
    """The type itself and every type it widens to, directly or not."""
    seen = {name}
    pending = [name]
    while pending:
        for wider in widens_to.get(pending.pop(), ()):
            if wider not in seen:
                seen.add(wider)
                pending.append(wider)
    return frozenset(seen)
