"""Shared helpers: Inf objects with defaults, input files, exact-message patterns."""
import re

import pytest

import quorvel_ext

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
