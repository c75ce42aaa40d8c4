"""What the wheel tests share: the Pythons the wheels serve, fresh venvs of their interpreters,
the Python suite run from one of them, and commands run to their end."""
import os
import re
import shutil
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
VERSIONS = ("3.8", "3.9", "3.10", "3.11", "3.12", "3.13")


def run(*args, timeout=600, **kwargs):
    """Runs a command to its end; a failure shows the end of what it wrote."""
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True,
                          timeout=timeout, **kwargs)
    assert done.returncode == 0, f"{args[0]} failed:\n{done.stdout[-3000:]}{done.stderr[-10000:]}"
    return done


def clean_env():
    """The environment without anything that could lead the loader or Python elsewhere."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PYTHONPATH")}


def interpreter(version):
    """The interpreter of `version` that scripts/setup.sh finds: pyenv's, else one on PATH."""
    root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    found = sorted(root.glob(f"versions/{version}.*/bin/python{version}"))
    on_path = shutil.which(f"python{version}")
    assert found or on_path, f"no Python {version} in {root}/versions nor on PATH"
    return found[0] if found else Path(on_path)


def fresh_venv(version, where, *to_install):
    """A venv of pyenv's Python `version` at `where`, with `to_install` (pip's arguments) in it."""
    run(interpreter(version), "-m", "venv", where)
    run(where / "bin" / "python", "-m", "pip", "install", "-q", *to_install, timeout=1200)
    return where


def site_packages(venv):
    return next((venv / "lib").glob("python*/site-packages"))


def assert_suite_passes(venv, cwd, leaving_out=()):
    """The Python suite less the files `leaving_out` names, run by the venv's Python against what
    is installed in it, from a folder outside the checkout, so that nothing of the checkout comes
    before the venv's copy."""
    python = venv / "bin" / "python"
    env = clean_env()
    where = run(python, "-c", "import quorvel, quorvel_ext; "
                "print(quorvel.__file__); print(quorvel_ext.__file__)", cwd=cwd, env=env).stdout
    site = site_packages(venv)
    assert [site in Path(line).parents for line in where.splitlines()] == [True, True]
    suite = subprocess.run(
        [str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", str(ROOT),
         "-c", str(ROOT / "pyproject.toml"), "-n", str(os.cpu_count()), "--dist", "loadfile",
         str(ROOT / "tests" / "python"),
         *(f"--ignore={ROOT / 'tests' / 'python' / name}" for name in leaving_out)],
        capture_output=True, text=True, timeout=2400, cwd=cwd, env=env)
    assert suite.returncode == 0, suite.stdout[-20000:] + suite.stderr[-5000:]
    assert re.search(r"\d+ passed", suite.stdout), suite.stdout[-2000:]
