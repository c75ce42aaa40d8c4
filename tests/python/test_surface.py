"""The Python face of Inf: construction, argument conversion, getters and object behaviour."""
import collections
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import quorvel_ext
from conftest import INT, UNMATCHED_PAREN, exactly, refused_constructor, refused_method

ARGS = ("in.csv", ";", INT, {"NA"}, True, True, "types.csv", 7)
NAMES = ("filepath", "delimiter", "col_type_patterns", "na_values", "multithreading",
         "save_types_file", "types_filepath", "rolling_cache_window")


class SetSub(set):
    pass


class Index:
    def __index__(self):
        return 5


def settings(inf):
    return tuple(getattr(inf, "get_" + name)() for name in NAMES)


def with_arg(name, value):
    args = list(ARGS)
    args[NAMES.index(name)] = value
    return args


@pytest.mark.parametrize("args, kwargs", [
    (ARGS, {}), ((), dict(zip(NAMES, ARGS))), ((), dict(reversed(list(zip(NAMES, ARGS))))),
    (ARGS[:3], dict(list(zip(NAMES, ARGS))[:2:-1])),
], ids=["positional", "keywords", "keywords-reversed", "mixed"])
def test_construction_by_position_keyword_or_both(args, kwargs):
    assert settings(quorvel_ext.Inf(*args, **kwargs)) == ARGS


@pytest.mark.parametrize("missing", NAMES)
def test_every_argument_is_required(missing):
    kwargs = {k: v for k, v in zip(NAMES, ARGS) if k != missing}
    with pytest.raises(TypeError, match=refused_constructor(kwargs=kwargs)):
        quorvel_ext.Inf(**kwargs)


# (setting, value given, value read back)
ACCEPTED = [
    ("filepath", "dätä.csv", "dätä.csv"), ("filepath", "dätä.csv".encode(), "dätä.csv"),
    ("types_filepath", b"t.csv", "t.csv"), ("delimiter", "\t", "\t"), ("delimiter", b"\t", "\t"),
    ("delimiter", "\u00e9", "\u00e9"), ("delimiter", b"\xe9", "\u00e9"), ("delimiter", "\0", "\0"),
    ("col_type_patterns", {"int": ("[0-9]+", "-[0-9]+")}, {"int": ["[0-9]+", "-[0-9]+"]}),
    ("col_type_patterns", collections.OrderedDict(e=[]), {"e": []}),
    ("col_type_patterns", {b"w": [b"[a-z]+", b"[a-z]+"]}, {"w": ["[a-z]+", "[a-z]+"]}),
    ("col_type_patterns", {}, {}), ("na_values", set(), set()),
    ("na_values", {"NA", b"-", ""}, {"NA", "-", ""}), ("na_values", SetSub({"x"}), {"x"}),
    ("multithreading", None, False), ("multithreading", 2, True), ("multithreading", 0.0, False),
    ("save_types_file", None, False), ("save_types_file", 2, True),
    ("rolling_cache_window", -1, -1), ("rolling_cache_window", 0, 0),
    ("rolling_cache_window", True, 1), ("rolling_cache_window", 2**31 - 1, 2**31 - 1),
    ("rolling_cache_window", -2**31, -2**31), ("rolling_cache_window", Index(), 5),
]


@pytest.mark.parametrize("via", ["constructor", "setter"])
@pytest.mark.parametrize("name, given, stored", ACCEPTED)
def test_accepted_arguments_are_stored_and_read_back(via, name, given, stored):
    inf = quorvel_ext.Inf(*(with_arg(name, given) if via == "constructor" else ARGS))
    if via == "setter":
        assert getattr(inf, "set_" + name)(given) is None
    got = getattr(inf, "get_" + name)()
    assert (type(got), got) == (type(stored), stored)


PATTERNS, SET = "Dict[str, List[str]]", "Set[str]"
# (setting, annotation in the signature, refused value)
REFUSED = [
    ("filepath", "str", bytearray(b"in.csv")), ("filepath", "str", None),
    ("filepath", "str", pathlib.PurePosixPath("in.csv")), ("filepath", "str", "in\udc80.csv"),
    ("types_filepath", "str", "\ud800"), ("delimiter", "str", bytearray(b";")),
    ("delimiter", "str", 59), ("col_type_patterns", PATTERNS, {"int": "[0-9]+"}),
    ("col_type_patterns", PATTERNS, {"int": b"[0-9]+"}), ("col_type_patterns", PATTERNS, {"int": 5}),
    ("col_type_patterns", PATTERNS, {1: ["x"]}), ("col_type_patterns", PATTERNS, {"int": ["\udc80"]}),
    ("col_type_patterns", PATTERNS, [("int", ["[0-9]+"])]), ("na_values", SET, frozenset({"NA"})),
    ("na_values", SET, ["NA"]), ("na_values", SET, ("NA",)), ("na_values", SET, {"NA": 1}),
    ("na_values", SET, {1}), ("multithreading", "bool", "yes"), ("save_types_file", "bool", []),
    ("rolling_cache_window", "int", 2**31), ("rolling_cache_window", "int", -2**31 - 1),
    ("rolling_cache_window", "int", 10.0), ("rolling_cache_window", "int", "10"),
    ("rolling_cache_window", "int", None),
]


@pytest.mark.parametrize("name, annotation, value", REFUSED)
def test_refused_arguments_raise_type_error_and_change_nothing(name, annotation, value):
    args = with_arg(name, value)
    with pytest.raises(TypeError, match=refused_constructor(args)):
        quorvel_ext.Inf(*args)
    inf = quorvel_ext.Inf(*ARGS)
    with pytest.raises(TypeError, match=refused_method("set_" + name, annotation, [value])):
        getattr(inf, "set_" + name)(value)
    assert settings(inf) == ARGS


NONE, EMPTY = "Cannot convert None to a character", "Cannot convert empty string to a character"
RANGE = "Character code point not in range(0x100)"
MULTI = "Expected a character, but multi-character string found"


@pytest.mark.parametrize("value, message", [
    (None, NONE), ("", EMPTY), (b"", EMPTY), ("\u20ac", RANGE), ("\U0001F600", RANGE),
    (";;", MULTI), (b"ab", MULTI), ("\u00e9;", MULTI),
])
def test_delimiter_must_be_one_character(value, message):
    with pytest.raises(ValueError, match=exactly(message)):
        quorvel_ext.Inf(*with_arg("delimiter", value))
    inf = quorvel_ext.Inf(*ARGS)
    with pytest.raises(ValueError, match=exactly(message)):
        inf.set_delimiter(value)
    assert inf.get_delimiter() == ";"


def test_other_arguments_convert_before_the_delimiter_check():
    args = with_arg("delimiter", "")
    args[-1] = "x"
    with pytest.raises(TypeError, match=refused_constructor(args)):
        quorvel_ext.Inf(*args)


@pytest.mark.parametrize("method, annotation, args, kwargs", [
    ("set_filepath", "str", (), {"arg0": "x"}), ("set_rolling_cache_window", "int", (), {"rows": 3}),
    ("set_delimiter", "str", (",",), {"c": ","}), ("infer_types", None, (1,), None),
    ("set_na_values", SET, (), None),
])
def test_methods_take_one_positional_argument_at_most(method, annotation, args, kwargs):
    inf = quorvel_ext.Inf(*ARGS)
    with pytest.raises(TypeError, match=refused_method(method, annotation, args, kwargs)):
        getattr(inf, method)(*args, **(kwargs or {}))
    assert settings(inf) == ARGS


# Python's own messages for a property without a setter or deleter, which 3.11 reworded.
READ_ONLY = (("property of 'Inf' object has no setter", "property of 'Inf' object has no deleter")
             if sys.version_info >= (3, 11) else ("can't set attribute", "can't delete attribute"))


@pytest.mark.parametrize("prop", ["num_rows", "col_names"])
def test_result_properties_are_read_only(prop):
    inf = quorvel_ext.Inf(*ARGS)
    no_setter, no_deleter = READ_ONLY
    with pytest.raises(AttributeError, match=exactly(no_setter)):
        setattr(inf, prop, 3)
    with pytest.raises(AttributeError, match=exactly(no_deleter)):
        delattr(inf, prop)
    assert getattr(quorvel_ext.Inf, prop).__doc__ == ""


def test_instances_take_no_new_attributes():
    inf = quorvel_ext.Inf(*ARGS)
    with pytest.raises(AttributeError, match=exactly("'quorvel_ext.Inf' object has no attribute 'x'")):
        inf.x = 1
    assert not hasattr(inf, "__dict__")


def test_a_subclass_runs_a_pass(write):
    class Sub(quorvel_ext.Inf):
        def ints(self):
            return {name: c["int"] for name, c in self.get_col_type_candidates().items()}

    sub = Sub(write("a,b\n1,x\n2,3\n"), ",", INT, set(), False, False, "", 10)
    sub.infer_types()
    assert (isinstance(sub, quorvel_ext.Inf), sub.ints(), sub.num_rows) == (True, {"a": 2, "b": 1}, 2)


def test_calling_init_again_changes_nothing():
    inf = quorvel_ext.Inf(*ARGS)
    assert inf.__init__("other.csv", ",", {}, set(), False, False, "", 1) is None
    assert settings(inf) == ARGS


def test_getters_hand_out_copies(write, make_inf):
    inf = make_inf(filepath=write("a,b\n1,x\n"), na_values={"NA"})
    inf.infer_types()
    before = (settings(inf), inf.col_names, inf.get_col_type_candidates())
    inf.get_col_type_patterns()["int"].append("x")
    inf.get_col_type_patterns()["new"] = []
    inf.get_na_values().add("-")
    inf.col_names.append("c")
    inf.get_col_type_candidates()["a"]["int"] = 99
    inf.get_col_type_candidates()["z"] = {}
    assert (settings(inf), inf.col_names, inf.get_col_type_candidates()) == before


def test_an_undecodable_column_name_raises_and_leaves_the_object_usable(write, make_inf):
    inf = make_inf(filepath=write(b"\xff,ok\n1,2\n"))
    inf.infer_types()
    message = exactly("'utf-8' codec can't decode byte 0xff in position 0: invalid start byte")
    with pytest.raises(UnicodeDecodeError, match=message):
        inf.col_names
    with pytest.raises(UnicodeDecodeError, match=message):
        inf.get_col_type_candidates()
    assert inf.num_rows == 1
    inf.set_filepath(write("x\n7\n8\n", name="good.csv"))
    inf.infer_types()
    assert (inf.col_names, inf.num_rows) == (["x"], 2)
    # Counts of names met by an earlier pass are kept, the undecodable one too.
    with pytest.raises(UnicodeDecodeError, match=message):
        inf.get_col_type_candidates()


def test_a_bad_pattern_fails_construction_or_keeps_what_compiled_before_it(write, make_inf):
    with pytest.raises(RuntimeError, match=exactly(UNMATCHED_PAREN)):
        quorvel_ext.Inf(*with_arg("col_type_patterns", {"p": ["("]}))
    inf = make_inf(filepath=write("a\n1\nx\n"))
    with pytest.raises(RuntimeError, match=exactly(UNMATCHED_PAREN)):
        inf.set_col_type_patterns({"w": ["[a-z]", "("]})
    assert inf.get_col_type_patterns() == {"w": ["[a-z]"]}
    inf.infer_types()
    assert inf.get_col_type_candidates() == {"a": {"w": 1, "other": 1, "NA": 0}}


def test_a_missing_file_fails_the_pass_and_keeps_the_last_results(write, make_inf, tmp_path):
    inf = make_inf(filepath=write("a\n1\n2\n"))
    inf.infer_types()
    inf.set_filepath(str(tmp_path / "missing.csv"))
    with pytest.raises(RuntimeError, match=exactly("Something is wrong with input stream")):
        inf.infer_types()
    assert (inf.num_rows, inf.col_names) == (0, ["a"])
    assert inf.get_col_type_candidates() == {"a": {"int": 2, "other": 0, "NA": 0}}


def test_a_directory_is_not_an_input(make_inf, tmp_path):
    inf = make_inf(filepath=str(tmp_path))
    with pytest.raises(RuntimeError, match=exactly(
            f"Cannot read input stream '{tmp_path}' at byte 0: Is a directory")):
        inf.infer_types()
    assert (inf.col_names, inf.get_col_type_candidates()) == ([], {})


@pytest.mark.parametrize("name, message", [
    ("filepath", "the CSV file path contains a NUL byte"),
    ("types_filepath", "the types file path contains a NUL byte"),
])
def test_a_path_with_a_nul_byte_is_refused(make_inf, write, tmp_path, name, message):
    inf = make_inf(filepath=write("a\n1\n"), save_types_file=True)
    getattr(inf, "set_" + name)(getattr(inf, "get_" + name)() + "\0.x")
    with pytest.raises(ValueError, match=exactly(message)):
        inf.infer_types()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


RUNNING = f"{sys.version_info[0]}.{sys.version_info[1]}"


def other_interpreter():
    """A Python other than this one from pyenv's versions folder, if the machine has one.
    3.8 and 3.13 are left out: the loader turns a module of another version away before its
    check runs, for want of a function that 3.8 does not yet have or 3.13 no longer has."""
    root = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))
    for version in ("3.9", "3.10", "3.11", "3.12"):
        for python in sorted(root.glob(f"versions/{version}.*/bin/python{version}")):
            if version != RUNNING:
                return python
    return None


def test_import_into_another_python_names_both_versions(tmp_path):
    python = other_interpreter()
    if python is None:
        pytest.skip(f"no Python other than {RUNNING} under pyenv")
    shutil.copy(quorvel_ext.__file__, tmp_path / "quorvel_ext.so")
    result = subprocess.run([str(python), "-c", "import quorvel_ext"], cwd=tmp_path,
                            capture_output=True, text=True)
    assert result.returncode != 0
    assert re.search(rf"ImportError: Python version mismatch: module was compiled for Python "
                     rf"{re.escape(RUNNING)}, but the interpreter version is incompatible: "
                     r"3\.\d+\.\d+ ", result.stderr)
