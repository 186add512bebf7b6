"""The sample QZDATA database.

``build(path)`` writes a SQLite file holding the dictionary tables, the
observation tables and the event-log tables of the schema QZDATA, filled with
made-up but realistic data that is fully determined by the arguments (seed,
number of stations, number of days, first day), and a second schema QZBAK
with copies of some of them and one table of its own.  The file declares a
SID and a service name; :mod:`qzdb.oracle` serves it under those names once
it is registered (``qzdb.oracle.register(path)``).  :func:`load_into_mysql`
copies it into MySQL or MariaDB databases of the same names.

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
import re
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
#: Table holding the SID and the service name the file declares; internal
#: like the users table.
INSTANCE_TABLE = "QZDB_INSTANCE"
#: The names a sample declares unless told otherwise.
DEFAULT_SID = "QZDB"
DEFAULT_SERVICE_NAME = "qzpdb"

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
# taken in code order until the requested number of stations is reached, and
# beyond the pool come generated stations (see _generated_stations).
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
#: The most stations a sample can have (besides ODD_STATION).
MAX_STATIONS = 2000

#: A station whose code is not a number, present in every sample besides the
#: requested stations: resistivity (point "2", items 3211 and 3212) in the
#: one table ODD_STATION_TABLE, which also holds 37008, and events in that
#: method's log.  Oracle cannot compare its code with the number 37008
#: (ORA-01722); MySQL takes '37008A' for 37008.
ODD_STATION = "37008A"
ODD_STATION_NAME = "梁山地震台"
ODD_STATION_POINT = "2"
ODD_STATION_ITEMS = ("3211", "3212")
ODD_STATION_TABLE = "QZ_321_DYU_60"
ODD_STATION_LOG = "QZ_DLG_321"

# characters of the generated station names: none of them occurs in a name
# of the pool or in ODD_STATION_NAME, so that a fragment of such a name finds
# the same stations in a large sample
_GENERATED_FIRST = ("白宝碧春丹定恩方丰福富广桂和红鸿华怀惠吉佳建江金锦晋景静九康"
                    "兰蓝乐丽良林柳龙隆美明普庆秋瑞盛石松天田万文武西仙兴秀雪阳"
                    "银永玉元云正中竹")
_GENERATED_SECOND = ("坝岸坂堡北川村店甸顶渡墩峰冈沟谷关河湖涧江角口岭庙坪坡铺桥泉"
                     "沙滩塘湾溪峡崖堰屿园寨镇洲冲垭岗港集屯头")

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
    old: bool = False  # an older instrument's table (BACKUP_ONLY_TABLE)


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

#: The second schema: copies (same names, same rows) of some QZDATA tables,
#: and BACKUP_ONLY_TABLE, which QZDATA lacks.  In the SQLite file its tables
#: are stored as "QZDB_QZBAK$<name>" (hidden but for qzdb.oracle, which
#: serves them as QZBAK.<name>).
BACKUP_SCHEMA = "QZBAK"
BACKUP_COPIES = ("QZ_211_DYU_01", "QZ_411_DYU_90", "QZ_DLG_211")
#: An older instrument's minute values of the tilt (211): its name holds the
#: codes DYU, 01 and 211, so a search for those three finds it besides
#: QZ_211_DYU_01 when it does not keep to the schema QZDATA.
BACKUP_ONLY_TABLE = ObservationTable("QZ_211_DYU_01_OLD", "211", "DYU", "01",
                                     old=True)

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
_COLUMNS_INSTANCE = (("SID", "VARCHAR2(64)", True),
                     ("SERVICE_NAME", "VARCHAR2(128)", True))


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


def _station_code(index):
    """The code of the index-th numeric station: 37001 .. 37999, 38001 ..."""
    return "%d%03d" % (37 + index // 999, index % 999 + 1)


def _generated_stations(count):
    """(code, name) of the stations after the pool: codes following 37040,
    names of two characters and "地震台"."""
    pool_chars = set("".join(n for _, n in STATION_POOL) + ODD_STATION_NAME)
    first = [c for c in dict.fromkeys(_GENERATED_FIRST) if c not in pool_chars]
    second = [c for c in dict.fromkeys(_GENERATED_SECOND)
              if c not in pool_chars]
    if count > len(first) * len(second):
        raise AssertionError("too few characters for the station names")
    return [(_station_code(len(STATION_POOL) + i),
             first[i // len(second)] + second[i % len(second)] + "地震台")
            for i in range(count)]


@dataclasses.dataclass(frozen=True)
class Plan:
    seed: int
    start: _dt.date
    days: int
    second_days: int
    stations: tuple  # numeric station codes, ascending
    series: tuple  # Series of those stations, ordered by station, point, item
    names: tuple  # (code, name) of every station, ODD_STATION included
    odd_series: tuple  # Series of ODD_STATION

    def series_of(self, method):
        return tuple(s for s in self.series if s.method == method)

    def all_series(self):
        """Every series, ODD_STATION's included, ordered by station, point,
        item."""
        return tuple(sorted(self.series + self.odd_series,
                            key=lambda s: (s.station, s.point, s.item)))


def make_plan(*, seed=DEFAULT_SEED, stations=DEFAULT_STATIONS,
              days=DEFAULT_DAYS, start=DEFAULT_START,
              second_stations=DEFAULT_SECOND_STATIONS,
              second_days=DEFAULT_SECOND_DAYS):
    """Decide the stations, points and items of a sample (no values)."""
    seed = _check_int("seed", seed, 0, 2 ** 32 - 1)
    stations = _check_int("stations", stations, len(REQUIRED_STATIONS),
                          MAX_STATIONS)
    days = _check_int("days", days, 1, 3660)
    second_stations = _check_int("second_stations", second_stations, 1,
                                 stations)
    second_days = _check_int("second_days", second_days, 1, days)
    start = _parse_start(start)
    end = start + _dt.timedelta(days=days - 1)
    if end.year > 9999:
        raise ValueError("the period must end before the year 10000")

    generated = _generated_stations(max(0, stations - len(STATION_POOL)))
    others = [c for c, _ in STATION_POOL + tuple(generated)
              if c not in REQUIRED_STATIONS]
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
    names = dict(STATION_POOL + tuple(generated))
    names[ODD_STATION] = ODD_STATION_NAME
    odd = tuple(Series(ODD_STATION, ODD_STATION_POINT, item)
                for item in ODD_STATION_ITEMS)
    return Plan(seed, start, days, second_days, tuple(codes), tuple(series),
                tuple(sorted((c, names[c]) for c in codes + [ODD_STATION])),
                odd)


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
    if table.old:
        r = _rng(plan.seed, "old", s.station, s.point, s.item)
        v = v * 0.97 + r.normal(0.0, 2 * p["noise"], v.shape)
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


def _log_rows(plan, name, method):
    rows = []
    codes = list(_EVENT_WEIGHTS)
    weights = np.array([_EVENT_WEIGHTS[c] for c in codes])
    series = plan.series_of(method)
    if name == ODD_STATION_LOG:
        series = series + plan.odd_series
    for index, s in enumerate(series):
        r = _rng(plan.seed, "events", method, s.station, s.point, s.item)
        events = []
        if index == 0:
            # every log has a "313" event and an event at a midnight
            events.append((0, 0, "311", 45))
            events.append((min(1, plan.days - 1), 8 * 3600 + 30 * 60, "313",
                           120))
        if s.station == ODD_STATION and s.item == ODD_STATION_ITEMS[0]:
            # the odd station has an event in every sample
            events.append((plan.days - 1, 10 * 3600, "315", 30))
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
          second_days=DEFAULT_SECOND_DAYS, sid=DEFAULT_SID,
          service_name=DEFAULT_SERVICE_NAME, tables=None, overwrite=False):
    """Write the sample database to ``path`` (a SQLite file).

    - ``seed``: everything is determined by the arguments; the same arguments
      give the same tables, rows and values.
    - ``stations``: number of stations with numeric codes (2 to
      MAX_STATIONS); 37005 and 37008 are always among them, then come the
      other stations of the pool (up to 40) and generated ones (codes from
      37041, names "<two characters>地震台").  ODD_STATION (37008A) comes in
      addition.
    - ``days``, ``start``: the period, from midnight of ``start``.
    - ``second_stations``, ``second_days``: the second-value tables are large,
      so the magnetometer (method 312, the only one with second values) runs
      at the first ``second_stations`` stations only, and its second-value
      tables cover the first ``second_days`` days only.
    - ``sid``, ``service_name``: the names the file declares to the listener
      of :mod:`qzdb.oracle`.
    - ``tables``: names of the observation and log tables to write (default:
      all); the dictionaries are always written, and the tables of QZBAK go
      with the QZDATA tables they copy (BACKUP_ONLY_TABLE with
      QZ_211_DYU_01).  A sample with many stations stays small with
      ``tables=SMALL_TABLES`` (see :func:`build_many_stations`).

    Returns the :class:`Plan` that was written.
    """
    plan = make_plan(seed=seed, stations=stations, days=days, start=start,
                     second_stations=second_stations, second_days=second_days)
    _check_instance_name("sid", sid)
    _check_instance_name("service_name", service_name)
    chosen = _check_tables(tables)
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
        _write(db, plan, chosen, sid, service_name)
        db.execute("COMMIT")
    except BaseException:
        db.close()
        os.remove(tmp)
        raise
    db.close()
    os.replace(tmp, path)
    return plan


#: The hourly and daily observation tables and the logs: what a sample with
#: hundreds of stations holds without growing large.
SMALL_TABLES = tuple(
    [t.name for t in OBSERVATION_TABLES if t.rate in ("60", "90")]
    + [name for name, _ in LOG_TABLES])


def build_many_stations(path, *, stations=600, days=3, **kwargs):
    """A sample with many stations (default 600, all but 37005 "郯城马陵山"
    and ODD_STATION named "...地震台"), holding only SMALL_TABLES: a station
    name fragment such as "地震台" then matches hundreds of stations.  Other
    arguments as for :func:`build`."""
    kwargs.setdefault("tables", SMALL_TABLES)
    kwargs.setdefault("second_stations", 1)
    kwargs.setdefault("second_days", 1)
    return build(path, stations=stations, days=days, **kwargs)


_INSTANCE_NAME_RE = re.compile(r"[A-Za-z][A-Za-z0-9_$#.\-]*\Z")


def _check_instance_name(kind, value):
    if not isinstance(value, str) or not _INSTANCE_NAME_RE.match(value):
        raise ValueError("%s must be a name of letters, digits and _ $ # . - "
                         "starting with a letter, got %r" % (kind, value))


def _check_tables(tables):
    known = [t.name for t in OBSERVATION_TABLES] + [n for n, _ in LOG_TABLES]
    if tables is None:
        return set(known)
    if isinstance(tables, str):
        raise ValueError("tables must be a list of table names, got %r"
                         % (tables,))
    chosen = set(tables)
    unknown = sorted(chosen - set(known))
    if unknown:
        raise ValueError("tables: no such observation or log table: %s"
                         % ", ".join(unknown))
    return chosen


def _observation_rows(plan, table, series):
    midnight = _dt.datetime.combine(plan.start, _dt.time(0))
    rows = []
    for s in series:
        unit = _ITEMS[s.item].unit
        for day, text in _packed_rows(plan, table, s):
            value = (gzip.compress(text.encode("utf-8"), compresslevel=1,
                                   mtime=0)
                     if table.gzip else text)
            when = _date_text(midnight + _dt.timedelta(days=day))
            rows.append((when, s.station, s.point, s.item, value, unit))
    rows.sort(key=lambda row: row[:4])
    return [(st, pt, it, when, value, unit)
            for when, st, pt, it, value, unit in rows]


def _write_observation_table(db, name, table, rows):
    columns = list(_COLUMNS_OBS)
    if table.gzip:
        columns[4] = ("OBSVALUE", "BLOB", False)
    _create(db, name, columns)
    _insert(db, name, 6, rows)
    db.execute('CREATE INDEX "%s_STARTDATE" ON "%s" ("STARTDATE")'
               % (name, name))


def backup_table_name(name):
    """The name in the SQLite file of table ``name`` of BACKUP_SCHEMA."""
    return "QZDB_%s$%s" % (BACKUP_SCHEMA, name)


def _write(db, plan, chosen, sid, service_name):
    names = dict(plan.names)
    every = plan.all_series()
    for name, columns in _COLUMNS_DICT.items():
        _create(db, name, columns)
    _insert(db, "QZ_DICT_STATIONS", 2, list(plan.names))
    points = sorted({(s.station, s.point) for s in every})
    _insert(db, "QZ_DICT_STATIONPOINTS", 3,
            [(st, pt, names[st].replace("地震台", "") + _POINT_NAME[pt])
             for st, pt in points])
    _insert(db, "QZ_DICT_ITEMS", 3,
            [(s.item, s.name, s.unit) for s in ITEMS])
    _insert(db, "QZ_DICT_METHODS", 2, list(METHODS))
    _insert(db, "QZ_DICT_STATIONITEMS", 3,
            [(s.station, s.point, s.item) for s in every])

    for table in OBSERVATION_TABLES:
        if table.name not in chosen:
            continue
        series = plan.series_of(table.method)
        if table.name == ODD_STATION_TABLE:
            series = series + plan.odd_series
        _write_observation_table(db, table.name, table,
                                 _observation_rows(plan, table, series))

    for name, method in LOG_TABLES:
        if name not in chosen:
            continue
        _create(db, name, _COLUMNS_LOG)
        _insert(db, name, 7, _log_rows(plan, name, method))

    # the second schema: copies, and the table QZDATA lacks
    for name in BACKUP_COPIES:
        if name not in chosen:
            continue
        copy = backup_table_name(name)
        columns = [(c, decl, bool(notnull)) for _, c, decl, notnull, _, _ in
                   db.execute('PRAGMA table_info("%s")' % name)]
        _create(db, copy, columns)
        db.execute('INSERT INTO "%s" SELECT * FROM "%s" ORDER BY rowid'
                   % (copy, name))
        if any(c == "STARTDATE" for c, _, _ in columns):
            db.execute('CREATE INDEX "%s_STARTDATE" ON "%s" ("STARTDATE")'
                       % (copy, copy))
    old = BACKUP_ONLY_TABLE
    if "QZ_211_DYU_01" in chosen:
        _write_observation_table(
            db, backup_table_name(old.name), old,
            _observation_rows(plan, old, plan.series_of(old.method)))

    _create(db, USERS_TABLE, _COLUMNS_USERS)
    _insert(db, USERS_TABLE, 2, [(DEFAULT_USER.upper(), DEFAULT_PASSWORD)])
    _create(db, INSTANCE_TABLE, _COLUMNS_INSTANCE)
    _insert(db, INSTANCE_TABLE, 2, [(sid, service_name)])


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
    schema: str = SCHEMA

    @property
    def role(self):
        if self.name.startswith("QZ_DICT_"):
            return "dictionary"
        if "DLG" in self.name:
            return "log"
        return "observation"

    @property
    def stored_name(self):
        """The table's name in the SQLite file."""
        if self.schema == SCHEMA:
            return self.name
        return "QZDB_%s$%s" % (self.schema, self.name)

    @property
    def qualified_name(self):
        """``name`` for QZDATA, ``SCHEMA.name`` for the other schemas."""
        if self.schema == SCHEMA:
            return self.name
        return "%s.%s" % (self.schema, self.name)


def _split_stored_name(name):
    if name.startswith("sqlite_"):
        return None
    if not name.startswith("QZDB_"):
        return SCHEMA, name
    schema, sep, table = name[len("QZDB_"):].partition("$")
    if sep and schema and table:
        return schema, table
    return None


def schemas(path):
    """The schemas of a sample file: QZDATA first, then the others in the
    order their first tables were written."""
    found = [SCHEMA]
    db = _open_ro(path)
    try:
        for (name,) in db.execute("SELECT name FROM sqlite_master WHERE "
                                  "type = 'table' ORDER BY rowid"):
            split = _split_stored_name(name)
            if split is not None and split[0] not in found:
                found.append(split[0])
    finally:
        db.close()
    return found


def read_tables(path, schema=SCHEMA):
    """The tables of one schema of a sample file (QZDATA by default; the
    stand-in's internal tables are never among them), in the order they were
    written."""
    db = _open_ro(path)
    try:
        names = [r[0] for r in db.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' "
            "ORDER BY rowid")]
        tables = []
        for stored in names:
            split = _split_stored_name(stored)
            if split is None or split[0] != schema:
                continue
            cols = tuple(Column(c, decl, bool(notnull)) for _, c, decl, notnull,
                         _, _ in db.execute('PRAGMA table_info("%s")' % stored))
            tables.append(Table(split[1], cols, schema))
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


def iter_rows(path, table, schema=SCHEMA):
    """The rows of one table (a :class:`Table`, or a name in ``schema``), in
    rowid order: DATE columns as ``datetime``, CLOB as text, BLOB as bytes."""
    if isinstance(table, str):
        found = [t for t in read_tables(path, schema) if t.name == table]
        if not found:
            raise KeyError("no table %s.%s in %s" % (schema, table, path))
        table = found[0]
    dates = [i for i, c in enumerate(table.columns) if c.kind == "DATE"]
    db = _open_ro(path)
    try:
        cur = db.execute('SELECT * FROM "%s" ORDER BY rowid'
                         % table.stored_name)
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
    """{table: number of rows} of a sample file; the tables of QZDATA by
    name, those of the other schemas as "SCHEMA.name"."""
    db = _open_ro(path)
    try:
        return {t.qualified_name: db.execute(
                    'SELECT count(*) FROM "%s"' % t.stored_name).fetchone()[0]
                for schema in schemas(path)
                for t in read_tables(path, schema)}
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
    """Copy every table of the sample file into MySQL through a PyMySQL
    connection (tables of the same name are replaced): the tables of QZDATA
    into ``database``, those of another schema (QZBAK) into the database of
    that name, created when missing.  Table and column names stay upper case
    (a server with lower_case_table_names=1 keeps them in lower case); DATE
    becomes DATETIME, CLOB LONGTEXT, BLOB LONGBLOB.  Returns {table: rows
    loaded}, keyed as :func:`row_counts`."""
    counts = {}
    with conn.cursor() as cur:
        for schema in schemas(path):
            target = database if schema == SCHEMA else schema
            if schema != SCHEMA:
                cur.execute("CREATE DATABASE IF NOT EXISTS `%s` CHARACTER SET "
                            "utf8mb4 COLLATE utf8mb4_unicode_ci" % target)
            for table in read_tables(path, schema):
                counts[table.qualified_name] = _load_table(cur, path, table,
                                                           target)
    conn.commit()
    return counts


def _load_table(cur, path, table, database):
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
    return n


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
    parser.add_argument("--sid", default=DEFAULT_SID,
                        help="SID the file declares (default %(default)s)")
    parser.add_argument("--service-name", default=DEFAULT_SERVICE_NAME,
                        help="service name the file declares (default "
                             "%(default)s)")
    parser.add_argument("--force", action="store_true",
                        help="replace an existing file")
    args = parser.parse_args(argv)
    folder = os.path.dirname(os.path.abspath(args.path))
    try:
        os.makedirs(folder, exist_ok=True)
        plan = build(args.path, seed=args.seed, stations=args.stations,
                     days=args.days, start=args.start,
                     second_stations=args.second_stations,
                     second_days=args.second_days, sid=args.sid,
                     service_name=args.service_name, overwrite=args.force)
    except (ValueError, OSError) as e:
        parser.exit(2, "error: %s\n" % e)
    counts = row_counts(args.path)
    print("%s: %d stations, %d days from %s, %d tables, %d rows"
          % (args.path, len(plan.names), plan.days, plan.start.isoformat(),
             len(counts), sum(counts.values())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
