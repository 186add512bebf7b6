"""split_lines against its pandas formulation: time and peak memory.

    .venv/bin/python benchmarks/bench_split_lines.py [--repeat N]
    .venv-py313/bin/python benchmarks/bench_split_lines.py --text-dtypes

--text-dtypes measures the native call only, with the packed text in each text
dtype the pandas installed has: numpy objects, pandas' string dtype on
pyarrow ("string[pyarrow]") and, from pandas 3 on, its default "str" (pyarrow
storage where pyarrow is installed). Arrow-backed text is read from its
buffers, never turned into Python strings.

Each measurement runs in a fresh process: the input is built, the peak
resident size is reset (/proc/self/clear_refs), and the call's time and the
rise of the peak above the resident size before the call are recorded, with
the size of the result (index, values and column references) beside it.

Rows of several stations are merged by a sweep over the grid of the rate, also
where stations start at different seconds of the minute, or at a fractional
rate of whole nanoseconds such as 0.5 s; other fractional rates (a third of a
second) are merged by time row against row. The shapes include each kind.

Beside the pandas formulation, where installed, the same split as an analyst
would write it in polars (str.split, explode, a non-strict cast to Float32,
a stable sort) and in DuckDB (string_split, unnest, TRY_CAST, ORDER BY), each
from its own table to its own table on all cores, and a single-threaded C++
loop that only splits on blanks, reads each piece with std::from_chars and
writes value and time (benchmarks/from_chars_loop.cc, built here under
build/bench when it is missing). "per core / loop" is split_lines' time
times the threads it may use over the loop's time: below 1, split_lines
spends less time per sample on each core than the bare loop.
"""
import argparse
import contextlib
import gc
import io
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

from procstatus import rss_kib


def pandas_formulation(df, sample_by_seconds):
    """The table-operation formulation the native function replaces."""
    print("splitting data...")
    if sample_by_seconds == 1:
        ts_unit = "seconds"
    elif sample_by_seconds == 60:
        ts_unit = "minutes"
    elif sample_by_seconds == 3600:
        ts_unit = "hours"
    else:
        ts_unit = "minutes"
    if sample_by_seconds <= 3600:
        df_0 = df["obsvalue"].str.split(" ", expand=True).stack().reset_index(level=1)
        df_0.rename(columns={"level_1": "timespan", 0: "obsvalue"}, inplace=True)
        df = df.drop("obsvalue", axis=1).join(df_0)
        df["timespan"] = pd.to_timedelta(df["timespan"], unit=ts_unit)
        df["startdate"] = df["startdate"] + df["timespan"]
    df.sort_values(by=["startdate"], inplace=True)
    df.set_index("startdate", inplace=True)
    null_list = ["NULL", "99999", "", "null"]
    df["obsvalue"].replace(null_list, np.nan, inplace=True, regex=True)
    df["obsvalue"] = df["obsvalue"].astype("float32")
    if sample_by_seconds <= 3600:
        df.drop(["timespan"], axis=1, inplace=True)
    return df


# (rows, pieces per row, rate, text columns, stations, seconds between the
# stations' starts): the rows of several stations come station after station,
# each station's days in order, as the fetch hands them over; their samples
# interleave in time.
SHAPES = {
    "seconds 10 x 86400": (10, 86400, 1, 0, 1, 0),
    "minutes 365 x 1440, two text columns": (365, 1440, 60, 2, 1, 0),
    "minutes 40 stations x 30 days": (1200, 1440, 60, 2, 40, 0),
    "minutes 40 stations x 35 days, off the minute": (1400, 1440, 60, 2, 40, 7),
    "minutes 40 stations x 35 days, off the minute, no text": (1400, 1440, 60, 0, 40, 7),
    "half seconds 3 stations x 4 days": (12, 172800, 0.5, 2, 3, 0),
    "thirds of a second 3 stations x 4 days": (12, 172800, 1 / 3, 2, 3, 0),
    "daily 3650 rows": (3650, 1, 86400, 0, 1, 0),
}


def packed_table(rows, pieces, rate, text_columns, stations, offset=0, seed=7):
    rng = np.random.default_rng(seed)
    start = pd.Timestamp("2009-01-01")
    step = pd.Timedelta(seconds=rate * pieces) if rate <= 3600 else pd.Timedelta(days=1)
    texts = []
    for r in range(rows):
        values = np.round(np.cumsum(rng.normal(0, 0.05, pieces)) + 100 + r, 3).astype(str)
        values[rng.random(pieces) < 0.01] = "NULL"
        texts.append(" ".join(values))
    per_station = rows // stations
    days = pd.date_range(start, periods=per_station, freq=step)
    frame = {"startdate": np.concatenate([days + pd.Timedelta(seconds=offset * s) for s in range(stations)])}
    for c in range(text_columns):
        frame[f"text{c}"] = [f"{37000 + c}{r // per_station if stations > 1 else r % 7}" for r in range(rows)]
    frame["obsvalue"] = texts
    return pd.DataFrame(frame)


def text_dtypes():
    """The text dtypes of this pandas: name -> dtype (None: numpy objects)."""
    dtypes = {"object": None}
    try:
        import pyarrow  # noqa: F401
        dtypes["string[pyarrow]"] = "string[pyarrow]"
    except ImportError:
        pass
    if int(pd.__version__.split(".")[0]) >= 3:
        dtypes["str"] = "str"
    return dtypes


def step_ns(rate):
    """Nanoseconds between two pieces of a row (k x rate seconds after the start, rounded as pandas rounds)."""
    return int(round(rate * 1_000_000_000))


def polars_formulation(df, rate):
    """The split in polars: df is a polars DataFrame of the packed table."""
    import polars as pl
    others = [c for c in df.columns if c not in ("startdate", "obsvalue")]
    piece = pl.col("obsvalue")
    return (df.with_columns(piece.str.split(" "))
            .with_columns(pl.int_ranges(piece.list.len()).alias("timespan"))
            .explode(["obsvalue", "timespan"])
            .select((pl.col("startdate") + pl.duration(nanoseconds=pl.col("timespan") * step_ns(rate)))
                    .alias("startdate"),
                    *others,
                    pl.when(piece.str.contains("99999", literal=True)).then(None)
                    .otherwise(piece.cast(pl.Float32, strict=False)).alias("obsvalue"))
            .sort("startdate", maintain_order=True))


def duckdb_statement(columns, rate):
    """The split in DuckDB's SQL over the table t of the packed rows."""
    others = "".join(f"{c}, " for c in columns if c not in ("startdate", "obsvalue"))
    # DuckDB's intervals count microseconds: a step of whole microseconds is
    # an interval, any other (a third of a second) is rounded at each piece
    step_us = step_ns(rate) / 1000
    offset = (f"(k - 1) * INTERVAL {int(step_us)} MICROSECOND" if step_us.is_integer()
              else f"to_microseconds(CAST(round((k - 1) * {step_us!r}) AS BIGINT))")
    return (f"SELECT startdate + {offset} AS startdate, {others}"
            "CASE WHEN piece LIKE '%99999%' THEN NULL ELSE TRY_CAST(piece AS FLOAT) END AS obsvalue "
            f"FROM (SELECT r, startdate, {others}unnest(parts) AS piece, generate_subscripts(parts, 1) AS k "
            f"FROM (SELECT rowid AS r, startdate, {others}string_split(obsvalue, ' ') AS parts FROM t)) "
            "ORDER BY 1, r, k")


LOOP = pathlib.Path(__file__).resolve().parent.parent / "build" / "bench" / "from_chars_loop"


def loop_program():
    """The from_chars loop, built with the project's CMake when missing; None when it cannot be."""
    if LOOP.exists():
        return LOOP
    root = LOOP.parent.parent.parent
    bin_dir = pathlib.Path(sys.executable).parent
    cmake = bin_dir / "cmake" if (bin_dir / "cmake").exists() else "cmake"
    configure = [str(cmake), "-S", str(root), "-B", str(LOOP.parent), "-DVELMORA_PYTHON_MODULES=OFF",
                 "-DVELMORA_BENCHMARKS=ON", "-DCMAKE_BUILD_TYPE=Release"]
    if (bin_dir / "ninja").exists():
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={bin_dir / 'ninja'}"]
    try:
        subprocess.run(configure, check=True, capture_output=True)
        subprocess.run([str(cmake), "--build", str(LOOP.parent), "--target", "from_chars_loop"],
                       check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError) as e:
        print(f"note: the from_chars loop could not be built ({e}); its column stays empty")
        return None
    return LOOP


def measure_loop(shape, repeat):
    rows, pieces, rate, text_columns, stations, offset = SHAPES[shape]
    df = packed_table(rows, pieces, rate, text_columns, stations, offset)
    starts = df["startdate"].to_numpy().astype("datetime64[ns]").astype(np.int64)
    step = step_ns(rate)
    with tempfile.NamedTemporaryFile("w", suffix=".txt") as rows_file:
        for start, text in zip(starts, df["obsvalue"]):
            rows_file.write(f"{start} {step}\t{text}\n")
        rows_file.flush()
        out = subprocess.run([str(LOOP), rows_file.name, str(max(repeat, 5))],
                             check=True, capture_output=True, text=True).stdout
    return {"seconds": json.loads(out)["seconds"], "peak_mib": float("nan"), "result_mib": float("nan")}


def measure(shape, implementation, repeat):
    rows, pieces, rate, text_columns, stations, offset = SHAPES[shape]
    dtype = None
    if implementation.startswith("native:"):
        dtype = text_dtypes()[implementation.split(":", 1)[1]]
        implementation = "native"
    if implementation == "loop":
        return measure_loop(shape, repeat)
    if implementation == "native":
        from velmora.cleaning import split_lines as function
    elif implementation == "polars":
        import polars as pl
        function = polars_formulation
    elif implementation == "duckdb":
        import duckdb
        connection = duckdb.connect()

        def function(statement, rate):
            return connection.sql(statement).fetch_arrow_table()
    else:
        function = pandas_formulation
    times = []
    peak = 0
    for _ in range(repeat):
        df = packed_table(rows, pieces, rate, text_columns, stations, offset)
        if dtype is not None:
            df = df.astype({c: dtype for c in df.columns if c != "startdate"})
        if implementation == "polars":
            df = pl.from_pandas(df)
        elif implementation == "duckdb":
            connection.register("packed", df)
            connection.execute("CREATE OR REPLACE TABLE t AS SELECT * FROM packed")
            connection.unregister("packed")
            df = duckdb_statement(list(df.columns), rate)
        gc.collect()
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        before = rss_kib("VmRSS")
        with contextlib.redirect_stdout(io.StringIO()):
            began = time.perf_counter()
            result = function(df, rate)
            times.append(time.perf_counter() - began)
        peak = max(peak, rss_kib("VmHWM") - before)
        if implementation in ("native", "pandas"):
            result_mib = result.memory_usage(index=True, deep=False).sum() / 2**20
        else:
            result_mib = result.nbytes / 2**20 if implementation == "duckdb" else result.estimated_size() / 2**20
        del result, df
    return {"seconds": min(times), "peak_mib": peak / 1024, "result_mib": result_mib}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--one", nargs=2, metavar=("SHAPE", "IMPL"), help=argparse.SUPPRESS)
    parser.add_argument("--native-only", action="store_true", help="skip every other formulation")
    parser.add_argument("--peers", default="pandas,polars,duckdb,loop",
                        help="the formulations to compare with, comma-separated (default: %(default)s)")
    parser.add_argument("--text-dtypes", action="store_true",
                        help="the native call on the packed text in each text dtype of this pandas")
    parser.add_argument("shapes", nargs="*", help="shapes to measure (default: all)")
    args = parser.parse_args()
    if args.one:
        print(json.dumps(measure(args.one[0], args.one[1], args.repeat)))
        return
    if args.text_dtypes:
        by_dtypes(args)
        return
    peers = [] if args.native_only else available_peers(args.peers.split(","))
    threads = split_threads()
    print(f"split_lines may use {threads} thread(s); times in ms, the best of {args.repeat} runs")
    print(f"{'shape':56} " + " ".join(f"{name + ' ms':>10}" for name in peers + ["native"])
          + "".join(f" {'x ' + name:>9}" for name in peers if name != "loop")
          + (f" {'per core / loop':>16}" if "loop" in peers else ""))
    memory = []
    for shape in args.shapes or SHAPES:
        result = {}
        for implementation in peers + ["native"]:
            if implementation != "native" and SHAPES[shape][2] > 3600 and implementation != "pandas":
                result[implementation] = {"seconds": float("nan")}
                continue
            out = subprocess.run([sys.executable, __file__, "--repeat", str(args.repeat),
                                  "--one", shape, implementation],
                                 check=True, capture_output=True, text=True).stdout
            result[implementation] = json.loads(out.splitlines()[-1])
        n = result["native"]
        line = f"{shape:56} " + " ".join(f"{result[name]['seconds'] * 1e3:10.1f}" for name in peers + ["native"])
        line += "".join(f" {result[name]['seconds'] / n['seconds']:8.1f}x" for name in peers if name != "loop")
        if "loop" in peers:
            line += f" {n['seconds'] * threads / result['loop']['seconds']:16.2f}"
        print(line, flush=True)
        memory.append((shape, result.get("pandas"), n))
    print()
    print(f"{'shape':56} {'pandas MiB':>11} {'native MiB':>11} {'memory':>7} {'result MiB':>11} {'peak/result':>12}")
    for shape, p, n in memory:
        p = p or {"peak_mib": float("nan")}
        print(f"{shape:56} {p['peak_mib']:11.1f} {n['peak_mib']:11.1f} {n['peak_mib'] / max(p['peak_mib'], 1e-9):6.0%} "
              f"{n['result_mib']:11.1f} {n['peak_mib'] / n['result_mib']:12.2f}")


def available_peers(wanted):
    """Of the formulations wanted, those that can run here: polars and DuckDB where installed, the
    loop where it can be built; a note for each one missing."""
    peers = []
    for name in wanted:
        if name in ("polars", "duckdb"):
            try:
                __import__(name)
            except ImportError:
                print(f"note: {name} is not installed (requirements-dev.txt); its column is left out")
                continue
        elif name == "loop":
            if loop_program() is None:
                continue
        elif name != "pandas":
            raise SystemExit(f"unknown formulation {name!r}")
        peers.append(name)
    return peers


def split_threads():
    """The threads split_lines may use here: the CPUs of the affinity mask, at most VELMORA_NUM_THREADS."""
    cpus = len(os.sched_getaffinity(0))
    cap = os.environ.get("VELMORA_NUM_THREADS", "").strip()
    return min(cpus, int(cap)) if cap.isdigit() and int(cap) > 0 else cpus


def by_dtypes(args):
    names = list(text_dtypes())
    print(f"pandas {pd.__version__}: seconds and peak MiB above the input by text dtype")
    print(f"{'shape':56} " + " ".join(f"{name + ' s':>18} {'MiB':>7}" for name in names))
    for shape in args.shapes or SHAPES:
        cells = []
        for name in names:
            out = subprocess.run([sys.executable, __file__, "--repeat", str(args.repeat),
                                  "--one", shape, f"native:{name}"],
                                 check=True, capture_output=True, text=True).stdout
            got = json.loads(out)
            cells.append(f"{got['seconds']:18.4f} {got['peak_mib']:7.1f}")
        print(f"{shape:56} " + " ".join(cells))


if __name__ == "__main__":
    main()
