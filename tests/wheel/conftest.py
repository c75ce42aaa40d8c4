"""The wheel of every Python the wheels serve, built once for all the wheel tests."""
from pathlib import Path

import pytest

from wheel_support import ROOT, VERSIONS, run


@pytest.fixture(scope="session")
def wheels(tmp_path_factory):
    """Each version's wheel, by version, all in one folder."""
    dist = tmp_path_factory.mktemp("dist")
    return {version: Path(run(ROOT / "scripts" / "build_wheel.sh", dist, version,
                              timeout=3000).stdout.splitlines()[-1])
            for version in VERSIONS}
