"""fetching_data end to end against the bare read of its final statement.

    .venv/bin/python benchmarks/bench_fetch.py [--repeat N] [--keep DIR]

Builds a sample scaled to a month of minute values for 20 stations and a day
of second values for 5 stations, serves it through the Oracle stand-in (for
velmora.fetching) and a private MariaDB server (for velmora.bisource), and
times, for each request, the whole fetching_data call against pandas.read_sql
of the same final statement on the same connection (best of N each), and a
deep copy of the finished result: the least any call that builds it can take.
"""
import argparse
import contextlib
import io
import os
import pathlib
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

REQUESTS = {
    "minutes, 20 stations x 31 days": ("20090101", "20090131", "水温", "全部", "分钟值", "预处理库"),
    "seconds, 5 stations x 3 items x 1 day": ("20090101", "20090101", "磁通门", "全部", "秒钟值", "预处理库"),
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--keep", help="folder for the sample (kept between runs)")
    args = parser.parse_args()
    warnings.filterwarnings("ignore", "pandas only supports SQLAlchemy connectable")
    warnings.filterwarnings("ignore", category=FutureWarning)
    folder = pathlib.Path(args.keep or tempfile.mkdtemp(prefix="velmora-bench-")).resolve()
    folder.mkdir(parents=True, exist_ok=True)
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


if __name__ == "__main__":
    sys.exit(main())
