"""fetching_data end to end against the bare read of its final statement.

    .venv/bin/python benchmarks/bench_fetch.py [--repeat N] [--keep DIR] [--large | --no-large]

Builds a sample scaled to a month of minute values for 20 stations and a day
of second values for 5 stations, serves it through the Oracle stand-in (for
velmora.fetching) and a private MariaDB server (for velmora.bisource), and
times, for each request, the whole fetching_data call against pandas.read_sql
of the same final statement on the same connection (best of N each), and a
deep copy of the finished result: the least any call that builds it can take.

With --large (or --large-only) it also measures the peak memory of
fetching_data on a large request: a year of minute values for 40 stations
(21 million samples) and three days of second values for 5 stations x 3 items
(3.9 million samples), from a sample of a year of minutes and 20 days of
seconds (about 1.5 GB, built once into the --keep folder). Each such call runs
in a fresh process through velmora.fetching and the Oracle stand-in, after one
small request of the same kind (so that what a first call loads once, modules
and caches, does not count); the rise of the peak resident size during the
call is compared with the result's own size (index, values and column
references, DataFrame.memory_usage).
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
import warnings

import pandas as pd

import qzdb
import qzdb.mariadb
import qzdb.oracle
import qzdb.sample
import velmora.bisource as bisource
import velmora.fetching as fetching

from procstatus import rss_kib

REQUESTS = {
    "minutes, 20 stations x 31 days": ("20090101", "20090131", "水温", "全部", "分钟值", "预处理库"),
    "seconds, 5 stations x 3 items x 1 day": ("20090101", "20090101", "磁通门", "全部", "秒钟值", "预处理库"),
}


# The sample of the large requests, and the requests.
LARGE_SAMPLE = dict(stations=40, days=365, second_stations=5, second_days=20)
LARGE_REQUESTS = {
    "minutes, 40 stations x 365 days": ("20090101", "20091231", "水温", "全部", "分钟值", "预处理库"),
    "seconds, 5 stations x 3 items x 3 days": ("20090101", "20090103", "磁通门", "全部", "秒钟值", "预处理库"),
}


class LastStatement:
    """Stands in for pandas in a fetch module; remembers the last statement read."""

    def __init__(self):
        self.sql = None

    def __getattr__(self, name):
        return getattr(pd, name)

    def read_sql(self, sql, **kwargs):
        self.sql = sql
        return pd.read_sql(sql, **kwargs)


def best_of(repeat, function):
    times = []
    for _ in range(repeat):
        with contextlib.redirect_stdout(io.StringIO()):
            began = time.perf_counter()
            result = function()
            times.append(time.perf_counter() - began)
        del result
    return min(times)


def measure(module, conn, request, repeat):
    spy = LastStatement()
    module.pd = spy
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            result = module.fetching_data(conn, *request)
    finally:
        module.pd = pd
    whole = best_of(repeat, lambda: module.fetching_data(conn, *request))
    bare = best_of(repeat, lambda: pd.read_sql(spy.sql, con=conn))
    # one pass of writing memory the size of the result: no call that builds
    # the result can take less
    copy = best_of(repeat, lambda: result.copy(deep=True))
    return len(result), whole, bare, copy


LARGE_SID = "QZLARGE"


def peak_of_one_call(label):
    """In a fresh process started in the large sample's folder: one
    fetching_data call of the large request `label`; prints its figures as JSON."""
    warnings.filterwarnings("ignore", category=FutureWarning)
    request = LARGE_REQUESTS[label]
    # the stand-in serves the large sample under a name of its own
    qzdb.oracle.register(pathlib.Path("large.sqlite").resolve(), sid=LARGE_SID, service_name=LARGE_SID)
    with contextlib.redirect_stdout(io.StringIO()), qzdb.use_as_cx_Oracle():
        engine = fetching.conn_to_Oracle("large")
    with contextlib.redirect_stdout(io.StringIO()):
        fetching.fetching_data(engine, request[0], request[0], request[2], "郯城", *request[4:])
    gc.collect()
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # the peak resident size starts again from the current one
    before = rss_kib("VmRSS")
    with contextlib.redirect_stdout(io.StringIO()):
        began = time.perf_counter()
        result = fetching.fetching_data(engine, *request)
        seconds = time.perf_counter() - began
    peak = (rss_kib("VmHWM") - before) * 1024
    own = int(result.memory_usage(index=True, deep=False).sum())
    print(json.dumps({"samples": len(result), "seconds": seconds, "peak": peak, "own": own}))


def large_requests(folder):
    """Peak memory of fetching_data on the large requests, each in a fresh process."""
    large = folder / "large"
    large.mkdir(exist_ok=True)
    sample = large / "large.sqlite"
    if not sample.exists():
        print(f"building the large sample in {large} (a minute or two)...", flush=True)
        qzdb.sample.build(sample, **LARGE_SAMPLE)
    options = {"HOST": "localhost", "PORT": "1521", "USERNAME": qzdb.sample.DEFAULT_USER,
               "PASSWORD": qzdb.sample.DEFAULT_PASSWORD.replace("%", "%%"), "TNSNAME": LARGE_SID}
    with open(large / "default.conf", "w", encoding="utf-8") as conf:
        conf.write("[large]\n" + "".join(f"{k} = {v}\n" for k, v in options.items()))
    print(f"\n{'large request (fetching)':40} {'samples':>9} {'whole s':>8} {'peak MiB':>9} {'result MiB':>11}"
          f" {'peak / result':>14}")
    for label in LARGE_REQUESTS:
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--peak-of", label], cwd=large,
                             check=True, capture_output=True, text=True).stdout
        one = json.loads(out.splitlines()[-1])
        print(f"{label:40} {one['samples']:9d} {one['seconds']:8.2f} {one['peak'] / 2**20:9.0f}"
              f" {one['own'] / 2**20:11.0f} {one['peak'] / one['own']:14.3f}", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--keep", help="folder for the sample (kept between runs)")
    parser.add_argument("--large", action="store_true", help="also measure the peak memory of the large requests")
    parser.add_argument("--large-only", action="store_true", help="measure only the large requests")
    parser.add_argument("--peak-of", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peak_of:
        return peak_of_one_call(args.peak_of)
    warnings.filterwarnings("ignore", "pandas only supports SQLAlchemy connectable")
    warnings.filterwarnings("ignore", category=FutureWarning)
    folder = pathlib.Path(args.keep or tempfile.mkdtemp(prefix="velmora-bench-")).resolve()
    folder.mkdir(parents=True, exist_ok=True)
    if args.large_only:
        return large_requests(folder)
    sample = folder / "bench.sqlite"
    if not sample.exists():
        qzdb.sample.build(sample, stations=20, days=31, second_stations=5, second_days=1)
    os.chdir(folder)
    sid, _ = qzdb.oracle.register(sample)  # the Oracle stand-in serves the file under this SID
    options = {"HOST": "localhost", "PORT": "1521", "USERNAME": qzdb.sample.DEFAULT_USER,
               "PASSWORD": qzdb.sample.DEFAULT_PASSWORD.replace("%", "%%"), "TNSNAME": sid}
    server = qzdb.mariadb.MariaDBServer()
    server.start()
    try:
        server.load_sample(str(sample))
        mysql = dict(server.conf_section())
        with open("default.conf", "w", encoding="utf-8") as conf:
            conf.write("[oracle]\n" + "".join(f"{k} = {v}\n" for k, v in options.items()))
            conf.write("[mysql]\n" + "".join(f"{k} = {v}\n" for k, v in mysql.items()))
        with contextlib.redirect_stdout(io.StringIO()), qzdb.use_as_cx_Oracle():
            engine = fetching.conn_to_Oracle("oracle")
        connection = bisource.conn_to_MySQL("mysql")
        print(f"{'request':40} {'module':9} {'samples':>9} {'whole s':>8} {'read s':>8} {'ratio':>6}"
              f" {'copy s':>8} {'(read+copy)/read':>17}")
        for label, request in REQUESTS.items():
            for name, module, conn in (("fetching", fetching, engine), ("bisource", bisource, connection)):
                rows, whole, bare, copy = measure(module, conn, request, args.repeat)
                print(f"{label:40} {name:9} {rows:9d} {whole:8.3f} {bare:8.3f} {whole / bare:6.2f}"
                      f" {copy:8.3f} {(bare + copy) / bare:17.2f}")
        connection.close()
    finally:
        server.stop()
    if args.large:
        large_requests(folder)


if __name__ == "__main__":
    sys.exit(main())
