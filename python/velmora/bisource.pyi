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

_Date = Any  # anything pandas.to_datetime reads: "20090101", a date, a datetime, ...
_Connection = Any  # an Oracle-driver (cx_Oracle or oracledb) or PyMySQL connection

def conn_to_Oracle(basetype: str, /) -> Any: ...
def conn_to_MySQL(basetype: str, /) -> Any: ...
def timeseries_info(conn: _Connection, /) -> Tuple[pd.DataFrame, pd.DataFrame, pd.DataFrame]: ...
def load_Oracle_data_daily(
    conn: _Connection, period: int, is_preprocessed: str, item: str, datatype: str, gzip_flag: bool = False
) -> Optional[pd.DataFrame]: ...
def load_Oracle_data_resistivity_year(conn: _Connection, /) -> pd.DataFrame: ...
def load_Oracle_data_water_year(conn: _Connection, /) -> pd.DataFrame: ...
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
) -> Optional[pd.DataFrame]: ...
def fetching_dialog(
    conn: _Connection,
    startdate: _Date = ...,
    enddate: _Date = ...,
    methodname: str = "全部",
    stationname: str = "全部",
    itemname: str = "全部",
    log_type: str = "313",
) -> Optional[pd.DataFrame]: ...
