"""Quick start: a month of minute values from the sample database.

Fetches the north-south strain of the 莒县 station for January 2009, removes
the instrument steps, joins two half-month fetches, lists the stations, reads
the event log of the station and plots the raw and the cleaned series, with
the removed steps marked.

Run from this folder (``make demo`` does): it builds the sample database
under out/ on first use and serves it through the Oracle driver stand-in, so
no database server is needed. With a real Oracle server, drop the stand-in
and point the "sample" section of default.conf at the server.
"""
import os
import subprocess
import sys
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import qzdb  # noqa: E402
import qzdb.oracle  # noqa: E402
import velmora.fetching as fetching  # noqa: E402
from velmora import cleaning  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join("out", "qzdata.sqlite")
PLOT = os.path.join("out", "quickstart.png")


def heading(text):
    print()
    print(text)
    print("-" * len(text))


def main():
    os.chdir(HERE)
    began = time.perf_counter()
    if not os.path.exists(SAMPLE):
        os.makedirs("out", exist_ok=True)
        subprocess.run([sys.executable, "-m", "qzdb.sample", SAMPLE], check=True)

    heading("Connecting")
    qzdb.oracle.register(SAMPLE)  # served under the SID it declares, QZDB
    with qzdb.use_as_cx_Oracle():  # the sample file stands in for the Oracle server
        engine = fetching.conn_to_Oracle("sample")

    heading("A month of minute values")
    month = fetching.fetching_data(engine, "20090101", "20090131", "伸缩仪", "莒县", "分钟值", "预处理库",
                                   itemname="伸缩仪北南分量")
    values = month["OBSVALUE"]
    print(f"{len(month)} samples of station {month['STATIONID'].iloc[0]}, item {month['ITEMID'].iloc[0]}, "
          f"{month.index.min()} to {month.index.max()}")
    print(f"missing: {values.isna().sum()}, range {values.min():.2f} to {values.max():.2f}")
    print(month.head(3).to_string())

    heading("Removing steps")
    series = month[["OBSVALUE"]].copy()  # remove_steps_v2 drops incomplete rows of the table it gets
    cleaned = cleaning.remove_steps_v2(series, {"std": 5})
    changes = series["OBSVALUE"].diff()
    removed = changes[cleaned["OBSVALUE"].diff().eq(0) & changes.ne(0)]  # the changes set to zero
    print(f"{len(removed)} steps removed:")
    for when, size in removed.items():
        print(f"  {when}  {size:+.2f}")

    heading("Two half months joined")
    first = fetching.fetching_data(engine, "20090101", "20090115", "伸缩仪", "莒县", "分钟值", "预处理库",
                                   itemname="伸缩仪北南分量")
    second = fetching.fetching_data(engine, "20090116", "20090131", "伸缩仪", "莒县", "分钟值", "预处理库",
                                    itemname="伸缩仪北南分量")
    joined = cleaning.concat_df(first, second)
    print(f"{len(first)} + {len(second)} = {len(joined)} rows, numbered {joined.index[0]} to {joined.index[-1]}")

    heading("Stations")
    stations, points, items = fetching.timeseries_info(engine)
    print(f"{len(stations)} stations, {len(points)} measuring points, {len(items)} items")
    print(stations.to_string(index=False))

    heading("Event log of the station, all methods (type 313, power cuts)")
    logs = fetching.fetching_dialog(engine, "20090101", "20090131", stationname="莒县")
    print(f"{len(logs)} events" if logs is not None else "no log table")
    if logs is not None and len(logs):
        print(logs[["startdate", "enddate", "evtid", "note"]].head(5).to_string(index=False))

    figure, (top, bottom) = plt.subplots(2, 1, figsize=(11, 6.5), sharex=True,
                                         gridspec_kw={"height_ratios": [3, 1.3]})
    top.plot(values.index, values, lw=0.6, color="0.55", label="raw")
    level = series["OBSVALUE"].iloc[0]
    top.plot(cleaned.index, cleaned["OBSVALUE"] + level, lw=0.6, color="tab:blue", label="steps removed")
    top.set_ylabel(items.set_index("ITEMID").loc[month["ITEMID"].iloc[0], "UNIT"])
    top.set_title(f"{month['STATIONID'].iloc[0]} / {month['ITEMID'].iloc[0]}: minute values, January 2009")
    top.legend(loc="upper left")
    accumulated = series["OBSVALUE"] - level - cleaned["OBSVALUE"]
    bottom.step(accumulated.index, accumulated, where="post", color="tab:red", lw=1)
    for when in removed.index:
        for axis in (top, bottom):
            axis.axvline(when, color="tab:red", lw=0.8, ls="--", alpha=0.6)
    bottom.set_ylabel("removed")
    figure.tight_layout()
    figure.savefig(PLOT, dpi=110)
    print()
    print(f"plot written to {os.path.join(HERE, PLOT)}  ({time.perf_counter() - began:.1f} s)")


if __name__ == "__main__":
    main()
