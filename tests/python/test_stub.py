"""The installed stub quorvel_ext.pyi against the module it describes."""
import ast
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import quorvel_ext

STUB = pathlib.Path(quorvel_ext.__file__).with_name("quorvel_ext.pyi")
METHODS = {
    "infer_types", "set_col_type_patterns", "set_na_values", "set_filepath", "set_delimiter",
    "set_multithreading", "set_save_types_file", "set_types_filepath", "set_rolling_cache_window",
    "get_col_type_patterns", "get_na_values", "get_filepath", "get_delimiter", "get_multithreading",
    "get_save_types_file", "get_types_filepath", "get_rolling_cache_window",
    "get_col_type_candidates",
}
PROPERTIES = {"num_rows", "col_names"}
INPUT_METHODS = {"peek", "readinto", "decode_as"}
INPUT_PROPERTIES = {"compression", "name", "size", "bytes_read", "undecodable"}
CELL_STREAM_METHODS = {"__arrow_c_stream__", "raise_failure", "misfits", "not_utf8_batches",
                       "stats"}
# pybind11's names for what no Python type names, and the stub's.
PYBIND_TYPES = {"buffer": "Any"}


@pytest.fixture(scope="module")
def stub():
    source = STUB.read_text()
    return source, ast.parse(source)


def stub_defs(tree, class_name="Inf"):
    (cls,) = [node for node in tree.body
              if isinstance(node, ast.ClassDef) and node.name == class_name]
    return {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}


def is_property(fn):
    return [ast.dump(d) for d in fn.decorator_list] == [ast.dump(ast.Name("property", ast.Load()))]


def split_params(text):
    """Splits "a: X, b: Dict[str, List[str]]" at the commas outside brackets."""
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        depth += {"[": 1, "]": -1}.get(ch, 0)
        if ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    return parts + [text[start:].strip()] if text.strip() else parts


def doc_signature(name, doc):
    """(parameters as (name, annotation) pairs, return annotation) of pybind11's signature line.

    A parameter with a default is (name, annotation, default); pybind11 writes a pointer that
    may be None without Optional, which the stub spells out."""
    first, *rest = doc.split("\n")
    match = re.fullmatch(re.escape(name) + r"\((.*)\) -> (.*)", first)
    assert match and not any(rest), f"not one plain signature: {doc!r}"
    params = []
    for text in split_params(match[1]):
        if text == "/":
            params.append(("/",))
            continue
        param, annotation = text.split(": ", 1)
        annotation, _, default = annotation.partition(" = ")
        annotation = PYBIND_TYPES.get(annotation, annotation)
        if default == "None" and not annotation.startswith("Optional["):
            annotation = f"Optional[{annotation}]"
        params.append((param, annotation, default) if default else (param, annotation))
    return params, match[2]


def stub_signature(source, fn):
    args = fn.args
    assert (args.vararg, args.kwonlyargs, args.kwarg) == (None, [], None)
    spell = lambda node: None if node is None else ast.get_source_segment(source, node)
    every = args.posonlyargs + args.args
    defaults = [None] * (len(every) - len(args.defaults)) + [spell(d) for d in args.defaults]
    params = [(a.arg, spell(a.annotation)) + ((d,) if d is not None else ())
              for a, d in zip(every, defaults)]
    return params, [a.arg for a in args.posonlyargs], spell(fn.returns)


def test_stub_and_module_name_the_same_things(stub):
    source, tree = stub
    runtime = {n for n in vars(quorvel_ext.Inf) if not n.startswith("_")} | {"__init__"}
    assert set(stub_defs(tree)) == runtime == METHODS | PROPERTIES | {"__init__"}
    assert {n for n, f in stub_defs(tree).items() if is_property(f)} == PROPERTIES
    assert {n for n, v in vars(quorvel_ext.Inf).items() if isinstance(v, property)} == PROPERTIES
    top = [n for n in tree.body if not isinstance(n, (ast.Import, ast.ImportFrom, ast.Expr))]
    names = [n.target.id if isinstance(n, ast.AnnAssign) else n.name for n in top]
    assert names == [n for n in dir(quorvel_ext) if not n.startswith("__")]
    assert ast.get_docstring(tree) == quorvel_ext.__doc__
    private = {n for n in vars(quorvel_ext._Input) if not n.startswith("_")}
    assert set(stub_defs(tree, "_Input")) - {"__init__"} == private == INPUT_METHODS | INPUT_PROPERTIES
    assert {n for n, f in stub_defs(tree, "_Input").items() if is_property(f)} == INPUT_PROPERTIES
    bound = {n for n in vars(quorvel_ext._CellStream) if not n.startswith("_")} | {
        n for n in vars(quorvel_ext._CellStream) if n.startswith("__arrow")}
    assert set(stub_defs(tree, "_CellStream")) - {"__init__"} == bound == CELL_STREAM_METHODS


@pytest.mark.parametrize("name", sorted(INPUT_METHODS))
def test_each_input_method_matches_its_binding(stub, name):
    source, tree = stub
    params, posonly, returns = stub_signature(source, stub_defs(tree, "_Input")[name])
    expected, expected_returns = doc_signature(name, getattr(quorvel_ext._Input, name).__doc__)
    assert params[0] == ("self", None) and expected[0] == ("self", "quorvel_ext._Input")
    assert expected[-1] == ("/",)
    assert params[1:] == expected[1:-1] and posonly == [p for p, *_ in params]
    assert returns == expected_returns


@pytest.mark.parametrize("name", sorted(INPUT_PROPERTIES))
def test_each_input_property_matches_its_getter(stub, name):
    source, tree = stub
    params, _, returns = stub_signature(source, stub_defs(tree, "_Input")[name])
    doc = getattr(quorvel_ext._Input, name).fget.__doc__
    match = re.fullmatch(r"\(arg0: quorvel_ext\._Input\) -> (.*)\n", doc)
    assert match, doc
    assert (params, returns) == ([("self", None)], match[1])


@pytest.mark.parametrize("name", sorted(METHODS | {"__init__"}))
def test_each_method_matches_its_binding(stub, name):
    source, tree = stub
    params, posonly, returns = stub_signature(source, stub_defs(tree)[name])
    expected, expected_returns = doc_signature(name, getattr(quorvel_ext.Inf, name).__doc__)
    assert [p for p, _ in params] == [p for p, _ in expected]
    # The stub leaves self unannotated; pybind11 spells it with the class.
    assert params[0][1] is None and expected[0][1] == "quorvel_ext.Inf"
    assert params[1:] == expected[1:]
    assert returns == expected_returns
    # pybind11 takes an argument by keyword only when the binding named it.
    by_position = [p for p, _ in expected[1:] if re.fullmatch(r"arg\d+", p)]
    assert [p for p in posonly if p != "self"] == by_position


@pytest.mark.parametrize("name", sorted(PROPERTIES))
def test_each_property_matches_its_getter(stub, name):
    source, tree = stub
    params, _, returns = stub_signature(source, stub_defs(tree)[name])
    doc = getattr(quorvel_ext.Inf, name).fget.__doc__
    match = re.fullmatch(r"\(arg0: quorvel_ext\.Inf\) -> (.*)\n", doc)
    assert match, doc
    assert (params, returns) == ([("self", None)], match[1])


def test_stubtest_finds_no_difference(stub, tmp_path):
    # stubtest sees every name, its kind and properties, but pybind11 functions carry no
    # signature Python can read back, so the parameter checks above compare signatures.
    shutil.copy(STUB, tmp_path / STUB.name)
    env = dict(os.environ, MYPYPATH=str(tmp_path))
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--concise", "quorvel_ext"],
                         cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    # A pybind11 class has pybind11's own metaclass, which no stub can name.
    assert run.stdout.splitlines() == [f"quorvel_ext.{name} is inconsistent, metaclass differs"
                                       for name in ("Inf", "_CellStream", "_Input")], \
        run.stdout + run.stderr


@pytest.mark.parametrize("name", ["_cell_examples", "_infer_types", "_overlaps", "_pass_stats",
                                  "_ragged_rows", "_open_input", "_set_pass_threads",
                                  "_scan_quotes", "_follow_rows", "_ended_at_row_end",
                                  "_read_cells"])
def test_each_private_function_matches_its_binding(stub, name):
    source, tree = stub
    (fn,) = [node for node in tree.body if isinstance(node, ast.FunctionDef) and node.name == name]
    params, posonly, returns = stub_signature(source, fn)
    expected, expected_returns = doc_signature(name, getattr(quorvel_ext, name).__doc__)
    # pybind11 marks the end of the positional-only parameters with "/" and names the classes
    # with their module; those after it have defaults.
    slash = expected.index(("/",))
    unqualified = [tuple(part.replace("quorvel_ext.", "") for part in p) for p in expected]
    assert params == unqualified[:slash] + unqualified[slash + 1:]
    assert posonly == [p for p, *_ in unqualified[:slash]]
    assert returns == expected_returns.replace("quorvel_ext.", "")
