"""The wheel scripts/build_wheel.sh makes, installed into a fresh venv as a user installs it.

Outside tests/python, so that the default run leaves it out: scripts/test.sh runs it on its own
with `pytest tests/wheel`, once the module's build directory is warm.
"""
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
MESSY = ROOT / "examples" / "messy.csv"
MISFITS = ROOT / "examples" / "misfits.py"


def run(*args, **kwargs):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, check=True,
                          timeout=600, **kwargs)


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    built = run(ROOT / "scripts" / "build_wheel.sh", tmp_path_factory.mktemp("dist"))
    return Path(built.stdout.splitlines()[-1])


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    """A venv made from the base interpreter, with nothing in it but the wheel."""
    where = tmp_path_factory.mktemp("venv")
    base = Path(sys.base_prefix) / "bin" / f"python{sys.version_info[0]}.{sys.version_info[1]}"
    run(base, "-m", "venv", where)
    run(where / "bin" / "python", "-m", "pip", "install", "-q", "--no-index", wheel)
    return where


def clean_env():
    """The environment without anything that could lead the loader or Python elsewhere."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PYTHONPATH")}


def policy_of(wheel):
    from auditwheel.policy import WheelPolicies

    tag = re.search(r"-(manylinux_\d+_\d+_\w+)\.whl$", wheel.name)
    assert tag, f"{wheel.name} has no manylinux tag"
    return WheelPolicies(), tag.group(1)


def test_auditwheel_finds_nothing_outside_the_tag_it_gave(wheel):
    from auditwheel.wheel_abi import analyze_wheel_abi

    policies, tag = policy_of(wheel)
    abi = analyze_wheel_abi(policies, str(wheel), frozenset())
    assert abi.overall_tag == tag
    assert abi.external_refs[tag]["libs"] == {}


def test_every_library_outside_the_policy_is_the_wheels_own_copy(wheel, venv):
    policies, tag = policy_of(wheel)
    allowed = set(policies.get_policy_by_name(tag)["lib_whitelist"])
    [module] = (venv / "lib").glob("python*/site-packages/quorvel_ext.cpython-*.so")
    ldd = run("ldd", module, env=clean_env()).stdout
    resolved = dict(re.findall(r"^\s*(\S+) => (\S+)", ldd, re.M))
    assert "not found" not in resolved.values(), ldd
    own = {name: path for name, path in resolved.items() if name not in allowed}
    # Debian's Boost.Regex and RE2 are shared libraries, so there is always something to bundle.
    assert own, ldd
    libs = module.parent / "quorvel_ext.libs"
    assert {name: Path(path).parent for name, path in own.items()} == dict.fromkeys(own, libs)
    with zipfile.ZipFile(wheel) as archive:
        shipped = {Path(n).name for n in archive.namelist()
                   if Path(n).parent == Path("quorvel_ext.libs")}
    assert set(own) == shipped


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
    where = run(venv / "bin" / "python", "-c", "import quorvel, quorvel_ext; "
                "print(quorvel.__file__); print(quorvel_ext.__file__)",
                cwd=tmp_path, env=clean_env()).stdout
    site = next((venv / "lib").glob("python*/site-packages"))
    assert [site in Path(line).parents for line in where.splitlines()] == [True, True]
