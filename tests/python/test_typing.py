"""mypy, run as a user runs it, finds the types of the installed package and of quorvel_ext."""
import subprocess
import sys

import pytest

pytestmark = pytest.mark.wheel

USER_SCRIPT = '''\
import quorvel
import quorvel_ext

report: quorvel.Report = quorvel.describe("orders.csv", threshold=0.8)
share: float = report.columns[0].share
inf = quorvel_ext.Inf(filepath=1, delimiter=",", col_type_patterns={}, na_values=set(),
                      multithreading=False, save_types_file=False, types_filepath="",
                      rolling_cache_window=0)
'''


def mypy(*args, cwd):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *args],
                          cwd=cwd, capture_output=True, text=True, timeout=300)


# How mypy writes an optional type: in the syntax of the Python it checks for.
OPTIONAL_FLOAT = "float | None" if sys.version_info >= (3, 10) else "Optional[float]"


def test_mypy_reads_the_installed_types(tmp_path):
    (tmp_path / "user.py").write_text(USER_SCRIPT)
    # Each error comes from a stub: without them mypy would report the modules untyped.
    assert mypy("user.py", cwd=tmp_path).stdout.splitlines() == [
        f'user.py:5: error: Incompatible types in assignment (expression has type "{OPTIONAL_FLOAT}",'
        ' variable has type "float")  [assignment]',
        'user.py:6: error: Argument "filepath" to "Inf" has incompatible type "int"; expected "str"'
        "  [arg-type]",
        "Found 2 errors in 1 file (checked 1 source file)"]


def test_package_passes_strict_mypy(tmp_path):
    result = mypy("-p", "quorvel", cwd=tmp_path)
    assert result.stdout == "Success: no issues found in 20 source files\n", result.stdout
