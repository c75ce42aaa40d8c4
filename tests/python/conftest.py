"""Shared helpers: Inf objects with defaults, input files, exact-message patterns, and the
servers on loopback that the URL tests read from."""
import gzip
import re

import duckdb
import pandas
import pytest

import quorvel_ext
from loopback import FolderServer, S3Server

INT = {"int": ["[0-9]+"]}
UNMATCHED_PAREN = ("Unmatched marking parenthesis ( or \\(.  The error occurred while parsing the "
                   "regular expression: '(>>>HERE>>>'.")
SIGNATURE = (
    "filepath: str, delimiter: str, col_type_patterns: Dict[str, List[str]], na_values: Set[str], "
    "multithreading: bool, save_types_file: bool, types_filepath: str, rolling_cache_window: int")


def exactly(message):
    """A `match` pattern that accepts `message` and nothing else."""
    return "^" + re.escape(message) + r"\Z"


def invoked(args=(), kwargs=None):
    """pybind11's rendering of the arguments of a call it refused."""
    text = ", ".join(repr(a) for a in args)
    if kwargs:
        text += ("; " if args else "") + "kwargs: " + ", ".join(f"{k}={v!r}" for k, v in kwargs.items())
    return text


def refused_method(name, annotation, args=(), kwargs=None):
    params = "self: quorvel_ext.Inf" + (f", arg0: {annotation}" if annotation else "")
    head = (f"{name}(): incompatible function arguments. The following argument types are "
            f"supported:\n    1. ({params}) -> None\n\nInvoked with: ")
    rest = invoked(args, kwargs)
    rest = ("; " if kwargs and not args else ", ") + rest if rest else ""
    # The object's address is the one part that changes from run to run.
    return "^" + re.escape(head) + r"<quorvel_ext\.Inf object at 0x[0-9a-f]+>" + re.escape(rest) + r"\Z"


def refused_constructor(args=(), kwargs=None):
    return exactly("__init__(): incompatible constructor arguments. The following argument types are "
                   f"supported:\n    1. quorvel_ext.Inf({SIGNATURE})\n\nInvoked with: "
                   + invoked(args, kwargs))


@pytest.fixture
def write(tmp_path):
    """Writes bytes, or text as UTF-8, to a file under tmp_path and returns its path."""

    def write_file(content, name="in.csv"):
        (tmp_path / name).write_bytes(content.encode() if isinstance(content, str) else content)
        return str(tmp_path / name)

    return write_file


@pytest.fixture
def make_inf(tmp_path):
    """An Inf with harmless settings; keywords replace any of them."""

    def make(**settings):
        defaults = dict(filepath=str(tmp_path / "in.csv"), delimiter=",", col_type_patterns=INT,
                        na_values=set(), multithreading=False, save_types_file=False,
                        types_filepath=str(tmp_path / "types.csv"), rolling_cache_window=1000)
        return quorvel_ext.Inf(**{**defaults, **settings})

    return make


# The objects the URL tests read, each also kept as a local file to compare with: a CSV of about
# a megabyte (many requests once the read block is made small), its gzip copy, and objects that
# S3 globs must match or pass over.
REMOTE_CSV = "data.csv"
REMOTE_GZ = "data.csv.gz"
# Rows longer than the header, whose warning reads the object once more.
REMOTE_RAGGED = "ragged.csv"
GLOBBED = {"dir/a.csv": "id,n\n1,2\n", "dir/b.csv": "id,n\n3,x\n4,5\n",
           "dir/notes.txt": "not a csv\n", "dir/sub/c.csv": "id,n\n6,7\n"}
BUCKET = "bucket"


@pytest.fixture(scope="session")
def remote_folder(tmp_path_factory):
    """The local copies of what the servers serve, by the object's name."""
    folder = tmp_path_factory.mktemp("served")
    rows = (f"{i},{i * 7 % 1000}.{i % 100:02d},2024-{i % 12 + 1:02d}-{i % 28 + 1:02d},"
            f"{'true' if i % 3 else 'false'},user{i}@example.com,{'NA' if i % 11 == 0 else i}\n"
            for i in range(20_000))
    text = "id,amount,day,flag,email,code\n" + "".join(rows)
    (folder / REMOTE_CSV).write_text(text)
    (folder / REMOTE_GZ).write_bytes(gzip.compress(text.encode(), mtime=0))
    (folder / REMOTE_RAGGED).write_text("id,word\n1,x\n2,y,extra\n3,z\n4,w,more,cells\n")
    for name, content in GLOBBED.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text(content)
    return folder


@pytest.fixture(scope="session")
def http_server(remote_folder):
    """remote_folder over HTTP on loopback, under each of loopback.MODES."""
    with FolderServer(remote_folder) as server:
        yield server


@pytest.fixture(scope="session")
def s3_server(remote_folder):
    """moto's S3 on loopback, holding each file of remote_folder as s3://BUCKET/NAME."""
    with S3Server() as server:
        for path in sorted(p for p in remote_folder.rglob("*") if p.is_file()):
            server.upload(path, f"{BUCKET}/{path.relative_to(remote_folder).as_posix()}")
        yield server


def loaded(report, library):
    """(column names, {name: list of Python values}) as the library loaded the file."""
    if library == "pandas":
        frame = report.read_pandas()
        return list(frame.columns), [[None if pandas.isna(v) else v for v in frame.iloc[:, i]]
                                     for i in range(frame.shape[1])]
    if library == "arrow":
        table = report.read_arrow()
        return table.column_names, [c.to_pylist() for c in table.columns]
    if library == "polars":
        frame = report.read_polars()
        return frame.columns, [s.to_list() for s in frame.get_columns()]
    con = duckdb.connect()
    report.read_duckdb(con, "t")
    cursor = con.execute("SELECT * FROM t")
    return [d[0] for d in cursor.description], [list(c) for c in zip(*cursor.fetchall())]
