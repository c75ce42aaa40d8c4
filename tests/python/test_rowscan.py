"""quorvel.rowscan: the quotes and first row starts of a range, and the check that a stretch
ends at a row end, fed whole and cut at every byte, which the engine's pass tells alike."""
import io
import random

import pytest

import quorvel_ext

from quorvel.rowscan import QUOTE, QuoteScan, RowEndCheck, first_row_end, row_starts

# (name, bytes from a row start, whether they end where the tokenizer ends a row), with ";" as
# the delimiter.
ROW_ENDS = [
    ("plain rows", b"a;b\nc;d\n", True),
    ("CR LF", b"a;b\r\n", True),
    ("a lone CR", b"a;b\r", True),
    ("no line end", b"a;b", False),
    ("a quoted LF", b'"a\nb";c\n', True),
    ("cut in a quoted LF", b'"a\n', False),
    ("a doubled quote before the LF", b'"a""\nb"\n', True),
    ("an odd run closes", b'"a"""\n', True),
    ("an even run stays quoted", b'"a""""\n', False),
    ("text after the closing quote, then a quote that is data", b'"a"b"\nc\n', True),
    ("a quote inside an unquoted field", b'x;y"\n', True),
    ("a quote after the delimiter opens", b'x;"y\n', False),
    ("a quoted delimiter", b'";";"\n";x\n', True),
    ("an empty quoted field", b'"";x\n', True),
    ("a quote after a quoted field's delimiter", b'"a";"b\n', False),
]


def check_of(data, cuts):
    check = RowEndCheck(";")
    for start, end in zip([0] + cuts, cuts + [len(data)]):
        check.feed(data[start:end])
    return check.ends_at_row_end()


@pytest.mark.parametrize("name, data, ends", ROW_ENDS, ids=[case[0] for case in ROW_ENDS])
def test_a_row_end_is_told_whole_and_cut_at_any_byte(name, data, ends):
    assert check_of(data, []) == ends
    for cut in range(1, len(data)):
        assert check_of(data, [cut]) == ends, cut
    assert check_of(data, list(range(1, len(data)))) == ends


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("name, data, ends", ROW_ENDS + [("empty", b"", True)],
                         ids=[case[0] for case in ROW_ENDS] + ["empty"])
def test_a_pass_tells_the_row_end_the_check_tells(name, data, ends, threads):
    # Given names, every row is data, as in the second round of a cluster's count.
    inf = quorvel_ext.Inf(filepath="", delimiter=";", col_type_patterns={"int": ["[0-9]+"]},
                          na_values=set(), multithreading=threads > 1, save_types_file=False,
                          types_filepath="", rolling_cache_window=1000)
    quorvel_ext._set_pass_threads(inf, threads)
    quorvel_ext._infer_types(inf, None, input=quorvel_ext._open_input(io.BytesIO(data)),
                             names=["a", "b"], header=False)
    assert quorvel_ext._pass_stats(inf)["threads"] == threads
    assert quorvel_ext._ended_at_row_end(inf) is ends


@pytest.mark.parametrize("raw, complete, end", [
    (b"a,b\n1\n", True, 4),
    (b'a,"b\nc"\r\n1', True, 9),
    (b"a,b\r", False, None),  # its LF may follow
    (b"a,b\r", True, 4),
    (b"a,b\r1", False, 4),
    (b'a,"b\n', False, None),
    (b'a,b"c\n1,"d\n', True, 6),  # a quote inside a field is data
])
def test_the_first_row_ends_as_the_tokenizer_ends_it(raw, complete, end):
    assert first_row_end(raw, ",", complete) == end


def scanned(data, start, end, piece):
    scan = QuoteScan(start, end)
    for at in range(start, end, piece):
        scan.feed(data[at:min(at + piece, end)])
    scan.finish(data[end:end + 1])
    return scan


@pytest.mark.parametrize("piece", [1, 2, 3, 100])
def test_a_range_finds_its_first_row_start_for_either_state(piece):
    data = b'x\n"a\r\nb"\r\nc\r'
    whole = scanned(data, 0, len(data), piece)
    # Outside quotes the first line end is at byte 1; inside, the quoted CR LF is the first
    # one after an odd count of quotes.
    assert (whole.quotes, whole.found, whole.line_end) == (2, [2, 6], True)
    # A CR that ends the range waits for the byte after it.
    assert scanned(data, 0, 5, piece).found == [2, 6]
    assert scanned(data, 7, 8, piece).found == [None, None]


def by_definition(data, start, end):
    """(quotes, first row starts for either state, line end) of the range, byte by byte."""
    quotes, found = 0, [None, None]
    for at in range(start, end):
        byte, after = data[at:at + 1], data[at + 1:at + 2]
        if byte == QUOTE:
            quotes += 1
            continue
        if byte == b"\r" and after == b"\n":
            if at + 1 < end:
                continue  # the LF ends the line
            row_start = at + 2  # the range ends between the two: the row starts past the LF
        elif byte in (b"\r", b"\n"):
            row_start = at + 1
        else:
            continue
        for state in (0, 1):
            if found[state] is None and (state + quotes) % 2 == 0:
                found[state] = row_start
    last, after = data[end - 1:end] if end > start else b"", data[end:end + 1]
    return quotes, found, last == b"\n" or (last == b"\r" and after != b"\n")


@pytest.mark.parametrize("seed", range(100))
def test_a_range_fed_in_views_of_one_reused_buffer_scans_as_defined(seed):
    rng = random.Random(seed)
    # Runs of CRs cut at block ends, each settled by the byte after it.
    data = bytes(rng.choice(b'"\r\r\r\n,a') for _ in range(rng.randint(0, 80)))
    start = rng.randint(0, len(data))
    end = rng.randint(start, len(data))
    piece = rng.randint(1, 5)
    scan = QuoteScan(start, end)
    buffer = bytearray(piece)
    for at in range(start, end, piece):
        block = data[at:min(at + piece, end)]
        buffer[:len(block)] = block
        scan.feed(memoryview(buffer)[:len(block)])
        buffer[:] = b"x" * piece  # what the scan kept of the view must not change with it
    scan.finish(data[end:end + 1])
    assert (scan.quotes, scan.found, scan.line_end) == by_definition(data, start, end)


def test_parity_gives_each_range_its_first_row_start():
    data = b'n\n1\n"a\nb\nc"\n2\n'
    cuts = [2, 5, 7, 9, 12, len(data)]
    scans = [scanned(data, a, b, 1) for a, b in zip(cuts, cuts[1:])]
    # The ranges starting at 5, 7 and 9 are inside the quoted field: none of its line ends
    # starts a row, and the range at 12 starts at a row start, as the one before ends a row.
    assert row_starts(scans, 2, len(data)) == [2, 12]


def test_a_state_the_scan_never_gives_is_refused():
    with pytest.raises(ValueError, match="^not a state of the row scan: 7$"):
        quorvel_ext._follow_rows(b"a\n", ",", 7)
