"""The sample QZDATA database.

``build(path)`` writes a SQLite file holding the dictionary tables, the
observation tables and the event-log tables of the schema QZDATA, filled with
made-up but realistic data that is fully determined by the arguments (seed,
number of stations, number of days, first day).  :mod:`qzdb.oracle` serves the
file when its path is the SID; :func:`load_into_mysql` copies it into a MySQL
or MariaDB database of the same name.

Run ``python -m qzdb.sample PATH [options]`` to write one from the shell.

Codes
-----
Table names are ``QZ_<method>_<base>_<rate>``: base "DYS" (raw), "DYU"
(preprocessed) or "CP" (product); rate "02" (second values, 86400 samples a
row), "01" (minutes, 1440), "60" (hours, 24) or "90" (daily, 1).  No method
code contains "01", "02", "60" or "90", so that searching table names for the
three codes as substrings finds exactly the tables meant.  Event logs are
``QZ_DLG_<method>``.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime as _dt
import gzip
import os
import sqlite3
import sys
import zlib

import numpy as np

SCHEMA = "QZDATA"

#: The one user the sample accepts (through :mod:`qzdb.oracle`).
DEFAULT_USER = "qzreader"
#: Its password; it holds "@", "/", ":", "%" and a blank on purpose.
DEFAULT_PASSWORD = "qz@Dev/2009:50% ok"
#: Table holding the accepted users; internal to the stand-in (hidden from
#: statements and from ALL_TABLES, not loaded into MySQL).
USERS_TABLE = "QZDB_USERS"

DEFAULT_SEED = 20090101
DEFAULT_STATIONS = 6
DEFAULT_DAYS = 31
DEFAULT_START = _dt.date(2009, 1, 1)
DEFAULT_SECOND_STATIONS = 2
DEFAULT_SECOND_DAYS = 2

#: Data-base codes by their Chinese names.
BASES = {"原始库": "DYS", "预处理库": "DYU", "产品库": "CP"}
#: Sampling-rate code -> (samples in one row, seconds between samples).
RATES = {"02": (86400, 1), "01": (1440, 60), "60": (24, 3600), "90": (1, 86400)}

#: Placeholders of a missing sample inside a packed row, and of a row
#: without any sample.
MISSING_MARKERS = ("NULL", "null", "99999", "")
EMPTY_ROW = "NULLALL"

# (code, name). 37005 and 37008 are always part of a sample; the others are
# taken in code order until the requested number of stations is reached.
STATION_POOL = (
    ("37001", "泰安地震台"), ("37002", "安丘地震台"), ("37003", "沂水地震台"),
    ("37004", "莒县地震台"), ("37005", "郯城马陵山"), ("37006", "临沂地震台"),
    ("37007", "乳山地震台"), ("37008", "嘉祥地震台"), ("37009", "长岛地震台"),
    ("37010", "聊城地震台"), ("37011", "菏泽地震台"), ("37012", "蒙阴地震台"),
    ("37013", "平邑地震台"), ("37014", "昌邑地震台"), ("37015", "荣成地震台"),
    ("37016", "大山地震台"), ("37017", "五莲地震台"), ("37018", "即墨地震台"),
    ("37019", "招远地震台"), ("37020", "陵县地震台"), ("37021", "高青地震台"),
    ("37022", "济南地震台"), ("37023", "淄博地震台"), ("37024", "枣庄地震台"),
    ("37025", "烟台地震台"), ("37026", "威海地震台"), ("37027", "潍坊地震台"),
    ("37028", "日照地震台"), ("37029", "滨州地震台"), ("37030", "德州地震台"),
    ("37031", "东营地震台"), ("37032", "莱芜地震台"), ("37033", "济宁地震台"),
    ("37034", "泗水地震台"), ("37035", "费县地震台"), ("37036", "苍山地震台"),
    ("37037", "新泰地震台"), ("37038", "肥城地震台"), ("37039", "青州地震台"),
    ("37040", "临朐地震台"),
)
REQUIRED_STATIONS = ("37005", "37008")

#: (method code, name).  "232" is in the dictionary only: no station, no table.
METHODS = (
    ("211", "水平摆倾斜"),
    ("213", "伸缩仪应变"),
    ("232", "绝对重力"),
    ("312", "磁通门磁力仪"),
    ("321", "直流单装置地电阻率"),
    ("331", "地电场"),
    ("411", "水位"),
    ("412", "水温"),
    ("431", "水氡"),
)


@dataclasses.dataclass(frozen=True)
class ItemProfile:
    item: str
    name: str
    unit: str
    level: tuple  # range the series level is drawn from
    daily: float  # amplitude of the daily wave
    tide: float  # amplitude of the semi-diurnal tide
    noise: float  # standard deviation of the sample noise
    trend: float  # standard deviation of the drift per day
    decimals: int

    @property
    def method(self):
        return self.item[:3]


ITEMS = (
    ItemProfile("2111", "水平摆北南分量", "ms", (-300, 300), 8.0, 12.0, 0.05, 0.8, 3),
    ItemProfile("2112", "水平摆东西分量", "ms", (-300, 300), 8.0, 12.0, 0.05, 0.8, 3),
    ItemProfile("2131", "伸缩仪北南分量", "1e-10", (1000, 5000), 20.0, 35.0, 0.3, 3.0, 2),
    ItemProfile("2132", "伸缩仪东西分量", "1e-10", (1000, 5000), 20.0, 35.0, 0.3, 3.0, 2),
    ItemProfile("3121", "磁偏角D", "′", (-420, -350), 3.0, 0.0, 0.05, 0.01, 2),
    ItemProfile("3122", "水平分量H", "nT", (28000, 33000), 25.0, 0.0, 0.3, 0.5, 2),
    ItemProfile("3123", "垂直分量Z", "nT", (34000, 39000), 12.0, 0.0, 0.3, 0.5, 2),
    ItemProfile("3211", "地电阻率NS", "Ω·m", (15, 60), 0.1, 0.0, 0.15, 0.02, 2),
    ItemProfile("3212", "地电阻率EW", "Ω·m", (15, 60), 0.1, 0.0, 0.15, 0.02, 2),
    ItemProfile("3311", "地电场NS长极距", "mV/km", (-60, 60), 2.0, 1.0, 0.3, 0.2, 3),
    ItemProfile("3312", "地电场EW长极距", "mV/km", (-60, 60), 2.0, 1.0, 0.3, 0.2, 3),
    ItemProfile("4111", "动水位", "m", (3, 40), 0.0, 0.06, 0.003, 0.005, 4),
    ItemProfile("4112", "静水位", "m", (3, 40), 0.0, 0.06, 0.003, 0.005, 4),
    ItemProfile("4121", "水温", "℃", (12, 28), 0.0, 0.0005, 0.0003, 0.0002, 4),
    ItemProfile("4311", "水氡", "Bq/L", (8, 60), 0.5, 0.0, 1.5, 0.05, 1),
)
_ITEMS = {prof.item: prof for prof in ITEMS}

# measuring point of each method; the water wells of 37005 are point "h"
_METHOD_POINT = {
    "211": "4", "213": "4", "312": "3", "321": "2", "331": "2",
    "411": "1", "412": "1", "431": "1",
}
_POINT_NAME = {"1": "观测井", "h": "观测井", "2": "电测区", "3": "地磁观测室",
               "4": "山洞"}


@dataclasses.dataclass(frozen=True)
class ObservationTable:
    name: str
    method: str
    base: str
    rate: str
    gzip: bool = False  # OBSVALUE is a BLOB holding the gzip-compressed text
    dev: bool = False  # a test device's table ("_DEV_" in the name)


OBSERVATION_TABLES = (
    ObservationTable("QZ_211_DYS_01", "211", "DYS", "01"),
    ObservationTable("QZ_211_DYU_01", "211", "DYU", "01"),
    ObservationTable("QZ_211_DYU_60", "211", "DYU", "60"),
    ObservationTable("QZ_211_CP_90", "211", "CP", "90"),
    ObservationTable("QZ_213_DYU_01", "213", "DYU", "01"),
    ObservationTable("QZ_213_DYU_60", "213", "DYU", "60"),
    ObservationTable("QZ_312_DYS_02", "312", "DYS", "02", gzip=True),
    ObservationTable("QZ_312_DYU_02", "312", "DYU", "02"),
    ObservationTable("QZ_312_DYU_01", "312", "DYU", "01"),
    ObservationTable("QZ_312_DYU_60", "312", "DYU", "60"),
    ObservationTable("QZ_321_DYS_60", "321", "DYS", "60"),
    ObservationTable("QZ_321_DYU_60", "321", "DYU", "60"),
    ObservationTable("QZ_321_DEV_DYU_60", "321", "DYU", "60", dev=True),
    ObservationTable("QZ_321_CP_90", "321", "CP", "90"),
    ObservationTable("QZ_331_DYU_01", "331", "DYU", "01"),
    ObservationTable("QZ_411_DYS_01", "411", "DYS", "01"),
    ObservationTable("QZ_411_DYU_01", "411", "DYU", "01"),
    ObservationTable("QZ_411_DYU_60", "411", "DYU", "60"),
    ObservationTable("QZ_411_DYU_90", "411", "DYU", "90"),
    ObservationTable("QZ_411_CP_90", "411", "CP", "90"),
    ObservationTable("QZ_412_DYU_01", "412", "DYU", "01"),
    ObservationTable("QZ_412_DYU_90", "412", "DYU", "90"),
    ObservationTable("QZ_431_DYU_90", "431", "DYU", "90"),
)
GZIP_TABLE = "QZ_312_DYS_02"
DEV_TABLE = "QZ_321_DEV_DYU_60"

#: (table name, method code) of the event logs.
LOG_TABLES = (
    ("QZ_DLG_211", "211"),
    ("QZ_DLG_312", "312"),
    ("QZ_DLG_321", "321"),
    ("QZ_DLG_411", "411"),
    ("QZ_DLG_412", "412"),
)
#: Event types (EVTID) and their notes.
EVENT_TYPES = {
    "311": "仪器标定",
    "312": "仪器调零",
    "313": "停电，仪器断电后重启",
    "314": "仪器故障，更换部件",
    "315": "雷电干扰",
    "316": "人为干扰（附近施工）",
}
_EVENT_WEIGHTS = {"311": 0.15, "312": 0.15, "313": 0.4, "314": 0.1,
                  "315": 0.1, "316": 0.1}

DICTIONARY_TABLES = (
    "QZ_DICT_STATIONS", "QZ_DICT_STATIONPOINTS", "QZ_DICT_ITEMS",
    "QZ_DICT_METHODS", "QZ_DICT_STATIONITEMS",
)

#: The water-level series of 郯城 (station 37005, point "h", item 4112):
#: in its daily preprocessed table it is the only series of the station, has
#: no placeholders and lacks the rows of the days at these offsets from the
#: first day (those inside the period and before its last day).
WATER_LEVEL_TABLE = "QZ_411_DYU_90"
WATER_LEVEL_STATION = "37005"
WATER_LEVEL_POINT = "h"
WATER_LEVEL_ITEM = "4112"
WATER_LEVEL_MISSING_DAY_OFFSETS = (4, 11, 19)

# 37008 point 2: resistivity low enough that some values fall below 8
_LOW_RESISTIVITY = {"3211": 9.2, "3212": 9.0}

_COLUMNS_DICT = {
    "QZ_DICT_STATIONS": (("STATIONID", "VARCHAR2(8)", True),
                         ("STATIONNAME", "VARCHAR2(64)", True)),
    "QZ_DICT_STATIONPOINTS": (("STATIONID", "VARCHAR2(8)", True),
                              ("POINTID", "VARCHAR2(4)", True),
                              ("POINTNAME", "VARCHAR2(64)", True)),
    "QZ_DICT_ITEMS": (("ITEMID", "VARCHAR2(8)", True),
                      ("ITEMNAME", "VARCHAR2(64)", True),
                      ("UNIT", "VARCHAR2(16)", True)),
    "QZ_DICT_METHODS": (("METHODID", "VARCHAR2(8)", True),
                        ("METHODNAME", "VARCHAR2(64)", True)),
    "QZ_DICT_STATIONITEMS": (("STATIONID", "VARCHAR2(8)", True),
                             ("POINTID", "VARCHAR2(4)", True),
                             ("ITEMID", "VARCHAR2(8)", True)),
}
_COLUMNS_OBS = (("STATIONID", "VARCHAR2(8)", True),
                ("POINTID", "VARCHAR2(4)", True),
                ("ITEMID", "VARCHAR2(8)", True),
                ("STARTDATE", "DATE", True),
                ("OBSVALUE", "CLOB", False),
                ("UNIT", "VARCHAR2(16)", False))
_COLUMNS_LOG = (("STATIONID", "VARCHAR2(8)", True),
                ("POINTID", "VARCHAR2(4)", True),
                ("ITEMID", "VARCHAR2(8)", True),
                ("STARTDATE", "DATE", True),
                ("ENDDATE", "DATE", False),
                ("EVTID", "VARCHAR2(8)", True),
                ("NOTE", "VARCHAR2(400)", False))
_COLUMNS_USERS = (("USERNAME", "VARCHAR2(128)", True),
                  ("PASSWORD", "VARCHAR2(128)", True))


# --------------------------------------------------------------------------
# Plan: which stations carry which methods, points and items


@dataclasses.dataclass(frozen=True)
class Series:
    station: str
    point: str
    item: str

    @property
    def method(self):
        return self.item[:3]


def _rng(seed, *key):
    """A generator that depends only on the seed and the key, so that one
    series' values do not change when other series are added."""
    words = [zlib.crc32("|".join(map(str, key)).encode("utf-8"))]
    return np.random.default_rng([seed & 0xFFFFFFFF, words[0]])


def _check_int(name, value, lo, hi):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise ValueError("%s must be an integer, got %r" % (name, value))
    if not lo <= value <= hi:
        raise ValueError("%s must be between %d and %d, got %d"
                         % (name, lo, hi, value))
    return int(value)


def _parse_start(start):
    if isinstance(start, _dt.datetime):
        if start.time() != _dt.time(0):
            raise ValueError("start must be a day, got %r" % (start,))
        return start.date()
    if isinstance(start, _dt.date):
        return start
    if isinstance(start, str):
        for fmt in ("%Y-%m-%d", "%Y%m%d"):
            try:
                return _dt.datetime.strptime(start, fmt).date()
            except ValueError:
                pass
    raise ValueError("start must be a date or 'YYYY-MM-DD' / 'YYYYMMDD' text, "
                     "got %r" % (start,))


@dataclasses.dataclass(frozen=True)
class Plan:
    seed: int
    start: _dt.date
    days: int
    second_days: int
    stations: tuple  # station codes, ascending
    series: tuple  # Series, ordered by station, point, item

    def series_of(self, method):
        return tuple(s for s in self.series if s.method == method)


def make_plan(*, seed=DEFAULT_SEED, stations=DEFAULT_STATIONS,
              days=DEFAULT_DAYS, start=DEFAULT_START,
              second_stations=DEFAULT_SECOND_STATIONS,
              second_days=DEFAULT_SECOND_DAYS):
    """Decide the stations, points and items of a sample (no values)."""
    seed = _check_int("seed", seed, 0, 2 ** 32 - 1)
    stations = _check_int("stations", stations, len(REQUIRED_STATIONS),
                          len(STATION_POOL))
    days = _check_int("days", days, 1, 3660)
    second_stations = _check_int("second_stations", second_stations, 1,
                                 stations)
    second_days = _check_int("second_days", second_days, 1, days)
    start = _parse_start(start)
    end = start + _dt.timedelta(days=days - 1)
    if end.year > 9999:
        raise ValueError("the period must end before the year 10000")

    others = [c for c, _ in STATION_POOL if c not in REQUIRED_STATIONS]
    codes = sorted(list(REQUIRED_STATIONS) + others[:stations - 2])
    geomagnetic = set(codes[:second_stations])

    methods_of = {}
    for code in codes:
        if code == "37005":
            chosen = {"211", "411", "412"}
        elif code == "37008":
            chosen = {"321", "331", "412"}
        else:
            r = _rng(seed, "station", code)
            chosen = {"412"}
            for m in ("211", "213", "321", "331", "411", "431"):
                if r.random() < 0.5:
                    chosen.add(m)
        if code in geomagnetic:
            chosen.add("312")
        methods_of[code] = chosen
    # every method with tables has at least one station
    for m in ("211", "213", "321", "331", "411", "431"):
        if not any(m in ms for ms in methods_of.values()):
            carrier = next(c for c in codes if c != "37005")
            methods_of[carrier].add(m)

    series = []
    for code in codes:
        for m in sorted(methods_of[code]):
            point = _METHOD_POINT[m]
            if code == "37005" and m in ("411", "412", "431"):
                point = WATER_LEVEL_POINT
            items = [s.item for s in ITEMS if s.method == m]
            if code == WATER_LEVEL_STATION and m == "411":
                items = [WATER_LEVEL_ITEM]
            for item in items:
                series.append(Series(code, point, item))
    series.sort(key=lambda s: (s.station, s.point, s.item))
    return Plan(seed, start, days, second_days, tuple(codes), tuple(series))


# --------------------------------------------------------------------------
# Values


def _series_params(plan, s):
    prof = _ITEMS[s.item]
    r = _rng(plan.seed, "series", s.station, s.point, s.item)
    lo, hi = prof.level
    level = float(r.uniform(lo, hi))
    noise = prof.noise
    if s.station == "37008" and s.item in _LOW_RESISTIVITY:
        level = _LOW_RESISTIVITY[s.item]
        noise = 0.5
    total = plan.days * 86400.0
    n_steps = int(r.choice([0, 0, 1, 2]))
    step_times = np.sort(r.uniform(0.1, 0.9, n_steps) * total)
    step_sizes = r.choice([-1.0, 1.0], n_steps) * r.uniform(10, 30, n_steps) \
        * max(noise, 1e-4)
    return dict(
        prof=prof, level=level, noise=noise,
        trend=float(r.normal(0.0, prof.trend)),
        phase1=float(r.uniform(0, 2 * np.pi)),
        phase2=float(r.uniform(0, 2 * np.pi)),
        step_times=step_times, step_sizes=step_sizes,
    )


def _smooth(p, t):
    """The noise-free signal at times t (seconds from the first midnight)."""
    prof = p["prof"]
    v = (p["level"] + p["trend"] * t / 86400.0
         + prof.daily * np.sin(2 * np.pi * t / 86400.0 + p["phase1"])
         + prof.tide * np.sin(2 * np.pi * t / 44712.0 + p["phase2"]))
    for when, size in zip(p["step_times"], p["step_sizes"]):
        v = v + np.where(t >= when, size, 0.0)
    return v


def _values(plan, table, s, days):
    """Array (days, samples per row) of the values of one series in one
    table, before formatting."""
    n, step = RATES[table.rate]
    p = _series_params(plan, s)
    noise_rng = _rng(plan.seed, "noise", s.station, s.point, s.item,
                     table.rate)
    if table.rate == "90":
        hours = (np.arange(days)[:, None] * 86400.0
                 + np.arange(24)[None, :] * 3600.0)
        v = _smooth(p, hours).mean(axis=1, keepdims=True)
        if table.base != "CP":
            v = v + noise_rng.normal(0.0, p["noise"] / 5, v.shape)
    else:
        t = (np.arange(days)[:, None] * 86400.0
             + np.arange(n)[None, :] * float(step))
        v = _smooth(p, t) + noise_rng.normal(0.0, p["noise"], t.shape)
    if table.base == "DYS":
        r = _rng(plan.seed, "spikes", table.name, s.station, s.point, s.item)
        mask = r.random(v.shape) < 0.0005
        v = v + mask * r.choice([-1.0, 1.0], v.shape) \
            * r.uniform(20, 50, v.shape) * max(p["noise"], 1e-4)
    if table.dev:
        r = _rng(plan.seed, "dev", s.station, s.point, s.item)
        v = v * 1.08 + r.normal(0.0, p["noise"], v.shape)
    return v


def _packed_rows(plan, table, s):
    """[(day offset, OBSVALUE text)] of one series in one table."""
    days = plan.second_days if table.rate == "02" else plan.days
    prof = _ITEMS[s.item]
    v = np.round(_values(plan, table, s, days), prof.decimals) + 0.0
    fmt = ("{:.%df}" % prof.decimals).format
    water = (table.name == WATER_LEVEL_TABLE and s.station == WATER_LEVEL_STATION
             and s.point == WATER_LEVEL_POINT and s.item == WATER_LEVEL_ITEM)
    r = _rng(plan.seed, "markers", table.name, s.station, s.point, s.item)
    n = v.shape[1]
    rows = []
    for day in range(days):
        if water and day in WATER_LEVEL_MISSING_DAY_OFFSETS and day < days - 1:
            continue
        pieces = [fmt(x) for x in v[day].tolist()]
        if "99999" in " ".join(pieces):
            raise AssertionError("a generated value reads as a placeholder")
        if not water:
            u = r.random()
            if u < (0.02 if n == 1 else 0.03):
                rows.append((day, EMPTY_ROW))
                continue
            if r.random() < (0.05 if n == 1 else 0.35):
                k = 1 if n <= 24 else int(r.integers(1, max(2, n // 200)))
                # a daily row is a single piece: an empty one would make the
                # whole value empty, which Oracle stores as NULL
                kinds = 4 if n > 1 else 3
                for pos in r.choice(n, size=min(k, n), replace=False).tolist():
                    pieces[pos] = MISSING_MARKERS[int(r.integers(0, kinds))]
        rows.append((day, " ".join(pieces)))
    return rows


def _log_rows(plan, method):
    rows = []
    codes = list(_EVENT_WEIGHTS)
    weights = np.array([_EVENT_WEIGHTS[c] for c in codes])
    series = plan.series_of(method)
    for index, s in enumerate(series):
        r = _rng(plan.seed, "events", method, s.station, s.point, s.item)
        events = []
        if index == 0:
            # every log has a "313" event and an event at a midnight
            events.append((0, 0, "311", 45))
            events.append((min(1, plan.days - 1), 8 * 3600 + 30 * 60, "313",
                           120))
        for _ in range(int(r.poisson(plan.days / 6.0))):
            day = int(r.integers(0, plan.days))
            second = int(r.integers(0, 24 * 60)) * 60
            evt = codes[int(r.choice(len(codes), p=weights / weights.sum()))]
            events.append((day, second, evt, int(r.integers(5, 600))))
        for day, second, evt, minutes in events:
            start = (_dt.datetime.combine(plan.start, _dt.time(0))
                     + _dt.timedelta(days=day, seconds=second))
            end = start + _dt.timedelta(minutes=minutes)
            note = "%s，持续%d分钟" % (EVENT_TYPES[evt], minutes)
            rows.append((s.station, s.point, s.item, _date_text(start),
                         _date_text(end), evt, note))
    rows.sort(key=lambda row: (row[3], row[0], row[1], row[2], row[5]))
    return rows


def _date_text(d):
    return d.strftime("%Y-%m-%d %H:%M:%S")


# --------------------------------------------------------------------------
# Writing the SQLite file


def _create(db, name, columns):
    cols = ", ".join('"%s" %s%s' % (c, decl, " NOT NULL" if notnull else "")
                     for c, decl, notnull in columns)
    db.execute('CREATE TABLE "%s" (%s)' % (name, cols))


def _insert(db, name, ncols, rows):
    db.executemany('INSERT INTO "%s" VALUES (%s)'
                   % (name, ", ".join("?" * ncols)), rows)


def build(path, *, seed=DEFAULT_SEED, stations=DEFAULT_STATIONS,
          days=DEFAULT_DAYS, start=DEFAULT_START,
          second_stations=DEFAULT_SECOND_STATIONS,
          second_days=DEFAULT_SECOND_DAYS, overwrite=False):
    """Write the sample database to ``path`` (a SQLite file).

    - ``seed``: everything is determined by the arguments; the same arguments
      give the same tables, rows and values.
    - ``stations``: number of stations (2 to 40); 37005 and 37008 are always
      among them.
    - ``days``, ``start``: the period, from midnight of ``start``.
    - ``second_stations``, ``second_days``: the second-value tables are large,
      so the magnetometer (method 312, the only one with second values) runs
      at the first ``second_stations`` stations only, and its second-value
      tables cover the first ``second_days`` days only.

    Returns the :class:`Plan` that was written.
    """
    plan = make_plan(seed=seed, stations=stations, days=days, start=start,
                     second_stations=second_stations, second_days=second_days)
    path = os.fspath(path)
    if os.path.exists(path) and not overwrite:
        raise FileExistsError("%s exists (pass overwrite=True to replace it)"
                              % path)
    tmp = "%s.tmp-%d" % (path, os.getpid())
    if os.path.exists(tmp):
        os.remove(tmp)
    db = sqlite3.connect(tmp, isolation_level=None)
    try:
        db.execute("PRAGMA journal_mode = OFF")
        db.execute("PRAGMA synchronous = OFF")
        db.execute("BEGIN")
        _write(db, plan)
        db.execute("COMMIT")
    except BaseException:
        db.close()
        os.remove(tmp)
        raise
    db.close()
    os.replace(tmp, path)
    return plan


def _write(db, plan):
    names = dict(STATION_POOL)
    for name, columns in _COLUMNS_DICT.items():
        _create(db, name, columns)
    _insert(db, "QZ_DICT_STATIONS", 2,
            [(c, names[c]) for c in plan.stations])
    points = sorted({(s.station, s.point) for s in plan.series})
    _insert(db, "QZ_DICT_STATIONPOINTS", 3,
            [(st, pt, names[st].replace("地震台", "") + _POINT_NAME[pt])
             for st, pt in points])
    _insert(db, "QZ_DICT_ITEMS", 3,
            [(s.item, s.name, s.unit) for s in ITEMS])
    _insert(db, "QZ_DICT_METHODS", 2, list(METHODS))
    _insert(db, "QZ_DICT_STATIONITEMS", 3,
            [(s.station, s.point, s.item) for s in plan.series])

    midnight = _dt.datetime.combine(plan.start, _dt.time(0))
    for table in OBSERVATION_TABLES:
        columns = list(_COLUMNS_OBS)
        if table.gzip:
            columns[4] = ("OBSVALUE", "BLOB", False)
        _create(db, table.name, columns)
        rows = []
        for s in plan.series_of(table.method):
            unit = _ITEMS[s.item].unit
            for day, text in _packed_rows(plan, table, s):
                value = (gzip.compress(text.encode("utf-8"), compresslevel=1, mtime=0)
                         if table.gzip else text)
                when = _date_text(midnight + _dt.timedelta(days=day))
                rows.append((when, s.station, s.point, s.item, value, unit))
        rows.sort(key=lambda row: row[:4])
        _insert(db, table.name, 6,
                [(st, pt, it, when, value, unit)
                 for when, st, pt, it, value, unit in rows])
        db.execute('CREATE INDEX "%s_STARTDATE" ON "%s" ("STARTDATE")'
                   % (table.name, table.name))

    for name, method in LOG_TABLES:
        _create(db, name, _COLUMNS_LOG)
        _insert(db, name, 7, _log_rows(plan, method))

    _create(db, USERS_TABLE, _COLUMNS_USERS)
    _insert(db, USERS_TABLE, 2, [(DEFAULT_USER.upper(), DEFAULT_PASSWORD)])


# --------------------------------------------------------------------------
# Reading a sample back (for loading it elsewhere)


@dataclasses.dataclass(frozen=True)
class Column:
    name: str
    decl: str  # the Oracle type as declared: VARCHAR2(8), DATE, CLOB, BLOB
    notnull: bool

    @property
    def kind(self):
        d = self.decl.upper()
        if d.startswith(("VARCHAR2", "NVARCHAR2", "VARCHAR", "CHAR")):
            return "CHAR"
        return d.split("(")[0]

    @property
    def size(self):
        if "(" in self.decl:
            return int(self.decl.split("(")[1].rstrip(")"))
        return None


@dataclasses.dataclass(frozen=True)
class Table:
    name: str
    columns: tuple

    @property
    def role(self):
        if self.name.startswith("QZ_DICT_"):
            return "dictionary"
        if "DLG" in self.name:
            return "log"
        return "observation"


def read_tables(path):
    """The tables of a sample file (without the stand-in's internal ones),
    in the order they were written."""
    db = _open_ro(path)
    try:
        names = [r[0] for r in db.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' "
            "ORDER BY rowid")]
        tables = []
        for name in names:
            if name.startswith("QZDB_") or name.startswith("sqlite_"):
                continue
            cols = tuple(Column(c, decl, bool(notnull)) for _, c, decl, notnull,
                         _, _ in db.execute('PRAGMA table_info("%s")' % name))
            tables.append(Table(name, cols))
        return tables
    finally:
        db.close()


def _open_ro(path):
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise FileNotFoundError(path)
    from urllib.parse import quote
    return sqlite3.connect("file:%s?mode=ro" % quote(os.path.abspath(path)),
                           uri=True)


def iter_rows(path, table):
    """The rows of one table, in rowid order: DATE columns as ``datetime``,
    CLOB as text, BLOB as bytes."""
    if isinstance(table, str):
        table = next(t for t in read_tables(path) if t.name == table)
    dates = [i for i, c in enumerate(table.columns) if c.kind == "DATE"]
    db = _open_ro(path)
    try:
        cur = db.execute('SELECT * FROM "%s" ORDER BY rowid' % table.name)
        while True:
            chunk = cur.fetchmany(500)
            if not chunk:
                break
            for row in chunk:
                if dates:
                    row = list(row)
                    for i in dates:
                        if row[i] is not None:
                            row[i] = _dt.datetime.fromisoformat(row[i])
                    row = tuple(row)
                yield row
    finally:
        db.close()


def row_counts(path):
    """{table name: number of rows} of a sample file."""
    db = _open_ro(path)
    try:
        return {t.name: db.execute('SELECT count(*) FROM "%s"' % t.name)
                .fetchone()[0] for t in read_tables(path)}
    finally:
        db.close()


_MYSQL_TYPES = {"DATE": "DATETIME", "CLOB": "LONGTEXT", "BLOB": "LONGBLOB",
                "NUMBER": "DOUBLE"}


def mysql_create_statement(table, database=SCHEMA):
    cols = []
    for c in table.columns:
        if c.kind == "CHAR":
            typ = "VARCHAR(%d)" % (c.size or 4000)
        else:
            typ = _MYSQL_TYPES[c.kind]
        cols.append("`%s` %s%s" % (c.name, typ, " NOT NULL" if c.notnull else ""))
    if any(c.name == "STARTDATE" for c in table.columns):
        cols.append("KEY `%s_STARTDATE` (`STARTDATE`)" % table.name)
    return ("CREATE TABLE `%s`.`%s` (%s) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 "
            "COLLATE=utf8mb4_unicode_ci" % (database, table.name, ", ".join(cols)))


def load_into_mysql(conn, path, database=SCHEMA):
    """Copy every table of the sample file into ``database`` through a
    PyMySQL connection (tables of the same name are replaced).  Table and
    column names stay upper case; DATE becomes DATETIME, CLOB LONGTEXT, BLOB
    LONGBLOB.  Returns {table name: rows loaded}."""
    counts = {}
    with conn.cursor() as cur:
        for table in read_tables(path):
            cur.execute("DROP TABLE IF EXISTS `%s`.`%s`" % (database, table.name))
            cur.execute(mysql_create_statement(table, database))
            insert = "INSERT INTO `%s`.`%s` (%s) VALUES (%s)" % (
                database, table.name,
                ", ".join("`%s`" % c.name for c in table.columns),
                ", ".join(["%s"] * len(table.columns)))
            n = 0
            batch = []
            size = 0
            for row in iter_rows(path, table):
                batch.append(row)
                size += sum(len(v) for v in row if isinstance(v, (str, bytes)))
                if len(batch) >= 1000 or size > 4_000_000:
                    cur.executemany(insert, batch)
                    n += len(batch)
                    batch, size = [], 0
            if batch:
                cur.executemany(insert, batch)
                n += len(batch)
            counts[table.name] = n
    conn.commit()
    return counts


# --------------------------------------------------------------------------
# Command line


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m qzdb.sample",
        description="Write the sample QZDATA database as a SQLite file.")
    parser.add_argument("path")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--stations", type=int, default=DEFAULT_STATIONS)
    parser.add_argument("--days", type=int, default=DEFAULT_DAYS)
    parser.add_argument("--start", default=DEFAULT_START.isoformat(),
                        help="first day, YYYY-MM-DD or YYYYMMDD")
    parser.add_argument("--second-stations", type=int,
                        default=DEFAULT_SECOND_STATIONS)
    parser.add_argument("--second-days", type=int, default=DEFAULT_SECOND_DAYS)
    parser.add_argument("--force", action="store_true",
                        help="replace an existing file")
    args = parser.parse_args(argv)
    try:
        plan = build(args.path, seed=args.seed, stations=args.stations,
                     days=args.days, start=args.start,
                     second_stations=args.second_stations,
                     second_days=args.second_days, overwrite=args.force)
    except (ValueError, FileExistsError) as e:
        parser.exit(2, "error: %s\n" % e)
    counts = row_counts(args.path)
    print("%s: %d stations, %d days from %s, %d tables, %d rows"
          % (args.path, len(plan.stations), plan.days, plan.start.isoformat(),
             len(counts), sum(counts.values())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
