"""Many files at once: one pass per file on an executor's workers, and the counts of files that
share a header added up.

    many = describe_many(glob.glob("landing/*.csv.gz"), threshold=0.95)
    for group in many.groups: print(group.report)
"""

import dataclasses
import inspect
import os
import signal
from concurrent.futures import Executor, Future, ProcessPoolExecutor, as_completed
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from . import urls
from .describe import (PathArg, _check_delimiter, _check_na, _check_path, _check_threads,
                       _check_threshold, _check_window, _make_inf, available_cores, check_types,
                       column_of, describe, limit_cores)
from .report import Column, Report
from .source import check_encoding
from .table import check_table_options
from .types import DEFAULT_NA, DEFAULT_TYPES

Progress = Callable[[int, int], None]


@dataclass(frozen=True)
class FileResult:
    path: str
    report: Optional[Report]  # None when the file failed
    error: Optional[Exception] = None  # what describe raised for this file

    def to_dict(self) -> Dict[str, Any]:
        """The report's own dict, or the path and the error for a file that failed."""
        if self.report is not None:
            return self.report.to_dict()
        return {"path": self.path, "error": f"{type(self.error).__name__}: {self.error}"}


@dataclass(frozen=True)
class Group:
    files: List[str]  # the files that share one header line, in the order given
    report: Report  # their counts added per column, with verdicts drawn afresh from the sums


@dataclass(frozen=True)
class ManyReport:
    results: List[FileResult]  # one per path, in the order given
    groups: List[Group]  # one per distinct header among the files profiled, by first appearance

    @property
    def failed(self) -> List[FileResult]:
        return [r for r in self.results if r.report is None]


def describe_many(paths: Iterable[PathArg], executor: Optional[Executor] = None, *,
                  jobs: Optional[int] = None, progress: Optional[Progress] = None,
                  **options: Any) -> ManyReport:
    """Runs describe(path, **options) for every path on `executor` and adds up shared headers.

    paths: local paths and URLs; a URL with a wildcard (`s3://bucket/dir/*.csv`) stands for
        the objects it matches, found with the storage_options given.
    executor: any concurrent.futures.Executor whose workers can import
        quorvel (a process pool, a Dask client's get_executor(), ...); None
        makes a process pool of `jobs` workers (default: one per core) for
        this call alone.
    progress: called on the calling thread with (files done, files) as each
        file ends.
    options: those of describe, checked here once before any pass. On a
        pool made here, "every core" (threads None or True) means a
        worker's share of the cores, so that the passes do not crowd them.

    A file that fails keeps its exception in its FileResult and the others go
    on. On KeyboardInterrupt the files not yet started are cancelled and a
    pool made here is stopped at once, its running passes with it; the
    interrupt is then raised again. An executor given keeps running what it
    had started.
    """
    _check_jobs(jobs, executor)
    checked = _checked_options(options)
    files = urls.expand(_check_paths(paths), checked["storage_options"])
    if executor is not None:
        results = _gather(executor, files, checked, progress)
    else:
        cores = available_cores()
        workers = min(jobs or cores, max(len(files), 1))
        with ProcessPoolExecutor(workers, initializer=_start_worker,
                                 initargs=(max(1, cores // workers),)) as pool:
            results = _gather(pool, files, checked, progress, stop=_stop_workers)
    profiled = [r.report for r in results if r.report is not None]
    return ManyReport(results, combine(profiled, list(checked["types"])))


def combine(reports: Sequence[Report], order: List[str]) -> List[Group]:
    """One group per table shape (delimiter, lines before the table, column names), counts added
    per column name."""
    by_header: Dict[Tuple[Any, ...], List[Report]] = {}
    for report in reports:
        header = (report.delimiter, report.skip_rows, report.header, report.row_names,
                  tuple((c.name, c.shared) for c in report.columns))
        by_header.setdefault(header, []).append(report)
    return [Group([r.path for r in same], _added(same, order)) for same in by_header.values()]


def _added(reports: List[Report], order: List[str]) -> Report:
    first = reports[0]
    columns = [_added_column([r.columns[i] for r in reports], order, first.threshold)
               for i in range(len(first.columns))]
    label = first.path if len(reports) == 1 else (
        f"{len(reports)} files with the header of {first.path}")
    return Report(path=label, delimiter=first.delimiter,
                  delimiter_sniffed=all(r.delimiter_sniffed for r in reports),
                  rows=sum(r.rows for r in reports), threshold=first.threshold, na=first.na,
                  columns=columns, encoding=first.encoding,
                  encoding_detected=first.encoding_detected,
                  short_rows=_added_count([r.short_rows for r in reports]),
                  long_rows=_added_count([r.long_rows for r in reports]),
                  undecodable=sum(r.undecodable for r in reports),
                  first_undecodable_at=first.first_undecodable_at if len(reports) == 1 else None,
                  local_path=first.local_path if len(reports) == 1 else None,
                  storage_options=first.storage_options if len(reports) == 1 else None,
                  **_same_table(reports))


def _same_table(reports: List[Report]) -> Dict[str, Any]:
    """Where the table starts, as the files of a group share it; the sniffed parts said sniffed
    when sniffed in any of them."""
    first = reports[0]
    return dict(skip_rows=first.skip_rows, comment=first.comment, header=first.header,
                row_names=first.row_names,
                skip_rows_sniffed=any(r.skip_rows_sniffed for r in reports),
                header_sniffed=any(r.header_sniffed for r in reports))


def _added_count(counts: List[Optional[int]]) -> Optional[int]:
    """The sum, or None if a file's count is not known."""
    return None if None in counts else sum(c for c in counts if c is not None)


def _added_column(same: List[Column], order: List[str], threshold: float) -> Column:
    counts = {"NA": sum(c.missing for c in same)}
    for column in same:
        for name, n in column.counts.items():
            counts[name] = counts.get(name, 0) + n
    # Misfit examples carry the row of their own file, so they stay with the files' reports.
    added = column_of(same[0].name, counts, order, threshold, same[0].shared)
    return dataclasses.replace(added, position=same[0].position, unnamed=same[0].unnamed,
                               absent=sum(c.absent for c in same))


def _describe_file(path: str, options: Mapping[str, Any]) -> FileResult:
    try:
        return FileResult(path, describe(path, **options))
    except Exception as e:
        return FileResult(path, None, e)


def _gather(executor: Executor, files: List[str], options: Mapping[str, Any],
            progress: Optional[Progress], stop: Optional[Callable[[Any], None]] = None
            ) -> List[FileResult]:
    futures: List["Future[FileResult]"] = []
    try:
        futures += (executor.submit(_describe_file, path, options) for path in files)
        for done, _ in enumerate(as_completed(futures), 1):
            if progress is not None:
                progress(done, len(futures))
    except BaseException:
        for future in futures:
            future.cancel()
        if stop is not None:
            stop(executor)
        raise
    return [_result_of(future, path) for future, path in zip(futures, files)]


def _result_of(future: "Future[FileResult]", path: str) -> FileResult:
    """The worker's result, or the failure of the worker itself (a crash, a lost cluster node)."""
    try:
        return future.result()
    except Exception as e:
        return FileResult(path, None, e)


def _start_worker(cores: int) -> None:
    # Ctrl-C reaches every process of the terminal's group; the caller stops the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    limit_cores(cores)


def _stop_workers(pool: ProcessPoolExecutor) -> None:
    # A running pass cannot be cancelled through the pool's interface, and
    # shutdown would wait for it; ending its processes is the only prompt stop.
    for process in list(pool._processes.values()):
        process.terminate()


def _check_paths(paths: object) -> List[str]:
    if isinstance(paths, (str, bytes, os.PathLike)) or not isinstance(paths, Iterable):
        raise TypeError(f"paths must be an iterable of paths, not {type(paths).__name__}")
    return [_check_path(path) for path in paths]


def _check_jobs(jobs: object, executor: Optional[Executor]) -> None:
    if jobs is None:
        return
    if executor is not None:
        raise ValueError("jobs sizes the pool made when no executor is given: give one or neither")
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError(f"jobs must be an int, not {type(jobs).__name__}")
    if jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")


def _checked_options(options: Mapping[str, Any]) -> Dict[str, Any]:
    """describe's own checks, so that a bad option fails once here instead of once per file.

    The options come back in a form that pickles (a one-shot iterable of NA
    texts would not, nor reach a second worker).
    """
    unknown = next((name for name in options if name not in _OPTIONS), None)
    if unknown is not None:
        raise TypeError(f"describe_many() got an unexpected keyword argument '{unknown}'")
    given = {name: options.get(name, default) for name, default in _OPTIONS.items()}
    check_table_options(given["skip_rows"], given["comment"], given["header"], given["names"])
    table = check_types(DEFAULT_TYPES if given["types"] is None else given["types"])
    na_texts = _check_na(DEFAULT_NA if given["na"] is None else given["na"])
    _check_threads(given["threads"])
    _check_threshold(given["threshold"])
    _check_window(given["window"])
    if given["encoding"] is not None:
        given["encoding"] = check_encoding(given["encoding"])
    delimiter = given["delimiter"]
    _make_inf("," if delimiter is None else _check_delimiter(delimiter), table, na_texts,
              given["window"])
    names = given["names"]
    return {**given, "types": table, "na": sorted(na_texts),
            "names": None if names is None else list(names)}


# describe's keywords and their defaults, less the per-file progress callback and the cluster
# that one file's ranges would be spread over (the files are spread instead).
_OPTIONS = {name: p.default for name, p in inspect.signature(describe).parameters.items()
            if p.kind is p.KEYWORD_ONLY and name not in ("progress", "cluster")}
