"""The cells of a described file as Arrow record batches, read by the engine's own tokenizer:
every row and cell its pass counted, whatever a library's reader would make of the file (line
ends, stray quotes, NUL bytes, blank lines, huge cells, compression, names). As text, or each
column converted by the engine to its verdict's type, as the loaders take them.

    reader = text_batches(report)  # a pyarrow.RecordBatchReader
    for batch in reader:  # one large_string column per column of the report
        ...
    cells = EngineBatches(report, names, BATCH_ROWS, conversions, examples=3)
    for batch in cells:  # each column of its conversion's type
        ...
    cells.misfits()  # per column, its misfits so far (a few batches ahead) and the first of them

A row too short to reach a column holds a null there; a blank line is a row of one empty cell,
as the pass counts it. Cells beyond the last column are not read.
"""

from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Tuple

import quorvel_ext

from .describe import read_table
from .load import column_names, loadable_source
from .source import decoded, opened
from .table import TableOptions
from .types import FALSE_TEXTS, TRUE_TEXTS

if TYPE_CHECKING:
    from .report import Report

# Rows per batch: a batch's texts are in memory at once, the file's never.
BATCH_ROWS = 1 << 16

# For tests: the engine reader's threads (0 one per core, as a pass) and its chunk size, which
# they force to compare one thread with several over many chunks.
_PIPELINE: Dict[str, Any] = {}


def text_batches(report: "Report", batch_rows: int = BATCH_ROWS) -> Any:
    """A pyarrow.RecordBatchReader of the report's data rows, one large_string column per
    column of the report, named as in the report, `batch_rows` rows a batch.

    The file is opened when the first batch is read. A read that fails raises what the pass
    would have raised (RuntimeError with the engine's message, KeyboardInterrupt); a cell that
    is not valid UTF-8 as the engine read it (undecodable bytes) raises pyarrow.ArrowInvalid,
    since Arrow's text is UTF-8."""
    import pyarrow  # type: ignore[import-untyped]

    names = column_names(report)
    schema = pyarrow.schema([pyarrow.field(name, pyarrow.large_string()) for name in names])
    return pyarrow.RecordBatchReader.from_batches(schema,
                                                  iter(EngineBatches(report, names, batch_rows)))


# A column's conversion, as the engine takes it: the Arrow type's name, the null texts, whether
# padded, whether grouped, and the strptime format of its dates ("" for ISO 8601).
Conversion = Tuple[str, List[str], bool, bool, str]
# Per column: its misfits, and the first of them as (data row from 0, text as written).
EngineMisfits = List[Tuple[int, List[Tuple[int, str]]]]


class EngineBatches:
    """The report's data rows as record batches, each column converted by its conversion (text
    as written without them), and the misfits of the batches read so far (and of the few the
    engine built ahead). Iterated once: the file is opened when the first batch is read, and
    fails as text_batches does; a typed cell that is not UTF-8 is a misfit there, not a
    failure."""

    def __init__(self, report: "Report", names: List[str], batch_rows: int,
                 conversions: Optional[List[Conversion]] = None, examples: int = 0) -> None:
        self.report = report
        self.names = names
        self.batch_rows = batch_rows
        self.conversions = conversions
        self.examples = examples
        self._cells: Any = None

    def misfits(self) -> EngineMisfits:
        if self._cells is None:
            return [(0, []) for _ in self.names]
        found: EngineMisfits = self._cells.misfits()
        return found

    def __iter__(self) -> Iterator[Any]:
        report = self.report
        with opened(*loadable_source(report)) as found:
            start = read_table(found, report.encoding, _known_table(report), {}, frozenset())
            layout = start.layout
            engine_input, _ = decoded(found.input, start.head, layout.start)
            # A header longer than the head is the engine's to read, as in the pass.
            self._cells = quorvel_ext._read_cells(
                engine_input, delimiter=layout.delimiter, header=layout.header or not layout.names,
                names=self.names, batch_rows=self.batch_rows, conversions=self.conversions,
                booleans=(list(TRUE_TEXTS), list(FALSE_TEXTS)), misfit_examples=self.examples,
                **_PIPELINE)
            yield from _checked_batches(self._cells)


def _checked_batches(cells: Any) -> Iterator[Any]:
    import pyarrow

    batches = pyarrow.RecordBatchReader.from_stream(cells)
    while True:
        try:
            batch = batches.read_next_batch()
        except StopIteration:
            return
        except Exception:
            # pyarrow knows the engine's failure by its message alone.
            cells.raise_failure()
            raise
        # The engine hands on text as read and checks it as it builds the batch: text that is
        # not UTF-8 must not pass for it, and Arrow's own check says which cell it is. The first
        # such batch ends the load, so any count at all is this batch's.
        if cells.not_utf8_batches() > 0:
            batch.validate(full=True)
            raise RuntimeError("the engine found text that is not UTF-8 where Arrow finds none")
        batch.validate()
        yield batch


def _known_table(report: "Report") -> TableOptions:
    """Where the report found the table, given as options: nothing is sniffed again."""
    return TableOptions(report.delimiter, report.skip_rows, None, report.header,
                        column_names(report))
