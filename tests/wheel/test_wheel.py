"""The wheel scripts/build_wheel.sh makes, installed into a fresh venv as a user installs it.

Outside tests/python, so that the default run leaves it out: scripts/test.sh runs it on its own
with `pytest tests/wheel`, after the source build is installed into .venv, which the comparisons
here take as the reference.
"""
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import quorvel_ext as source_build

ROOT = Path(__file__).resolve().parents[2]
MESSY = ROOT / "examples" / "messy.csv"
MISFITS = ROOT / "examples" / "misfits.py"
TAG = "manylinux_2_17_x86_64"
GLIBC_FLOOR = (2, 17)
MAX_WHEEL_BYTES = 5 * 1000 * 1000
# The dynamic loader, which every policy takes as given: the module gets its
# thread-local storage from it.
LOADER = "ld-linux-x86-64.so.2"


def run(*args, timeout=600, **kwargs):
    """Runs a command to its end; a failure shows the end of what it wrote."""
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True,
                          timeout=timeout, **kwargs)
    assert done.returncode == 0, f"{args[0]} failed:\n{done.stdout[-3000:]}{done.stderr[-10000:]}"
    return done


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    built = run(ROOT / "scripts" / "build_wheel.sh", tmp_path_factory.mktemp("dist"), timeout=3000)
    return Path(built.stdout.splitlines()[-1])


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    """A venv made from the base interpreter, with nothing in it but the wheel and the
    pure-Python packages it requires (its encoding detector), which come from the index."""
    where = tmp_path_factory.mktemp("venv")
    base = Path(sys.base_prefix) / "bin" / f"python{sys.version_info[0]}.{sys.version_info[1]}"
    run(base, "-m", "venv", where)
    run(where / "bin" / "python", "-m", "pip", "install", "-q", wheel)
    return where


@pytest.fixture(scope="module")
def installed(venv):
    """Every file the wheel put into the venv, from the record pip keeps."""
    site = next((venv / "lib").glob("python*/site-packages"))
    [record] = site.glob("quorvel_ext-*.dist-info/RECORD")
    paths = (line.split(",")[0] for line in record.read_text().splitlines())
    return [p for p in (site / path for path in paths) if p.is_file()]


def clean_env():
    """The environment without anything that could lead the loader or Python elsewhere."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PYTHONPATH")}


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def glibc_versions_imported(path):
    """The versions of the glibc symbols `path` leaves undefined, as tuples of ints."""
    table = run("objdump", "-T", path).stdout
    found = re.findall(r"\*UND\*\s+\S+\s+\(?GLIBC_([\d.]+)", table)
    return {tuple(int(part) for part in version.split(".")) for version in found}


def needed_libraries(path):
    dynamic = run("objdump", "-p", path).stdout
    return set(re.findall(r"^\s*NEEDED\s+(\S+)", dynamic, re.M))


def test_auditwheel_tags_the_wheel_manylinux2014_with_nothing_outside_the_policy(wheel):
    from auditwheel.policy import WheelPolicies
    from auditwheel.wheel_abi import analyze_wheel_abi

    assert wheel.name.endswith(f"-{TAG}.manylinux2014_x86_64.whl")
    abi = analyze_wheel_abi(WheelPolicies(), str(wheel), frozenset())
    assert (abi.overall_tag, abi.sym_tag) == (TAG, TAG)
    assert abi.external_refs[TAG]["libs"] == {}


def test_the_source_build_imports_glibc_symbols_that_the_check_finds():
    """The check below on a module known to need a newer glibc: it must be able to fail."""
    newest = max(glibc_versions_imported(source_build.__file__))
    assert newest > GLIBC_FLOOR


def test_no_installed_file_imports_a_glibc_symbol_above_2_17(installed):
    binaries = [p for p in installed if is_elf(p)]
    assert [p.name for p in binaries] == [Path(source_build.__file__).name]
    for path in binaries:
        versions = glibc_versions_imported(path)
        assert versions, f"{path.name} imports no versioned glibc symbol: the check read nothing"
        assert max(versions) <= GLIBC_FLOOR, path.name


def test_the_module_loads_only_what_the_policy_promises_and_no_icu(wheel, installed):
    from auditwheel.policy import WheelPolicies

    allowed = set(WheelPolicies().get_policy_by_name(TAG)["lib_whitelist"])
    [module] = [p for p in installed if is_elf(p)]
    assert needed_libraries(module) <= allowed | {LOADER}
    # Nothing copied in: every library the module calls is linked into it.
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    assert not [n for n in names if ".libs/" in n or "icu" in n.lower()]
    assert "libicu" not in run("ldd", module, env=clean_env()).stdout


def test_the_wheel_carries_the_notices_of_everything_linked_into_it(wheel):
    with zipfile.ZipFile(wheel) as archive:
        notices = {Path(n).parent.name for n in archive.namelist()
                   if "/licenses/bundled/" in n and not n.endswith("/")}
    sources = {"boost1.74", "re2", "libzstd", "xz-utils", "bzip2", "zlib"}
    assert notices == sources | {"libcxx", "libcxxabi", "libunwind"}


def test_the_wheel_is_at_most_5_megabytes(wheel):
    assert wheel.stat().st_size <= MAX_WHEEL_BYTES


def test_the_wheel_carries_the_boost_of_the_source_build(venv, tmp_path):
    """Boost.Regex defines every pattern: the two builds must agree on the version."""
    carried = run(venv / "bin" / "python", "-c", "import quorvel_ext; print(quorvel_ext._boost_version)",
                  cwd=tmp_path, env=clean_env()).stdout
    assert int(carried) == source_build._boost_version


def test_the_whole_python_suite_passes_against_the_installed_wheel(venv, tmp_path):
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "-q", "-r", ROOT / "tests" / "python" / "requirements.txt")
    env = clean_env()
    where = run(python, "-c", "import quorvel, quorvel_ext; "
                "print(quorvel.__file__); print(quorvel_ext.__file__)", cwd=tmp_path, env=env).stdout
    site = next((venv / "lib").glob("python*/site-packages"))
    assert [site in Path(line).parents for line in where.splitlines()] == [True, True]
    # From a folder outside the checkout, so that nothing of it comes before the venv's copy.
    suite = subprocess.run(
        [str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", str(ROOT),
         "-c", str(ROOT / "pyproject.toml"), str(ROOT / "tests" / "python")],
        capture_output=True, text=True, timeout=2400, cwd=tmp_path, env=env)
    assert suite.returncode == 0, suite.stdout[-20000:] + suite.stderr[-5000:]
    assert re.search(r"\d+ passed", suite.stdout), suite.stdout[-2000:]


@pytest.mark.parametrize("fresh_command, source_command", [
    (["bin/quorvel", MESSY], [sys.executable, "-m", "quorvel", MESSY]),
    (["bin/python", MISFITS], [sys.executable, MISFITS]),
])
def test_bundled_example_runs_from_the_fresh_venv_as_from_the_source_build(
        venv, tmp_path, fresh_command, source_command):
    fresh = run(venv / fresh_command[0], *fresh_command[1:], cwd=tmp_path, env=clean_env())
    source = run(*source_command, cwd=tmp_path, env=clean_env())
    assert fresh.stderr == ""
    assert fresh.stdout == source.stdout
