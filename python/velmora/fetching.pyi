"""Observation series, dictionaries and event logs of the QZDATA schema on an
Oracle server, through a SQLAlchemy engine."""
import configparser
import datetime as dt
import gzip
import os
import sys
from typing import Any, List, Optional, Tuple, Union

import numpy as np
import pandas as pd
from sqlalchemy import create_engine
from sqlalchemy.engine import Engine

from . import cleaning as tsc

# anything pandas.to_datetime reads ("20090101", a date, a datetime, ...), or an eight-digit
# integer such as 20090101
_Date = Union[str, int, np.integer, dt.date, np.datetime64, pd.Timestamp]

def conn_to_Oracle(db: str, /) -> Optional[Engine]:
    """Connect to Oracle database.

    >>> engine = conn_to_Oracle("production")   # a section of default.conf
    10.0.0.12 connected...
    """
def timeseries_info(conn: Engine, /) -> Tuple[pd.DataFrame, pd.DataFrame, pd.DataFrame]:
    """The dictionaries: (stations, measuring points, items) with upper-case labels.

    >>> stations, points, items = timeseries_info(conn)
    """
def load_Oracle_data_daily(
    conn: Engine, period: Union[int, float], is_preprocessed: str, item: str, datatype: str, gzip_flag: bool = False
) -> Optional[pd.DataFrame]:
    """``fetching_data`` for the last ``period`` days up to today: method or
    discipline ``item``, all stations, rate ``datatype``, data base
    ``is_preprocessed``.

    >>> week = load_Oracle_data_daily(conn, 7, "预处理库", "水位", "分钟值")
    """
def load_Oracle_data_resistivity_year(conn: Engine, date_0: _Date = "20090101") -> pd.DataFrame:
    """Hourly preprocessed DC resistivity of all stations from ``date_0`` to
    today; values below 8 of items 3211 and 3212 at "370082" set to NaN.

    >>> resistivity = load_Oracle_data_resistivity_year(conn, "20200101")
    """
def load_Oracle_data_water_year(conn: Engine, /) -> pd.DataFrame:
    """Daily preprocessed water level at 郯城 from 2009-01-01 to today, float32,
    on a gap-free daily calendar (a missing day takes the next day's values).

    >>> water = load_Oracle_data_water_year(conn)
    """
def fetching_data(
    conn: Engine,
    startdate: _Date,
    enddate: _Date,
    methodname: str,
    stationname: str,
    data_type: str,
    base_type: str,
    itemname: Union[str, List[str]] = "全部",
    gzip_flag: bool = False,
    my_split_lines: bool = True,
    pointid: str = "",
) -> Optional[pd.DataFrame]:
    """The observation series of every matching table, one row per sample
    indexed by ``STARTDATE`` (columns ``STATIONID``, ``ITEMID``, ``OBSVALUE``);
    ``None`` when no table matches. Several series come interleaved by time:
    group by ``STATIONID`` and ``ITEMID`` before cleaning or plotting.
    Dates: anything ``pandas.to_datetime`` reads, or an eight-digit integer.

    >>> df = fetching_data(conn, "20090101", 20090131, "形变", "郯城", "分钟值", "预处理库")
    >>> for (station, item), series in df.groupby(["STATIONID", "ITEMID"]): ...
    """
def fetching_dialog(
    conn: Engine,
    startdate: _Date = ...,
    enddate: _Date = ...,
    methodname: str = "全部",
    stationname: str = "全部",
    itemname: str = "全部",
    log_type: str = "313",
) -> Optional[pd.DataFrame]:
    """Event-log rows of the period whose ``EVTID`` is ``log_type``; ``None``
    when no log table is found. Omitted dates: yesterday and today.

    >>> power_cuts = fetching_dialog(conn, "20090101", "20090131", stationname="莒县")
    """
def fetching_dialog_sd() -> None:
    """Returns None.

    >>> fetching_dialog_sd() is None
    True
    """
