"""The wheels of the Pythons after 3.8: the whole Python suite against the 3.12 one with current
releases of the libraries; for the others a smoke test, a fresh venv with the wheel and the four
loaders, checked against the source build; and every module turned away by every other Python."""
import json
import re
import subprocess
import sys
import zipfile

import pytest

from wheel_support import ROOT, VERSIONS, assert_suite_passes, clean_env, fresh_venv, \
    interpreter, run

MESSY = ROOT / "examples" / "messy.csv"
SMOKED = ("3.9", "3.10", "3.11", "3.13")
# Describes a file and loads it with each library, printing the report and what each loaded.
DESCRIBE_AND_LOAD = '''
import json, sys, warnings
import duckdb, quorvel
warnings.simplefilter("ignore", quorvel.MisfitWarning)
report = quorvel.describe(sys.argv[1])
connection = duckdb.connect()
report.read_duckdb(connection, "t")
loaded = {"pandas": report.read_pandas(), "pyarrow": report.read_arrow(),
          "polars": report.read_polars(), "duckdb": connection.sql("SELECT * FROM t")}
shapes = {name: list(frame.shape) for name, frame in loaded.items()}
print(json.dumps({"report": report.to_dict(), "shapes": shapes}))
'''


def test_the_whole_python_suite_passes_against_the_3_12_wheel_with_current_libraries(
        wheels, tmp_path_factory, tmp_path):
    venv = fresh_venv("3.12", tmp_path_factory.mktemp("venv-3.12"), wheels["3.12"],
                      "-r", ROOT / "tests" / "python" / "requirements-3.12.txt")
    assert_suite_passes(venv, tmp_path)


@pytest.fixture(scope="module", params=SMOKED)
def smoke_venv(request, wheels, tmp_path_factory):
    return fresh_venv(request.param, tmp_path_factory.mktemp(f"venv-{request.param}"),
                      wheels[request.param],
                      "-r", ROOT / "tests" / "wheel" / "smoke-requirements.txt")


def test_the_command_describes_a_file_as_the_source_build_does(smoke_venv, tmp_path):
    fresh = run(smoke_venv / "bin" / "quorvel", MESSY, cwd=tmp_path, env=clean_env())
    source = run(sys.executable, "-m", "quorvel", MESSY, cwd=tmp_path, env=clean_env())
    assert (fresh.stdout, fresh.stderr) == (source.stdout, "")


def test_each_library_loads_what_it_loads_from_the_source_build(smoke_venv, tmp_path):
    script = tmp_path / "describe_and_load.py"
    script.write_text(DESCRIBE_AND_LOAD)
    fresh = run(smoke_venv / "bin" / "python", script, MESSY, cwd=tmp_path, env=clean_env())
    source = run(sys.executable, script, MESSY, cwd=tmp_path, env=clean_env())
    assert json.loads(fresh.stdout) == json.loads(source.stdout)


@pytest.fixture(scope="module")
def modules(wheels, tmp_path_factory):
    """Each version's module out of its wheel, as quorvel_ext.so in a folder of its own: a name
    that every Python imports."""
    found = {}
    for version, wheel in wheels.items():
        folder = tmp_path_factory.mktemp(f"module-{version}")
        with zipfile.ZipFile(wheel) as archive:
            [name] = [n for n in archive.namelist() if n.endswith(".so")]
            (folder / "quorvel_ext.so").write_bytes(archive.read(name))
        found[version] = folder
    return found


def stub_library(functions, where):
    """A library defining each of `functions` as a function that does nothing."""
    source = where / "stub.c"
    source.write_text("".join(f"void {name}(void) {{}}\n" for name in functions))
    run("cc", "-shared", "-fPIC", "-o", where / "stub.so", source)
    return where / "stub.so"


def import_into(python, folder, preload):
    env = clean_env()
    if preload:
        env["LD_PRELOAD"] = str(preload)
    return subprocess.run([str(python), "-c", "import quorvel_ext"], cwd=folder,
                          capture_output=True, text=True, env=env, timeout=60)


@pytest.mark.parametrize("built, other", [(b, o) for b in VERSIONS for o in VERSIONS if b != o])
def test_a_module_refuses_any_other_python_naming_both_versions(modules, built, other, tmp_path):
    """The loader may turn the module away first, for a function of the C API that the other
    Python lacks (3.13's modules need one new in 3.13, and 3.13 dropped one the others call);
    with that function stubbed in, the module's own check must still refuse."""
    missing = []
    for _ in range(32):
        result = import_into(interpreter(other), modules[built],
                             stub_library(missing, tmp_path) if missing else None)
        assert result.returncode != 0, result.stdout
        undefined = re.search(r"ImportError: .*: undefined symbol: (\w+)$", result.stderr, re.M)
        if undefined is None:
            break
        missing.append(undefined.group(1))
    assert re.search(rf"^ImportError: Python version mismatch: module was compiled for Python "
                     rf"{re.escape(built)}, but the interpreter version is incompatible: "
                     rf"{re.escape(other)}\.\d+ ", result.stderr, re.M), result.stderr
