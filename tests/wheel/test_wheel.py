"""The wheels scripts/build_wheel.sh makes: what each holds, and the 3.8 one installed into a
fresh venv as a user installs it, with the Python suite less the files that do not depend on
the build.

Outside tests/python, so that the default run leaves it out: scripts/test.sh runs it on its own
with `pytest tests/wheel`, after the source build is installed into .venv, which the comparisons
here take as the reference.
"""
import re
import sys
import zipfile
from pathlib import Path

import pytest

import quorvel_ext as source_build
from wheel_support import ROOT, VERSIONS, assert_suite_passes, clean_env, fresh_venv, run

MESSY = ROOT / "examples" / "messy.csv"
MISFITS = ROOT / "examples" / "misfits.py"
TAG = "manylinux_2_17_x86_64"
GLIBC_FLOOR = (2, 17)
MAX_WHEEL_BYTES = 5 * 1000 * 1000
# Test files of the package's own work around the module: cutting a file for a cluster,
# remote sources, the notebook page. The module they call runs under AddressSanitizer with
# these libraries, and from the 3.12 wheel with current ones; a second run here would only
# add to the test command's time, which the cluster's files dominate.
SAME_ON_EVERY_BUILD = ("test_cluster.py", "test_remote_describe.py", "test_urls.py",
                       "test_notebook.py")
# The dynamic loader, which every policy takes as given: the module gets its
# thread-local storage from it.
LOADER = "ld-linux-x86-64.so.2"


@pytest.fixture(scope="module")
def wheel(wheels):
    return wheels["3.8"]


@pytest.fixture(params=VERSIONS)
def any_wheel(request, wheels):
    return wheels[request.param]


@pytest.fixture
def unpacked(any_wheel, tmp_path):
    """Every file of the wheel, unpacked."""
    with zipfile.ZipFile(any_wheel) as archive:
        archive.extractall(tmp_path)
    return [p for p in tmp_path.rglob("*") if p.is_file()]


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    """A venv of Python 3.8, with nothing in it but the wheel and the pure-Python packages it
    requires (its encoding detector), which come from the index."""
    return fresh_venv("3.8", tmp_path_factory.mktemp("venv"), wheel)


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def the_module(files):
    [module] = [p for p in files if is_elf(p)]
    return module


def glibc_versions_imported(path):
    """The versions of the glibc symbols `path` leaves undefined, as tuples of ints."""
    table = run("objdump", "-T", path).stdout
    found = re.findall(r"\*UND\*\s+\S+\s+\(?GLIBC_([\d.]+)", table)
    return {tuple(int(part) for part in version.split(".")) for version in found}


def needed_libraries(path):
    dynamic = run("objdump", "-p", path).stdout
    return set(re.findall(r"^\s*NEEDED\s+(\S+)", dynamic, re.M))


def test_auditwheel_tags_the_wheel_manylinux2014_with_nothing_outside_the_policy(any_wheel):
    from auditwheel.policy import WheelPolicies
    from auditwheel.wheel_abi import analyze_wheel_abi

    assert any_wheel.name.endswith(f"-{TAG}.manylinux2014_x86_64.whl")
    abi = analyze_wheel_abi(WheelPolicies(), str(any_wheel), frozenset())
    assert (abi.overall_tag, abi.sym_tag) == (TAG, TAG)
    assert abi.external_refs[TAG]["libs"] == {}


def test_the_source_build_imports_glibc_symbols_that_the_check_finds():
    """The check below on a module known to need a newer glibc: it must be able to fail."""
    newest = max(glibc_versions_imported(source_build.__file__))
    assert newest > GLIBC_FLOOR


def test_the_one_binary_is_the_module_of_its_python_and_imports_no_glibc_symbol_above_2_17(
        any_wheel, unpacked):
    module = the_module(unpacked)
    tag = re.search(r"-cp(3\d+)-cp3\d+-", any_wheel.name).group(1)
    assert module.name == f"quorvel_ext.cpython-{tag}-x86_64-linux-gnu.so"
    versions = glibc_versions_imported(module)
    assert versions, f"{module.name} imports no versioned glibc symbol: the check read nothing"
    assert max(versions) <= GLIBC_FLOOR, module.name


def test_the_module_loads_only_what_the_policy_promises_and_no_icu(any_wheel, unpacked):
    from auditwheel.policy import WheelPolicies

    allowed = set(WheelPolicies().get_policy_by_name(TAG)["lib_whitelist"])
    module = the_module(unpacked)
    assert needed_libraries(module) <= allowed | {LOADER}
    # Nothing copied in: every library the module calls is linked into it.
    with zipfile.ZipFile(any_wheel) as archive:
        names = archive.namelist()
    assert not [n for n in names if ".libs/" in n or "icu" in n.lower()]
    assert "libicu" not in run("ldd", module, env=clean_env()).stdout


def test_the_wheel_carries_the_notices_of_everything_linked_into_it(any_wheel):
    with zipfile.ZipFile(any_wheel) as archive:
        notices = {Path(n).parent.name for n in archive.namelist()
                   if "/licenses/bundled/" in n and not n.endswith("/")}
    sources = {"boost1.74", "re2", "libzstd", "xz-utils", "bzip2", "zlib", "nanoarrow"}
    assert notices == sources | {"libcxx", "libcxxabi", "libunwind"}


def test_the_wheel_is_at_most_5_megabytes(any_wheel):
    assert any_wheel.stat().st_size <= MAX_WHEEL_BYTES


def test_the_wheel_carries_the_boost_of_the_source_build(venv, tmp_path):
    """Boost.Regex defines every pattern: the two builds must agree on the version."""
    carried = run(venv / "bin" / "python", "-c", "import quorvel_ext; print(quorvel_ext._boost_version)",
                  cwd=tmp_path, env=clean_env()).stdout
    assert int(carried) == source_build._boost_version


def test_the_python_suite_passes_against_the_installed_wheel(venv, tmp_path):
    run(venv / "bin" / "python", "-m", "pip", "install", "-q", "-r",
        ROOT / "tests" / "python" / "requirements.txt", timeout=1200)
    assert_suite_passes(venv, tmp_path, leaving_out=SAME_ON_EVERY_BUILD)


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
