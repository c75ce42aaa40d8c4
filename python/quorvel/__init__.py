"""Profile the columns of a CSV file in one streaming pass, and load it with the schema found.

    report = quorvel.describe("orders.csv")
    frame = pandas.read_csv("orders.csv", **report.to_pandas())

The engine is quorvel_ext, which counts per column how many cells each type
of a table matches; this package adds a table written for real data, one
verdict per column, the loaders' schemas and the `quorvel` command.
"""

from typing import Dict, List, Mapping, NamedTuple, Optional, Sequence

import quorvel_ext

from .describe import HeaderError, describe
from .many import FileResult, Group, ManyReport, describe_many
from .report import Column, Report
from .types import DEFAULT_NA, DEFAULT_TYPES, FALSE_TEXTS, TRUE_TEXTS, WIDENS_TO

__all__ = ["DEFAULT_NA", "DEFAULT_TYPES", "FALSE_TEXTS", "TRUE_TEXTS", "WIDENS_TO", "Column",
           "HeaderError", "Overlap", "Overlaps", "Report", "describe", "overlaps",
           "FileResult", "Group", "ManyReport", "describe_many"]


class Overlap(NamedTuple):
    first: str
    second: str
    witness: bytes  # a shortest text that both types match in full


class Overlaps(NamedTuple):
    pairs: List[Overlap]  # sorted by the two type names
    unchecked: List[str]  # types whose patterns the analysis cannot read


def overlaps(table: Optional[Mapping[str, Sequence[str]]] = None) -> Overlaps:
    """Every pair of types of `table` (default DEFAULT_TYPES) that some text matches both of."""
    patterns: Dict[str, List[str]] = {name: list(p) for name, p in
                                      (DEFAULT_TYPES if table is None else table).items()}
    pairs, unchecked = quorvel_ext._overlaps(patterns)
    return Overlaps([Overlap(*pair) for pair in pairs], list(unchecked))
