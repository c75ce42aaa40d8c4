"""What one pass found: a verdict per column, shown as text or HTML, the schemas it implies and
the loaders that read the file as it describes it.

    report = describe("orders.csv")
    frame = report.read_pandas()
    pandas.read_csv("orders.csv", **report.pandas_options())
"""

import json
import dataclasses
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

from . import terminal

# The loaders, the schemas and the notebook's HTML are imported by the methods that use them:
# the command, which prints the table only, would otherwise pay for them on every run.

# The version of the JSON document; it changes whenever a field changes meaning or goes.
JSON_VERSION = 3

# The fields of a Report that say where this process can read the source again: not findings,
# so never in its dict or JSON.
_PROCESS_FIELDS = frozenset({"local_path", "storage_options"})


@dataclass(frozen=True)
class Column:
    name: str  # the column's one name, unique in the file (see quorvel.table), in every loader
    verdict: str  # a type of the table, or "mixed", "text" or "empty"
    share: Optional[float]  # of the non-missing cells the verdict covers; None when empty
    cells: int  # non-missing cells
    missing: int  # cells holding a missing-value text
    counts: Dict[str, int]  # non-missing cells by type, "other" for those matching none
    misfits: Dict[str, int]  # the part of counts that the verdict does not cover
    shared: int = 1  # header cells whose cells are counted together under this name
    position: int = 0  # from 0, in the header
    unnamed: bool = False  # no header cell names it, and name is made up
    absent: int = 0  # rows too short to reach this column
    # Per type of misfits, the first texts met and their data rows (1 is the row after the header).
    misfit_examples: Dict[str, List[Tuple[str, int]]] = field(default_factory=dict)


@dataclass(frozen=True)
class Report:
    path: str
    delimiter: str
    delimiter_sniffed: bool
    rows: int
    threshold: float
    na: List[str]
    columns: List[Column] = field(default_factory=list)  # one per header cell, in order
    # Python's name for the codec that reads the whole file, byte order mark included
    # ("utf-8-sig", "utf-16", "utf-32" for a file with one).
    encoding: str = "utf-8"
    encoding_detected: bool = True
    short_rows: Optional[int] = None  # data rows with fewer cells than the header; None: not counted
    long_rows: Optional[int] = None  # data rows with more cells, whose extra cells are not counted
    # Byte sequences that did not decode in the encoding, and the offset of the first in the
    # decompressed content; each byte shows in its cell as a backslash escape.
    undecodable: int = 0
    first_undecodable_at: Optional[int] = None
    # The regular file the loaders read again; None for anything else.
    local_path: Optional[str] = None
    # Of a report on one URL, the storage options the loaders read the object again with ({}
    # when it needs none); None for any other report, and then, without a local_path, the
    # source could be read only once (a pipe, standard input, a file object). Like local_path
    # this process's business: kept out of to_dict and repr, since it may hold credentials.
    storage_options: Optional[Dict[str, Any]] = field(default=None, repr=False, compare=False)
    # The lines before the table (comment lines, a title), which no loader reads as rows.
    skip_rows: int = 0
    skip_rows_sniffed: bool = True
    comment: Optional[str] = None  # the marker of the comment lines among them
    header: bool = True  # whether the table's first row names the columns
    header_sniffed: bool = True
    # The header is one cell shorter than the rows, whose first cells name them: the first
    # column is that of the row names.
    row_names: bool = False
    # How a cluster counted the file (describe(..., cluster=client)): the byte ranges it was
    # counted in, and why it went as one task when it could not be split; both None when one
    # machine counted it.
    ranges: Optional[int] = None
    unsplit: Optional[str] = None

    def to_dict(self) -> Dict[str, Any]:
        """Every field but local_path and storage_options, which are this process's business, as
        fresh containers.

        Built field by field: dataclasses.asdict deep-copies every value, which costs a
        hundred-odd microseconds a column."""
        fields = {f.name: getattr(self, f.name) for f in dataclasses.fields(self)
                  if f.name not in _PROCESS_FIELDS}
        fields["na"] = list(self.na)
        fields["columns"] = [_column_dict(c) for c in self.columns]
        return fields

    def to_json(self, indent: Optional[int] = 2) -> str:
        """The JSON document of this one report: {"version": 3, "files": [report]}."""
        return json_document([self.to_dict()], indent)

    def read_pandas(self) -> Any:
        """The whole file as a pandas DataFrame, each column of the type its verdict promises:
        read_arrow's table, its text in Arrow-backed strings."""
        from . import load

        return load.read_pandas(self)

    def read_arrow(self) -> Any:
        """The whole file as a pyarrow Table, each column of the type its verdict promises."""
        from . import load

        return load.read_arrow(self)

    def read_polars(self) -> Any:
        """The whole file as a Polars DataFrame, each column of the type its verdict promises:
        read_arrow's table."""
        from . import load

        return load.read_polars(self)

    def read_duckdb(self, connection: Any, table_name: str) -> None:
        """Creates `table_name` in the DuckDB connection and fills it with the whole file, from
        read_arrow's table."""
        from . import load

        load.read_duckdb(self, connection, table_name)

    def pandas_options(self) -> Dict[str, Any]:
        """Keyword arguments for pandas.read_csv(path, **options), which never fail on a cell."""
        from . import load

        return load.pandas_options(self)

    def arrow_options(self) -> Dict[str, Any]:
        """read_options, parse_options, convert_options for pyarrow.csv.read_csv(path, **options).

        pyarrow takes one set of null texts for every column: a text column's cells arrive as
        written, its empty cells as empty strings, which read_arrow makes missing."""
        from . import load

        return load.arrow_options(self)

    def polars_options(self) -> Dict[str, Any]:
        """Keyword arguments for polars.read_csv(path, **options).

        Polars takes one null text per column at most: a typed column that holds missing-value
        texts reaches it as text, as written, and read_polars converts it."""
        from . import load

        return load.polars_options(self)

    def duckdb_sql(self, table_name: str) -> str:
        """One DuckDB statement that creates `table_name` and fills it with the whole file."""
        from . import load

        return load.duckdb_sql(self, table_name)

    def to_pandas(self) -> Dict[str, Any]:
        """The same as pandas_options(), under its earlier name."""
        from . import load

        return load.pandas_options(self)

    def to_arrow(self) -> Any:
        """The pyarrow.Schema of read_arrow's table, by the report's names."""
        from . import schema

        return schema.arrow_schema(self)

    def to_sql(self, table_name: str, dialect: str = "duckdb") -> str:
        """A CREATE TABLE statement; dialect "duckdb" or "postgresql"."""
        from . import schema

        return schema.create_table(self, table_name, dialect)

    def to_frictionless(self) -> Dict[str, Any]:
        """A Frictionless Table Schema (fields, missingValues)."""
        from . import schema

        return schema.table_schema(self)

    def __str__(self) -> str:
        lines = terminal.text_lines(self)
        legend = terminal.legend_text([self])
        return "\n".join(lines + ([""] + legend if legend else []))

    def _repr_html_(self) -> str:
        from . import notebook

        return notebook.html(self)


def _column_dict(column: Column) -> Dict[str, Any]:
    fields = dict(column.__dict__)
    fields["counts"] = dict(column.counts)
    fields["misfits"] = dict(column.misfits)
    fields["misfit_examples"] = {kind: list(texts)
                                 for kind, texts in column.misfit_examples.items()}
    return fields


def json_document(reports: List[Dict[str, Any]], indent: Optional[int] = 2) -> str:
    """The one shape of quorvel's JSON, whatever the number of files: {"version", "files"}; a
    file that failed has only its path and error."""
    return json.dumps({"version": JSON_VERSION, "files": reports}, indent=indent,
                      ensure_ascii=False)
