"""Expected observation tables, computed straight from the sample file with
sqlite3 and pandas, independently of the fetch modules and of the stand-in."""
import contextlib
import datetime
import gzip
import io
import sqlite3

import pandas as pd

from split_reference import split_lines_reference

RATES = {"02": (1, 86400), "01": (60, 1440), "60": (3600, 24), "90": (86400, 1)}


def _connect(path):
    return sqlite3.connect(f"file:{path}?mode=ro", uri=True)


def table_names(path):
    """The tables of QZDATA (the stand-in's own QZDB_ tables, which hold its
    users, its names and other schemas, left out)."""
    with contextlib.closing(_connect(path)) as con, con:
        return [r[0] for r in con.execute("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name")
                if not r[0].startswith("QZDB_")]


def dictionary(path, table):
    with contextlib.closing(_connect(path)) as con, con:
        return pd.read_sql(f"SELECT * FROM {table}", con)


def methods_of_discipline(path, digit=None):
    items = dictionary(path, "QZ_DICT_STATIONITEMS")["ITEMID"]
    if digit is not None:
        items = items[items.str[0] == digit]
    return list(dict.fromkeys(items.str[:3]))


def methods_named(path, fragment):
    methods = dictionary(path, "QZ_DICT_METHODS")
    return methods.loc[methods["METHODNAME"].str.contains(fragment, regex=False), "METHODID"].tolist()


def codes_named(path, table, code, name, fragment):
    d = dictionary(path, table)
    return d.loc[d[name].str.contains(fragment, regex=False), code].tolist()


def observation_tables(path, methods, base, rate):
    return [t for t in table_names(path)
            if base in t and rate in t and any(m in t for m in methods) and "_DEV_" not in t]


def observations(path, tables, first_day, last_day, rate, *, stations=None, items=None, point=None,
                 split=True, compressed=False):
    """What fetching_data returns (upper-case labels), row labels aside."""
    start = datetime.datetime.strptime(first_day, "%Y%m%d")
    stop = datetime.datetime.strptime(last_day, "%Y%m%d") + datetime.timedelta(days=1)
    frames = []
    with contextlib.closing(_connect(path)) as con, con:
        for table in tables:
            frames.append(pd.read_sql(
                f"SELECT STATIONID, POINTID, ITEMID, STARTDATE, OBSVALUE FROM {table} "
                "WHERE STARTDATE >= ? AND STARTDATE < ?", con,
                params=(start.strftime("%Y-%m-%d %H:%M:%S"), stop.strftime("%Y-%m-%d %H:%M:%S"))))
    df = pd.concat(frames, ignore_index=True)
    df["STARTDATE"] = pd.to_datetime(df["STARTDATE"])
    if stations is not None:
        df = df[df["STATIONID"].isin(stations)]
    if items is not None:
        df = df[df["ITEMID"].isin(items)]
    if point is not None:
        df = df[df["POINTID"] == point]
    df = df.sort_values(["ITEMID", "STATIONID", "POINTID", "STARTDATE"], kind="stable")
    df["STATIONID"] = df["STATIONID"] + df["POINTID"]
    df = df[["STARTDATE", "STATIONID", "ITEMID", "OBSVALUE"]].reset_index(drop=True)
    if compressed:
        df["OBSVALUE"] = [gzip.decompress(v).decode() for v in df["OBSVALUE"]]
    seconds, samples = RATES[rate]
    df["OBSVALUE"] = df["OBSVALUE"].where(df["OBSVALUE"] != "NULLALL", " ".join(["NULL"] * samples))
    if not split or df.empty:
        return df
    return split_rows(df, rate)


def split_rows(df, rate):
    """An unsplit observation table (upper-case labels) split into samples."""
    seconds, _ = RATES[rate]
    df = df.copy()
    df.columns = df.columns.str.lower()
    with contextlib.redirect_stdout(io.StringIO()):
        out = split_lines_reference(df, seconds)
    out.columns = out.columns.str.upper()
    out.index.name = "STARTDATE"
    return out
