"""The conversion of text cells by pyarrow's compute functions, which read_arrow used before the
engine converted the cells itself: the oracle that the engine's conversion is held against.

    value = converted(raw_cells, report, column)  # the column's values, nulls where missing
    rows = misfit_rows(nulled(raw_cells, null_texts), value)

It keeps pyarrow's own answers, faults included; the tests name the cells where the engine
answers otherwise (a date past its month's end in a slashed layout, year 0000).
"""
import pyarrow
import pyarrow.compute as pc

from quorvel.load import FINER_THAN_MICROSECONDS, INTEGER_TEXT
from quorvel.meanings import arrow_type
from quorvel.types import FALSE_TEXTS, TRUE_TEXTS

DECIMAL_TEXT = r"[-+]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?"
ISO_DATE = r"[0-9]{4}-[0-9]{2}-[0-9]{2}"
ISO_CLOCK = r"[T ][0-9]{2}:[0-9]{2}(?::[0-9]{2}(?:\.[0-9]{1,9})?)?"
ISO_ZONE = r"(?:Z|[-+][0-9]{2}:?[0-9]{2})"


def nulled(raw, texts):
    """The cells, those among the null texts missing."""
    return pc.if_else(pc.is_in(raw, pyarrow.array(texts, pyarrow.string())), None, raw)


def value(raw, wanted):
    """The cells' values by the meaning `wanted`; missing where a cell does not fit."""
    text = pc.utf8_trim_whitespace(raw) if wanted.padded else raw
    if wanted.grouped:
        text = pc.replace_substring(text, ",", "")
    if wanted.kind == "boolean":
        truth = pc.if_else(pc.is_in(text, pyarrow.array(TRUE_TEXTS)), True,
                           pc.if_else(pc.is_in(text, pyarrow.array(FALSE_TEXTS)), False, None))
        return pc.cast(truth, pyarrow.bool_())
    if wanted.kind in ("date", "datetime") and wanted.date_format:
        stamps = pc.strptime(text, format=wanted.date_format, unit="us", error_is_null=True)
        return pc.cast(stamps, arrow_type(wanted))
    pattern = {"integer": INTEGER_TEXT, "decimal": DECIMAL_TEXT, "date": ISO_DATE,
               "datetime": ISO_DATE + ISO_CLOCK, "datetime_tz": ISO_DATE + ISO_CLOCK + ISO_ZONE}
    fits = pc.match_substring_regex(text, "^(?:" + pattern[wanted.kind] + ")$")
    if wanted.kind.startswith("datetime"):
        fits = pc.and_(fits, pc.invert(pc.match_substring_regex(text, FINER_THAN_MICROSECONDS)))
    # pyarrow's cast takes no sign before an integer.
    text = pc.replace_substring_regex(text, r"^\+", "") if wanted.kind == "integer" else text
    result = _cast(pc.if_else(fits, text, None), arrow_type(wanted))
    if wanted.kind == "decimal":
        result = pc.if_else(pc.is_inf(result), None, result)
    return result


def _cast(text, wanted):
    """The cast of every cell, or where pyarrow refuses one (an integer past 2^63, an
    impossible date), of each cell alone, a refused one as missing."""
    try:
        return text.cast(wanted)
    except pyarrow.ArrowInvalid:
        return pyarrow.array([_cast_cell(cell, wanted) for cell in text], wanted)


def _cast_cell(cell, wanted):
    try:
        return cell.cast(wanted)
    except pyarrow.ArrowInvalid:
        return None


def misfit_rows(raw, result):
    """The rows (from 0) of the cells written but read as missing."""
    return pc.indices_nonzero(pc.and_(pc.is_valid(raw), pc.is_null(result))).to_pylist()
