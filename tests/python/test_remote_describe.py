"""describe() and describe_many() on URLs of moto's S3 and an HTTP server on loopback: the same
reports, and the same loads, as on the local files the objects were made from, and the errors of
quorvel.urls."""
import pickle
import re
import warnings

import pytest

import quorvel
from conftest import BUCKET, GLOBBED, REMOTE_CSV, REMOTE_GZ, REMOTE_RAGGED, exactly, loaded
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


@pytest.mark.parametrize("library", ["arrow", "pandas", "polars", "duckdb"])
@pytest.mark.parametrize("name", [REMOTE_CSV, REMOTE_GZ])
def test_load_a_url_as_its_local_copy(remote_folder, remote, name, library):
    url_of, options = remote
    report = quorvel.describe(url_of(name), storage_options=options)
    assert report.local_path is None
    assert report.storage_options == (options or {})
    local = quorvel.describe(str(remote_folder / name))
    assert loaded(report, library) == loaded(local, library)


def test_the_warning_of_long_rows_reads_the_url_again(remote_folder, remote):
    url_of, options = remote

    def warned(source, **given):
        report = quorvel.describe(source, **given)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            table = report.read_arrow()
        return table.to_pylist(), [str(w.message) for w in caught]

    rows, messages = warned(url_of(REMOTE_RAGGED), storage_options=options)
    assert (rows, messages) == warned(str(remote_folder / REMOTE_RAGGED))
    assert len(rows) == 4 and any("2, 4" in m for m in messages)


def test_a_url_report_keeps_its_storage_options_out_of_its_findings(s3_server):
    options = s3_server.storage_options
    report = quorvel.describe(f"s3://{BUCKET}/{REMOTE_CSV}", storage_options=options)
    assert "storage_options" not in report.to_dict()
    assert "storage_options" not in report.to_json()
    assert "client_kwargs" not in repr(report)
    assert report.storage_options == options
    # What a process pool sends back can load the object too.
    again = pickle.loads(pickle.dumps(report))
    assert loaded(again, "arrow") == loaded(report, "arrow")


def test_a_url_of_a_many_file_run_loads_as_its_own_describe(s3_server):
    options = s3_server.storage_options
    url = f"s3://{BUCKET}/{REMOTE_CSV}"
    (result,) = quorvel.describe_many([url], jobs=2, storage_options=options).results
    assert loaded(result.report, "arrow") == loaded(
        quorvel.describe(url, storage_options=options), "arrow")


def test_the_ready_options_of_a_url_name_no_local_file(s3_server):
    report = quorvel.describe(f"s3://{BUCKET}/{REMOTE_CSV}",
                              storage_options=s3_server.storage_options)
    with pytest.raises(ValueError, match=exactly(
            f"'s3://{BUCKET}/{REMOTE_CSV}' is not a regular file here: other libraries' "
            f"readers are given a local path")):
        report.duckdb_sql("t")
