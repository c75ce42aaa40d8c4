"""Choosing one verdict per column from its counts, widening along the type lattice.

    fit = choose({"integer": 1000, "decimal": 1000, "NA": 3, "other": 0}, order, WIDENS_TO, 0.9)
    fit.name, fit.share  # ('decimal', 1.0)
"""

from typing import Dict, FrozenSet, Mapping, NamedTuple, Optional, Sequence, Tuple

from .types import EMPTY, MIXED, TEXT, widenings

RESERVED = ("NA", "other")


class Fit(NamedTuple):
    name: str  # a type of the table, or MIXED, TEXT or EMPTY
    share: Optional[float]  # of the non-missing cells that the verdict covers; None when EMPTY
    misfits: Dict[str, int]  # the cells the verdict does not cover, by type and "other"


def choose(counts: Mapping[str, int], order: Sequence[str],
           widens_to: Mapping[str, Sequence[str]], threshold: float) -> Fit:
    """The verdict for one column; `order` (the table's types) breaks ties."""
    seen = {name: n for name, n in counts.items() if n > 0 and name != "NA"}
    cells = sum(seen.values())
    if cells == 0:
        return Fit(EMPTY, None, {})
    up = {name: widenings(widens_to, name) for name in order}
    best = _widest_cover(seen, order, up)
    other = seen.get("other", 0)
    covered = sum(n for name, n in seen.items() if best in up.get(name, ()))
    if other > covered:
        best, covered = TEXT, other
    if covered < threshold * cells:
        return Fit(MIXED, covered / cells, seen)
    misfits = {name: n for name, n in seen.items()
               if not (best in up.get(name, ()) or (best == TEXT and name == "other"))}
    return Fit(best, covered / cells, misfits)


def _widest_cover(seen: Mapping[str, int], order: Sequence[str],
                  up: Mapping[str, FrozenSet[str]]) -> str:
    """The type covering the most cells; among equals the narrowest, then the first listed."""

    def rank(index_and_name: Tuple[int, str]) -> Tuple[int, int, int]:
        index, candidate = index_and_name
        covered = sum(n for name, n in seen.items() if candidate in up.get(name, ()))
        narrowness = sum(candidate in up[name] for name in order)
        return (-covered, narrowness, index)

    return min(enumerate(order), key=rank)[1] if order else TEXT
