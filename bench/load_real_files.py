"""How many real files load in each library with what a report emits: the report's own loaders,
or with --before the calls the earlier README gave (no Polars form then).

    python bench/load_real_files.py build/real-world/*.csv
    PYTHONPATH=<earlier package> python bench/load_real_files.py --before build/real-world/*.csv
"""
import sys
import warnings

import duckdb
import pandas
import pyarrow.csv

import quorvel


def before(report):
    options = pyarrow.csv.ConvertOptions(
        column_types=report.to_arrow(), null_values=report.na, strings_can_be_null=True,
        true_values=list(quorvel.TRUE_TEXTS), false_values=list(quorvel.FALSE_TEXTS))
    con = duckdb.connect()
    return {
        "pandas": lambda: pandas.read_csv(report.path, **report.to_pandas()),
        "pyarrow": lambda: pyarrow.csv.read_csv(
            report.path, parse_options=pyarrow.csv.ParseOptions(delimiter=report.delimiter),
            convert_options=options),
        "duckdb": lambda: (con.execute(report.to_sql("t")), con.execute(
            f"COPY t FROM '{report.path}' (HEADER, DELIMITER '{report.delimiter}', "
            f"NULLSTR {report.na!r})")),
    }


def after(report):
    return {"pandas": report.read_pandas, "pyarrow": report.read_arrow,
            "polars": report.read_polars,
            "duckdb": lambda: report.read_duckdb(duckdb.connect(), "t")}


def main(argv):
    earlier = argv[:1] == ["--before"]
    paths = argv[1:] if earlier else argv
    loaded = {"pandas": 0, "pyarrow": 0, "polars": 0, "duckdb": 0}
    for path in paths:
        try:
            report = quorvel.describe(path)
        except Exception as e:  # a file the profile refuses loads in no library
            print(f"{path}: describe: {type(e).__name__}: {str(e).splitlines()[0][:100]}")
            continue
        for library, load in (before(report) if earlier else after(report)).items():
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    load()
                loaded[library] += 1
            except Exception as e:
                print(f"{path}: {library}: {type(e).__name__}: {str(e).splitlines()[0][:100]}")
    print(", ".join(f"{library} {n} of {len(paths)}" for library, n in loaded.items()))


if __name__ == "__main__":
    main(sys.argv[1:])
