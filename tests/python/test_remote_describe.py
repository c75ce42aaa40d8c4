"""describe() and describe_many() on URLs of moto's S3 and an HTTP server on loopback: the same
reports as on the local files the objects were made from, and the errors of quorvel.urls."""
import re

import pytest

import quorvel
from conftest import BUCKET, GLOBBED, REMOTE_CSV, REMOTE_GZ, exactly
from quorvel.urls import SourceReadError


def found(report):
    """What the report tells of the data, less where it was read from: the same for a URL and
    its local copy."""
    fields = report.to_dict()
    del fields["path"]
    return fields


@pytest.fixture(params=["s3", "http"])
def remote(request):
    """(URL of a name, the storage options it needs) on each server."""
    if request.param == "s3":
        options = request.getfixturevalue("s3_server").storage_options
        return lambda name: f"s3://{BUCKET}/{name}", options
    return request.getfixturevalue("http_server").url, None


@pytest.mark.parametrize("name", [REMOTE_CSV, REMOTE_GZ])
def test_describe_a_url_as_its_local_copy(remote_folder, remote, name):
    url_of, options = remote
    local = quorvel.describe(str(remote_folder / name))
    report = quorvel.describe(url_of(name), storage_options=options)
    assert report.path == url_of(name)
    assert found(report) == found(local)
    assert [c.verdict for c in report.columns] == ["integer", "decimal", "date", "boolean",
                                                   "email", "integer"]


def test_describe_many_on_an_s3_glob(remote_folder, s3_server):
    names = sorted(name for name in GLOBBED if name.count("/") == 1 and name.endswith(".csv"))
    local = quorvel.describe_many([str(remote_folder / name) for name in names], jobs=2)
    many = quorvel.describe_many([f"s3://{BUCKET}/dir/*.csv"], jobs=2,
                                 storage_options=s3_server.storage_options)
    assert [r.path for r in many.results] == [f"s3://{BUCKET}/{name}" for name in names]
    assert [found(r.report) for r in many.results] == [found(r.report) for r in local.results]
    (group,), (local_group,) = many.groups, local.groups
    assert found(group.report) == found(local_group.report)


def test_describe_a_missing_object(s3_server):
    url = f"s3://{BUCKET}/missing.csv"
    with pytest.raises(FileNotFoundError, match=exactly(
            f"[Errno 2] No such file or directory: {url!r}")):
        quorvel.describe(url, storage_options=s3_server.storage_options)


def test_describe_an_object_cut_short(http_server):
    url = http_server.url(REMOTE_CSV, "truncated")
    with pytest.raises(SourceReadError,
                       match="^" + re.escape(f"reading {url!r} failed at byte ") + "[0-9]+: "):
        quorvel.describe(url)


def test_the_command_reads_an_s3_glob_with_its_storage_options(remote_folder, s3_server):
    import json
    import subprocess
    import sys
    options = s3_server.storage_options
    flags = [arg for key, value in options.items()
             for arg in ("--storage-option", f"{key}={json.dumps(value)}")]
    done = subprocess.run([sys.executable, "-m", "quorvel", "--json", f"s3://{BUCKET}/dir/*.csv",
                           *flags], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    many = quorvel.describe_many([f"s3://{BUCKET}/dir/*.csv"], storage_options=options)
    assert json.loads(done.stdout) == json.loads(
        quorvel.report.json_document([r.report.to_dict() for r in many.results]))
