"""The fetch functions over direct Oracle-driver and PyMySQL connections;
observations are read with MySQL statements, event logs with Oracle ones."""
import configparser
import datetime as dt
import gzip
import sys
from typing import Any, List, Optional, Tuple, Union

import oracledb as orcl  # cx_Oracle instead wherever it can be imported
import numpy as np
import pandas as pd
import pymysql

from . import cleaning as tsc

# anything pandas.to_datetime reads ("20090101", a date, a datetime, ...), or an eight-digit
# integer such as 20090101
_Date = Union[str, int, np.integer, dt.date, np.datetime64, pd.Timestamp]
_Connection = Any  # an Oracle-driver (cx_Oracle or oracledb) or PyMySQL connection

def conn_to_Oracle(basetype: str, /) -> Any:
    """A connection of the Oracle driver (cx_Oracle, else oracledb) from the
    section ``basetype`` of ./default.conf (SID or SERVICE_NAME; thick mode
    with ORACLE_CLIENT). CLOB and NCLOB columns arrive as str, BLOB as bytes.

    >>> oracle = conn_to_Oracle("production")
    10.0.0.12 connected...
    """
def conn_to_MySQL(basetype: str, /) -> pymysql.connections.Connection:
    """A PyMySQL connection from the section ``basetype`` of ./default.conf
    (read without interpolation), with autocommit on: each read sees the rows
    committed before it.

    >>> mysql = conn_to_MySQL("mysql")
    """
def timeseries_info(conn: _Connection, /) -> Tuple[pd.DataFrame, pd.DataFrame, pd.DataFrame]:
    """The dictionaries: (stations, measuring points, items), labels as the driver gives them.

    >>> stations, points, items = timeseries_info(mysql)
    """
def load_Oracle_data_daily(
    conn: _Connection, period: Union[int, float], is_preprocessed: str, item: str, datatype: str, gzip_flag: bool = False
) -> Optional[pd.DataFrame]:
    """``fetching_data`` for the last ``period`` days up to today: method or
    discipline ``item``, all stations, rate ``datatype``, data base
    ``is_preprocessed`` (MySQL statements).

    >>> week = load_Oracle_data_daily(mysql, 7, "预处理库", "水位", "分钟值")
    """
def load_Oracle_data_resistivity_year(conn: _Connection, /) -> pd.DataFrame:
    """Hourly preprocessed DC resistivity of all stations from 2009-01-01 to
    today; values below 8 of items 3211 and 3212 at "370082" set to NaN.

    >>> resistivity = load_Oracle_data_resistivity_year(mysql)
    """
def load_Oracle_data_water_year(conn: _Connection, /) -> pd.DataFrame:
    """Daily preprocessed water level at 郯城 from 2009-01-01 to today, float32,
    on a gap-free daily calendar (a missing day takes the next day's values).

    >>> water = load_Oracle_data_water_year(mysql)
    """
def fetching_data(
    conn: _Connection,
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
    """The observation series of every matching table through a MySQL
    connection, one row per sample indexed by ``STARTDATE`` (columns
    ``STATIONID``, ``ITEMID``, ``OBSVALUE``); ``None`` when no table matches.
    Several series come interleaved by time: group by ``STATIONID`` and
    ``ITEMID`` before cleaning or plotting. With ``gzip_flag`` values that
    arrive as bytes are decompressed when gzip-compressed, else decoded as
    UTF-8 text.

    >>> df = fetching_data(mysql, "20090101", 20090131, "形变", "郯城", "分钟值", "预处理库")
    """
def fetching_dialog(
    conn: _Connection,
    startdate: _Date = ...,
    enddate: _Date = ...,
    methodname: str = "全部",
    stationname: str = "全部",
    itemname: str = "全部",
    log_type: str = "313",
) -> Optional[pd.DataFrame]:
    """Event-log rows of the period whose ``EVTID`` is ``log_type``, through an
    Oracle connection (Oracle statements); ``None`` when no log table is found.

    >>> power_cuts = fetching_dialog(oracle, "20090101", "20090131", stationname="莒县")
    """
