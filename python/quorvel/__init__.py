"""Profile the columns of a CSV file in one streaming pass, and load it with the schema found.

    report = quorvel.describe("orders.csv")
    frame = report.read_pandas()  # or read_arrow(), read_polars(), read_duckdb(con, "orders")

The engine is quorvel_ext, which counts per column how many cells each type
of a table matches; this package adds a table written for real data, one
verdict per column, the loaders' schemas and the `quorvel` command.
"""

from typing import List, Mapping, NamedTuple, Optional, Sequence

import quorvel_ext

from .describe import HeaderError, check_types, describe, raise_for_bad_pattern
from .load import LongRowsWarning, Misfit, MisfitColumn, MisfitWarning
from .many import FileResult, Group, ManyReport, describe_many
from .report import Column, Report
from .types import DEFAULT_NA, DEFAULT_TYPES, FALSE_TEXTS, TRUE_TEXTS, WIDENS_TO

__all__ = ["DEFAULT_NA", "DEFAULT_TYPES", "FALSE_TEXTS", "TRUE_TEXTS", "WIDENS_TO", "Column",
           "HeaderError", "Overlap", "Overlaps", "Report", "describe", "overlaps",
           "FileResult", "Group", "ManyReport", "describe_many", "LongRowsWarning", "Misfit",
           "MisfitColumn", "MisfitWarning"]


class Overlap(NamedTuple):
    first: str
    second: str
    witness: bytes  # a shortest text that both types match in full


class Overlaps(NamedTuple):
    pairs: List[Overlap]  # sorted by the two type names
    unchecked: List[str]  # types whose patterns the analysis cannot read


def overlaps(types: Optional[Mapping[str, Sequence[str]]] = None) -> Overlaps:
    """Every pair of types of `types` (default DEFAULT_TYPES) that some text matches both of."""
    patterns = check_types(DEFAULT_TYPES if types is None else types)
    try:
        pairs, unchecked = quorvel_ext._overlaps(patterns)
    except RuntimeError:
        raise_for_bad_pattern(patterns)
        raise
    return Overlaps([Overlap(*pair) for pair in pairs], list(unchecked))
