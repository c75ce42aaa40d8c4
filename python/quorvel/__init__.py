"""Profile the columns of a CSV file in one streaming pass, and load it with the schema found.

    report = quorvel.describe("orders.csv")
    frame = report.read_pandas()  # or read_arrow(), read_polars(), read_duckdb(con, "orders")

The engine is quorvel_ext, which counts per column how many cells each type
of a table matches; this package adds a table written for real data, one
verdict per column, the loaders' schemas and the `quorvel` command.
"""

import importlib
from typing import TYPE_CHECKING, Any, List, Mapping, NamedTuple, Optional, Sequence

import quorvel_ext

from .describe import HeaderError, check_types, describe, raise_for_bad_pattern
from .report import Column, Report
from .types import DEFAULT_NA, DEFAULT_TYPES, FALSE_TEXTS, TRUE_TEXTS, WIDENS_TO

if TYPE_CHECKING:
    from .load import LongRowsWarning, Misfit, MisfitColumn, MisfitWarning
    from .many import FileResult, Group, ManyReport, describe_many

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


# The names whose modules load on first use: a pool of processes and the loaders take longer to
# import than a small file takes to profile, and most programs need neither.
_LAZY = {"LongRowsWarning": "load", "Misfit": "load", "MisfitColumn": "load",
         "MisfitWarning": "load", "FileResult": "many", "Group": "many", "ManyReport": "many",
         "describe_many": "many"}

if not TYPE_CHECKING:  # hidden from mypy, which would otherwise take any misspelt name for Any
    def __getattr__(name: str) -> Any:
        if name in _LAZY.values():
            return importlib.import_module(f".{name}", __name__)
        if name not in _LAZY:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        value = getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
        globals()[name] = value
        return value

    def __dir__() -> List[str]:
        return sorted(set(globals()) | set(_LAZY))
