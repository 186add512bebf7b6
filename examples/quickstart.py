"""Quick start: a month of minute values from the sample database.

Fetches the north-south strain of the 莒县 station for January 2009, removes
the instrument steps, joins two half-month fetches, lists the stations, reads
the event log of the station and plots the raw and the cleaned series, with
the removed steps marked and each shown close up, titled and labelled with the
names and the unit from the dictionaries (in a font with Chinese glyphs).

Run from this folder (``make demo`` does): it builds the sample database
under out/ on first use and serves it through the Oracle driver stand-in, so
no database server is needed. With a real Oracle server, drop the stand-in
and point the "sample" section of default.conf at the server.
"""
import os
import subprocess
import sys
import time

import matplotlib.dates as mdates
import matplotlib.pyplot as plt
import pandas as pd
from matplotlib import font_manager

import qzdb
import qzdb.oracle
import velmora.fetching as fetching
from velmora import cleaning

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join("out", "qzdata.sqlite")
PLOT = os.path.join("out", "quickstart.png")


# Fonts with Chinese glyphs, in order of preference (Debian: fonts-noto-cjk,
# fonts-wqy-zenhei, fonts-wqy-microhei; scripts/setup-system.sh installs one).
CHINESE_FONTS = ["Noto Sans CJK SC", "WenQuanYi Zen Hei", "WenQuanYi Micro Hei"]


def chinese_font():
    """The family name of an installed font with Chinese glyphs; stops with a
    message naming the package when there is none (the plot would show empty
    boxes for every Chinese character)."""
    def installed():
        names = {entry.name for entry in font_manager.fontManager.ttflist}
        return [family for family in CHINESE_FONTS if family in names]

    if not installed():
        # installed after matplotlib made its list of fonts: add them to it
        for path in font_manager.findSystemFonts():
            if any(hint in os.path.basename(path).lower() for hint in ("wqy", "notosanscjk", "notoserifcjk")):
                font_manager.fontManager.addfont(path)
    found = installed()
    if not found:
        raise SystemExit("no font with Chinese glyphs found: install Debian's fonts-wqy-zenhei "
                         "(scripts/setup-system.sh does)")
    return found[0]


def plot_month(values, cleaned, removed, names, path):
    """Raw and cleaned series with the removed steps marked on them, the
    accumulated removed steps below, and each removed step close up.
    `names`: station, point, item and unit from the dictionaries."""
    family = chinese_font()
    with plt.rc_context({"font.family": [family], "axes.unicode_minus": False}):
        figure = plt.figure(figsize=(11, 8.5))
        grid = figure.add_gridspec(3, 1, height_ratios=[3, 1.1, 2])
        top = figure.add_subplot(grid[0])
        bottom = figure.add_subplot(grid[1], sharex=top)
        level = values.dropna().iloc[0]
        steps_removed = cleaned["OBSVALUE"] + level
        top.plot(values.index, values, lw=0.6, color="0.55", label="原始值 (raw)")
        top.plot(steps_removed.index, steps_removed, lw=0.6, color="tab:blue", label="去台阶后 (steps removed)")
        top.plot(removed.index, values.reindex(removed.index), "v", color="tab:red", ms=8,
                 label="去除的台阶 (removed steps)")
        for when, size in removed.items():
            top.annotate(f"{size:+.2f}", (when, values.get(when)), textcoords="offset points", xytext=(6, 8),
                         color="tab:red", fontsize=9)
        top.set_title(f"{names['station']}（{names['point']}） {names['item']} · 分钟值 2009年1月")
        top.set_ylabel(f"{names['item']}（{names['unit']}）")
        top.legend(loc="upper left", fontsize=9)
        accumulated = values - level - cleaned["OBSVALUE"].reindex(values.index)
        bottom.step(accumulated.index, accumulated, where="post", color="tab:red", lw=1)
        bottom.set_ylabel(f"去除量（{names['unit']}）")
        for when in removed.index:
            for axis in (top, bottom):
                axis.axvline(when, color="tab:red", lw=0.8, ls="--", alpha=0.5)
        close_ups = grid[2].subgridspec(1, max(len(removed), 1), wspace=0.25)
        for n, (when, size) in enumerate(removed.items()):
            axis = figure.add_subplot(close_ups[n])
            window = slice(when - pd.Timedelta(hours=3), when + pd.Timedelta(hours=3))
            axis.plot(values[window].index, values[window], color="0.55", lw=1, marker=".", ms=3)
            axis.plot(steps_removed[window].index, steps_removed[window], color="tab:blue", lw=1)
            axis.axvline(when, color="tab:red", lw=0.8, ls="--", alpha=0.6)
            axis.set_title(f"台阶 {when:%m-%d %H:%M}，{size:+.2f} {names['unit']}", fontsize=10)
            axis.tick_params(labelsize=8)
            axis.xaxis.set_major_formatter(mdates.DateFormatter("%H:%M"))
        figure.tight_layout()
        figure.savefig(path, dpi=110)
    return figure


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

    point = points[(points["STATIONID"] + points["POINTID"]) == month["STATIONID"].iloc[0]].iloc[0]
    item = items.set_index("ITEMID").loc[month["ITEMID"].iloc[0]]
    names = {"station": stations.set_index("STATIONID").loc[point["STATIONID"], "STATIONNAME"],
             "point": point["POINTNAME"], "item": item["ITEMNAME"], "unit": item["UNIT"]}
    figure = plot_month(values, cleaned, removed, names, PLOT)
    print()
    print(f"plot written to {os.path.join(HERE, PLOT)}  ({time.perf_counter() - began:.1f} s)")
    return figure


if __name__ == "__main__":
    plt.switch_backend("Agg")
    main()
