"""The engine's conversion of cells by meaning, held against pyarrow's (arrow_oracle): for every
meaning, thousands of generated cells (valid, borderline and hostile) in one column, read by the
engine with the meaning's conversion and as text converted by the oracle, give the same values
and the same misfits. Where the engine answers otherwise on purpose, the cells are listed apart
with both answers."""
import datetime
import math
import random

import pyarrow
import pyarrow.compute as pc
import pytest

import arrow_oracle
import quorvel_ext
from quorvel.load import EXAMPLES, engine_conversion
from quorvel.meanings import MEANINGS, TEXT, arrow_type
from quorvel.types import FALSE_TEXTS, TRUE_TEXTS

NULL_TEXTS = ["", "NA", "-"]
# Arrow's Unicode whitespace and a few characters that are not, to pad with.
SPACES = [" ", "\t", "\n", "\r", "\x0b", "\x0c", "\x1c", "\x1f", "\x85", "\xa0", "\u1680",
          "\u2000", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
NOT_SPACES = ["\u200b", "\x08", "\x00", "\ufeff", "_"]
# Cells that no meaning reads, or reads only by mistake.
HOSTILE = ["", "NA", "-", "+", ".", "x", "nan", "inf", "-inf", "Infinity", "\x00", "5\x00",
           "\u0661\u0662", "\uff15", "1\u200b", "0x10", "1_0", "+-5", "--5", "\u00e9",
           "2021-01-01\x00", "true\x00", "\ud7ff", "\U0001f600"]


def digits(rng, count):
    return "".join(rng.choice("0123456789") for _ in range(count))


def integer_cells(rng):
    cells = ["0", "-0", "+0", "007", "-007", str(2 ** 63 - 1), str(-2 ** 63), str(2 ** 63),
             str(-2 ** 63 - 1), "+" + str(2 ** 63 - 1), "0" * 300 + "42", "9" * 300, "1e5",
             "1.0", "1.", "1,000", " 5", "5 "]
    for _ in range(600):
        size = rng.choice([1, 2, 5, 18, 19, 20, 40])
        cells.append(rng.choice(["", "+", "-"]) + digits(rng, size))
    return cells


def decimal_cells(rng):
    cells = ["1.", ".5", "-.5e-3", "1.e5", "1E5", "1e+5", "0.1", "9007199254740993",
             "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308",
             "-1.7976931348623159e308", "2.4703282292062327e-324", "2.4703282292062328e-324",
             "4e-320", "1e-400", "-1e-400", "1e400", "1e99999999999999999999",
             "1e-99999999999999999999", "0e999999", "0." + "0" * 400 + "1", "9" * 400,
             "9" * 309, "1" + "0" * 308, "0" * 400 + "1.5", "1e", "e5", "1e+", "1.5.", "0x1p3"]
    for _ in range(600):
        mantissa = rng.choice([digits(rng, rng.randint(1, 25)),
                               digits(rng, rng.randint(0, 5)) + "." + digits(rng, rng.randint(0, 25))])
        exponent = rng.choice(["", "", f"e{rng.randint(-330, 330)}", f"E+{rng.randint(0, 400)}",
                               f"e-{rng.randint(300, 400)}"])
        cells.append(rng.choice(["", "+", "-"]) + mantissa + exponent)
    # About the engine's exact path: 15 significant digits or fewer and powers of ten to 22.
    for _ in range(300):
        whole = digits(rng, rng.choice([13, 14, 15, 16, 17]))
        point = rng.randint(0, len(whole))
        exponent = rng.choice(["", f"e{rng.randint(-25, 25)}", f"E{rng.randint(-25, 25)}"])
        cells.append(rng.choice(["", "-"]) + rng.choice(["", "000"]) + whole[:point] + "."
                     + whole[point:] + exponent)
    return cells


def grouped_cells(rng):
    cells = ["1,234.5", ",", ",,", "1,,2", ",5", "5,", "-1,000", "+1,000,000.25", "1,2,3",
             "1,000e3", "1 ,000"]
    for _ in range(300):
        groups = [str(rng.randint(1, 999))] + [digits(rng, 3) for _ in range(rng.randint(1, 7))]
        cells.append(rng.choice(["", "-", "+"]) + ",".join(groups)
                     + rng.choice(["", "." + digits(rng, rng.randint(1, 6))]))
    return cells


def boolean_cells(rng):
    words = list(TRUE_TEXTS + FALSE_TEXTS)
    return words + ["tRUE", "T", "1", "0", "y", "truth", "true ", " no", "Yes\x00"] + [
        rng.choice(words) for _ in range(100)]


def padded(rng, cells):
    """The cells with whitespace, and characters that are not, around some of them."""
    def pad():
        return "".join(rng.choice(SPACES) for _ in range(rng.choice([0, 0, 1, 2, 3])))

    out = []
    for cell in cells:
        out.append(pad() + cell + pad())
        if rng.random() < 0.1:
            out.append(rng.choice(NOT_SPACES) + cell + pad())
    return out


def iso_date(rng, year=None):
    """A date, its day up to 31 in every month: some are past their month's end."""
    year = rng.randint(1, 9999) if year is None else year
    return f"{year:04d}-{rng.randint(0, 13):02d}-{rng.randint(0, 32):02d}"


def date_cells(rng):
    cells = ["2020-02-29", "2021-02-29", "1900-02-29", "2000-02-29", "2021-04-31", "0001-01-01",
             "9999-12-31", "2021-1-01", "2021-01-1", "2021-01-01 ", "12021-01-01",
             "2021-01-01T00:00", "2021/01/01"]
    return cells + [iso_date(rng) for _ in range(600)] + [
        iso_date(rng, rng.choice([1900, 2000, 2023, 2024])) for _ in range(200)]


def clock(rng):
    text = f"{rng.randint(0, 25):02d}:{rng.randint(0, 61):02d}"
    if rng.random() < 0.7:
        text += f":{rng.randint(0, 61):02d}"
        if rng.random() < 0.5:
            text += "." + digits(rng, rng.randint(1, 10))
    return text


def zone(rng):
    hours, minutes = rng.randint(0, 25), rng.choice([0, 30, 45, 59, 60, 99])
    return rng.choice(["Z", "z", "", f"+{hours:02d}:{minutes:02d}", f"-{hours:02d}{minutes:02d}",
                       f"+{hours:02d}", f"-{hours}:{minutes:02d}"])


def datetime_cells(rng, zoned):
    fixed = ["2021-01-01T00:00", "2021-01-01 23:59:59", "2021-01-01T24:00", "2021-01-01T23:60",
             "2021-01-01T23:59:60", "2021-01-01T00:00:00.", "2021-01-01T00:00.5",
             "2021-01-01T00:00:00.123456", "2021-01-01T00:00:00.1234567", "2021-02-30T00:00",
             "2021-01-01t00:00", "2021-01-01T0:00", "2021-01-01", "9999-12-31T23:59",
             "0001-01-01T00:00", "2021-01x01T00:00", "2021x01-01T00:00", "2021-01-01T00:00:0",
             "2021-01-01T00:00:00.000000", "2021-01-01T00:00:00.1"]
    fixed += [cell + z for cell in fixed
              for z in ("Z", "+01:00", "-0130", "+2359", "+2400", "+01:0", "+01:000", "+01-00")]
    fixed += ["9999-12-31T23:59-01:00", "0001-01-01T00:30+01:00"]
    made = []
    for _ in range(800):
        date = iso_date(rng) if rng.random() < 0.3 else (
            f"{rng.randint(1, 9999):04d}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}")
        made.append(date + rng.choice("T ") + clock(rng) + (zone(rng) if zoned else ""))
    return fixed + made


def slashed_cells(rng, wanted):
    """Dates and date-times in the meaning's layout, each a calendar date and clock time or a
    shape that pyarrow's strptime refuses too; the shapes it takes by mistake are
    ENGINE_DIFFERS' cells."""
    cells = ["", "x", "2024-01-31", "01-31-2024", "01/31/2024x", "1/1/2024/", "13/13/2024",
             "00/10/2024", "10/00/2024", "32/01/2024", "01/32/2024", "2024/13/01", "2024/01/32"]
    layout = wanted.date_format
    for _ in range(500):
        year, month = rng.randint(1, 9999), rng.randint(1, 12)
        day = rng.randint(1, 28) if rng.random() < 0.8 else rng.choice([29, 30, 31])
        if day > 28 and not _fits(year, month, day):
            day = 28
        fields = {"%Y": f"{year:04d}", "%m": _one_or_two(rng, month), "%d": _one_or_two(rng, day),
                  "%H": _one_or_two(rng, rng.randint(0, 23)),
                  "%M": _one_or_two(rng, rng.randint(0, 59)),
                  "%S": _one_or_two(rng, rng.randint(0, 59))}
        text = layout
        for field, value in fields.items():
            text = text.replace(field, value)
        cells.append(text)
    return cells


def _fits(year, month, day):
    try:
        datetime.date(year, month, day)
    except ValueError:
        return False
    return True


def _one_or_two(rng, number):
    return f"{number:02d}" if rng.random() < 0.5 else str(number)


def cells_of(verdict, rng):
    wanted = MEANINGS[verdict]
    if wanted.date_format:
        cells = slashed_cells(rng, wanted)
    else:
        cells = {"integer": integer_cells, "decimal": decimal_cells, "boolean": boolean_cells,
                 "date": date_cells}.get(wanted.kind, lambda r: datetime_cells(
                     r, wanted.kind == "datetime_tz"))(rng)
    if wanted.grouped:
        cells += grouped_cells(rng)
    if wanted.padded:
        cells = padded(rng, cells)
    return cells + HOSTILE


def csv_of(cells):
    return "".join('"' + cell.replace('"', '""') + '"\n' for cell in cells).encode()


def engine_read(path, conversion, batch_rows):
    """The column as the engine converts it, and the misfits it found."""
    cells = quorvel_ext._read_cells(
        quorvel_ext._open_input(str(path)), delimiter=",", header=False, names=["c"],
        batch_rows=batch_rows, conversions=None if conversion is None else [conversion],
        booleans=(list(TRUE_TEXTS), list(FALSE_TEXTS)), misfit_examples=EXAMPLES)
    table = pyarrow.RecordBatchReader.from_stream(cells).read_all()
    return table.column(0).combine_chunks(), cells.misfits()[0]


def comparable(values):
    """The values, dates and date-times as integers (pyarrow shows no year past 9999), a
    zero's sign kept."""
    if pyarrow.types.is_date32(values.type):
        values = values.cast(pyarrow.int32())
    elif pyarrow.types.is_timestamp(values.type):
        values = values.cast(pyarrow.int64())
    if pyarrow.types.is_floating(values.type):
        return [v if v is None else (v, math.copysign(1, v)) for v in values.to_pylist()]
    return values.to_pylist()


def oracle_read(path, wanted, batch_rows):
    raw = arrow_oracle.nulled(engine_read(path, None, batch_rows)[0], NULL_TEXTS)
    values = arrow_oracle.value(raw, wanted)
    rows = arrow_oracle.misfit_rows(raw, values)
    return values, (len(rows), [(row, raw[row].as_py()) for row in rows[:EXAMPLES]])


@pytest.mark.parametrize("verdict", sorted(MEANINGS))
def test_the_engine_converts_as_pyarrow_does(tmp_path, verdict):
    wanted = MEANINGS[verdict]
    rng = random.Random(verdict)
    cells = cells_of(verdict, rng)
    rng.shuffle(cells)
    path = tmp_path / "cells.csv"
    path.write_bytes(csv_of(cells))
    batch_rows = rng.choice([1, 7, 97, 1 << 16])
    values, misfits = engine_read(path, engine_conversion(wanted, NULL_TEXTS), batch_rows)
    expected, expected_misfits = oracle_read(path, wanted, batch_rows)
    assert values.type == arrow_type(wanted)
    assert comparable(values) == comparable(expected)
    assert misfits == expected_misfits
    # The cells reach both answers, beyond the hostile ones.
    assert len(values) - values.null_count >= 100 and misfits[0] >= 30


# Cells where the engine answers otherwise than pyarrow, which is at fault: strptime rolls a
# day past its month's end or a leap second over, takes years of fewer digits and skips spaces,
# and the cast to a timestamp takes year 0000, which the cast to a date refuses.
ENGINE_DIFFERS = [
    ("date_mdy", "02/30/2024"), ("date_dmy", "29/02/2023"), ("date_ymd", "2024/04/31"),
    ("date_slash", "01/31/24"), ("date_mdy", " 01/31/2024"), ("date_mdy", "01/ 3/2024"),
    ("date_mdy", "01/31/0000"), ("date_ymd", "0000/01/01"),
    ("datetime_slash", "2024/01/31 23:59:60"), ("datetime_slash", "2024/01/31 23:59:61"),
    ("datetime_slash", "2024/01/31  10:11:12"), ("datetime_slash_hm", "2024/02/30 10:11"),
    ("datetime", "0000-01-01T00:00"), ("datetime_tz", "0000-01-01T00:00Z"),
]


@pytest.mark.parametrize("verdict, cell", ENGINE_DIFFERS)
def test_the_engine_refuses_what_pyarrow_takes_by_mistake(tmp_path, verdict, cell):
    wanted = MEANINGS[verdict]
    path = tmp_path / "cells.csv"
    path.write_bytes(csv_of([cell]))
    values, misfits = engine_read(path, engine_conversion(wanted, NULL_TEXTS), 1)
    assert values.to_pylist() == [None] and misfits == (1, [(0, cell)])
    expected, _ = oracle_read(path, wanted, 1)
    assert pc.is_valid(expected)[0].as_py()


def test_a_typed_cell_that_is_not_utf8_is_a_misfit_shown_by_its_escapes(tmp_path):
    path = tmp_path / "cells.csv"
    path.write_bytes(b"1\n\xff2\n3\xc3\n\xe2\x80\x804\n")
    integers = engine_conversion(MEANINGS["padded_integer"], NULL_TEXTS)
    values, misfits = engine_read(path, integers, 2)
    assert values.to_pylist() == [1, None, None, 4]
    assert misfits == (2, [(1, "\\xff2"), (2, "3\\xc3")])


def test_a_text_column_keeps_the_null_texts_but_the_empty_cell(tmp_path):
    path = tmp_path / "cells.csv"
    path.write_bytes(csv_of(["NA", "", " a ", "-"]))
    values, misfits = engine_read(path, engine_conversion(TEXT, [""]), 3)
    assert values.type == pyarrow.string()
    assert values.to_pylist() == ["NA", None, " a ", "-"] and misfits == (0, [])
