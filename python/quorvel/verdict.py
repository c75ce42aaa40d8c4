"""Choosing one verdict per column from its counts, widening along the type lattice.

    fit = choose({"integer": 1000, "decimal": 1000, "NA": 3, "other": 0}, order, WIDENS_TO, 0.9)
    fit.name, fit.share  # ('decimal', 1.0)
"""

import functools
from typing import Dict, FrozenSet, Mapping, NamedTuple, Optional, Sequence, Tuple

from .types import EMPTY, MIXED, TEXT, widenings

RESERVED = ("NA", "other")


class Fit(NamedTuple):
    name: str  # a type of the table, or MIXED, TEXT or EMPTY
    share: Optional[float]  # of the non-missing cells that the verdict covers; None when EMPTY
    misfits: Dict[str, int]  # the cells the verdict does not cover, by type and "other"


class Lattice(NamedTuple):
    """The widening lattice of a table, worked out once for all its columns."""
    up: Dict[str, FrozenSet[str]]  # each type and every type it widens to
    narrowness: Dict[str, int]  # how many types widen to each (itself included)
    rank: Dict[str, int]  # position in the table, which breaks the last ties
    fallback: str  # the verdict when no type covers a cell: the broadest, then the first


def choose(counts: Mapping[str, int], order: Sequence[str],
           widens_to: Mapping[str, Sequence[str]], threshold: float) -> Fit:
    """The verdict for one column; `order` (the table's types) breaks ties."""
    return choose_in(counts, lattice(tuple(order), frozen(widens_to)), threshold)


def choose_in(counts: Mapping[str, int], types: Lattice, threshold: float) -> Fit:
    """choose() with the table's lattice worked out already, for a caller with many columns."""
    seen = {name: n for name, n in counts.items() if n > 0 and name != "NA"}
    cells = sum(seen.values())
    if cells == 0:
        return Fit(EMPTY, None, {})
    up = types.up
    best = _widest_cover(seen, types)
    other = seen.get("other", 0)
    covered = sum(n for name, n in seen.items() if best in up.get(name, ()))
    if other > covered:
        best, covered = TEXT, other
    if covered < threshold * cells:
        return Fit(MIXED, covered / cells, seen)
    misfits = {name: n for name, n in seen.items()
               if not (best in up.get(name, ()) or (best == TEXT and name == "other"))}
    return Fit(best, covered / cells, misfits)


def frozen(widens_to: Mapping[str, Sequence[str]]) -> Tuple[Tuple[str, Tuple[str, ...]], ...]:
    return tuple((name, tuple(wider)) for name, wider in widens_to.items())


@functools.lru_cache(maxsize=8)
def lattice(order: Tuple[str, ...], widens_to: Tuple[Tuple[str, Tuple[str, ...]], ...]) -> Lattice:
    up = {name: widenings(dict(widens_to), name) for name in order}
    narrowness = {candidate: sum(candidate in up[name] for name in order) for candidate in order}
    rank = {name: index for index, name in enumerate(order)}
    fallback = min(order, key=lambda name: (narrowness[name], rank[name])) if order else TEXT
    return Lattice(up, narrowness, rank, fallback)


def _widest_cover(seen: Mapping[str, int], types: Lattice) -> str:
    """The type covering the most cells; among equals the narrowest, then the first listed."""
    covered: Dict[str, int] = {}
    for name, n in seen.items():
        for candidate in types.up.get(name, ()):
            if candidate in types.rank:
                covered[candidate] = covered.get(candidate, 0) + n
    if not covered:
        return types.fallback
    return min(covered, key=lambda c: (-covered[c], types.narrowness[c], types.rank[c]))
