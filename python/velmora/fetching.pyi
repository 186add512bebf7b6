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

_Date = Any  # anything pandas.to_datetime reads: "20090101", a date, a datetime, ...

def conn_to_Oracle(db: str, /) -> Optional[Engine]:
    """Connect to Oracle database."""
def timeseries_info(conn: Engine, /) -> Tuple[pd.DataFrame, pd.DataFrame, pd.DataFrame]: ...
def load_Oracle_data_daily(
    conn: Engine, period: int, is_preprocessed: str, item: str, datatype: str, gzip_flag: bool = False
) -> Optional[pd.DataFrame]: ...
def load_Oracle_data_resistivity_year(conn: Engine, date_0: str = "20090101") -> pd.DataFrame: ...
def load_Oracle_data_water_year(conn: Engine, /) -> pd.DataFrame: ...
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
) -> Optional[pd.DataFrame]: ...
def fetching_dialog(
    conn: Engine,
    startdate: _Date = ...,
    enddate: _Date = ...,
    methodname: str = "全部",
    stationname: str = "全部",
    itemname: str = "全部",
    log_type: str = "313",
) -> Optional[pd.DataFrame]: ...
def fetching_dialog_sd() -> None: ...
