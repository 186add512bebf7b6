"""Observation series too large for one machine, as Dask dataframes.

``fetching_data`` cuts the period into slices and arranges one call of
``velmora.fetching.fetching_data`` (Oracle) or ``velmora.bisource.fetching_data``
(MySQL) per slice as a task of a Dask cluster. Each worker process opens its
own connection from a section of its ``default.conf`` and keeps it for the
tasks that follow; engines and connections never travel between processes.
The result is a ``dask.dataframe.DataFrame`` indexed by ``STARTDATE`` with
known divisions, whose ``compute()`` equals the single call's table.
"""
import datetime
import threading
import uuid

import numpy as np
import pandas as pd
import dask
import dask.dataframe as dd

import velmora.bisource
import velmora.fetching

__all__ = ["fetching_data"]

ALL = "全部"
_SOURCES = {"oracle": velmora.fetching, "mysql": velmora.bisource}

# Connections of this process, opened by the tasks that run in it: one engine
# per section (an engine serves every thread), one MySQL connection per section
# and thread (a PyMySQL connection serves one thread at a time).
_connections = {}
_connections_lock = threading.Lock()
_own_client = None


def _meta():
    """The empty table every partition conforms to: text and times in the
    dtypes pandas reads them in (objects and nanoseconds before pandas 3, its
    str and the microseconds of the driver's datetimes from pandas 3 on)."""
    text = pd.Series(["x"]).dtype
    times = pd.Series([datetime.datetime(2009, 1, 1)]).dtype
    return pd.DataFrame({"STATIONID": pd.Series([], dtype=text), "ITEMID": pd.Series([], dtype=text),
                         "OBSVALUE": pd.Series([], dtype="float32")},
                        index=pd.DatetimeIndex([], dtype=times, name="STARTDATE"))


def _connection(source, section):
    key = (source, section) + ((threading.get_ident(),) if source == "mysql" else ())
    with _connections_lock:
        conn = _connections.get(key)
    if conn is None:
        if source == "oracle":
            conn = velmora.fetching.conn_to_Oracle(section)
            if conn is None:
                raise RuntimeError(f"no Oracle engine from the default.conf section {section!r} on this worker")
        else:
            conn = velmora.bisource.conn_to_MySQL(section)
        with _connections_lock:
            conn = _connections.setdefault(key, conn)
    return conn


def _fetch(source, section, first_day, last_day, request):
    conn = _connection(source, section)
    try:
        result = _SOURCES[source].fetching_data(conn, first_day, last_day, *request)
    except Exception:
        _forget(conn)  # the next task opens a new connection
        raise
    if source == "mysql":
        # End the read's transaction: a kept connection would otherwise go on
        # reading the snapshot of its first read and never see new rows.
        conn.rollback()
    return result


def _forget(conn):
    with _connections_lock:
        for key in [k for k, v in _connections.items() if v is conn]:
            del _connections[key]


def _probe(source, section, first_day, last_day, request):
    """The single call on an empty period (from the day after the last day back
    to the last day): None when no table matches, and the call's own errors,
    before any slice is read."""
    result = _fetch(source, section, first_day, last_day, request)
    return None if result is None else "tables"


def _fetch_slice(source, section, first_day, last_day, request):
    """(samples with a time, samples without one) of one slice of the period."""
    df = _fetch(source, section, first_day, last_day, request)
    if df is None or df.empty or not isinstance(df.index, pd.DatetimeIndex):
        return _meta(), _meta()
    # no copies where none is needed: a worker holds one slice at a time
    if list(df.columns) != ["STATIONID", "ITEMID", "OBSVALUE"]:
        df = df[["STATIONID", "ITEMID", "OBSVALUE"]]
    timed = df.index.notna()
    if timed.all():
        return df, _meta()
    return df[timed], df[~timed]


def _without_times(*parts):
    """The samples without a time of every slice, last as in the single call:
    ordered by item and station, slices (days) in order within them."""
    rows = pd.concat([_meta()] + list(parts))
    return rows.sort_values(["ITEMID", "STATIONID"], kind="stable")


def _day(value):
    """The day a date argument names, as velmora's fetch functions read it."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)) \
            and 10000101 <= value <= 99991231:
        value = str(int(value))
    return pd.Timestamp(pd.to_datetime(value)).normalize()


def _slices(startdate, enddate, partition):
    """Eight-digit first and last days of the slices, and their boundaries."""
    first, last = _day(startdate), _day(enddate)
    if last < first:
        return [], [first, first]
    stop = last + pd.Timedelta(days=1)
    starts = pd.date_range(first, last, freq=partition)
    if len(starts) > 1 and (starts[1] - starts[0]) < pd.Timedelta(days=1) or \
            any(t != t.normalize() for t in starts):
        raise ValueError(f"partition {partition!r}: slices are whole days, e.g. '1D', '7D' or 'MS'")
    bounds = sorted({first, stop, *(pd.Timestamp(t.to_datetime64()) for t in starts)})
    days = [(a.strftime("%Y%m%d"), (b - pd.Timedelta(days=1)).strftime("%Y%m%d")) for a, b in zip(bounds, bounds[1:])]
    return days, bounds


def _client(client):
    global _own_client
    if client is not None:
        return client
    from distributed import Client, LocalCluster, default_client

    try:
        return default_client()
    except ValueError:
        pass
    if _own_client is None or _own_client.status != "running":
        _own_client = Client(LocalCluster(processes=True))
    return _own_client


def fetching_data(section, startdate, enddate, methodname, stationname, data_type, base_type, itemname=ALL,
                  gzip_flag=False, pointid="", *, source="oracle", partition="1D", client=None):
    """``fetching_data`` of velmora over a Dask cluster, one task per slice of
    the period.

    - ``section``: the section of ``default.conf`` (in each worker's working
      directory) that the workers connect with.
    - ``source``: "oracle" (velmora.fetching, Oracle statements) or "mysql"
      (velmora.bisource, MySQL statements).
    - ``partition``: a pandas frequency of whole days ("1D", "7D", "MS"): the
      slices. A day of second values of one station is a few tens of MB.
    - ``client``: a ``distributed.Client``; by default the current one, else a
      ``LocalCluster`` of worker processes started for this process.

    Returns a ``dask.dataframe.DataFrame`` indexed by ``STARTDATE`` (known
    divisions: the slices' first days) with the columns ``STATIONID``,
    ``ITEMID``, ``OBSVALUE``, whose ``compute()`` equals the single call's
    result; samples without a time come in a last partition of their own.
    ``None`` (after printing "no table name selected!") when no table matches.
    """
    if source not in _SOURCES:
        raise ValueError(f"unknown source {source!r}: expected 'oracle' or 'mysql'")
    request = (methodname, stationname, data_type, base_type, itemname, gzip_flag, True, pointid)
    days, bounds = _slices(startdate, enddate, partition)
    client = _client(client)
    after = (bounds[-1]).strftime("%Y%m%d")
    before = (bounds[-1] - pd.Timedelta(days=1)).strftime("%Y%m%d")
    if client.submit(_probe, source, section, after, before, request, pure=False).result() is None:
        print("no table name selected!")
        return None

    # keys of this call only: the same request made later reads the database again
    token = dask.base.tokenize(source, section, request, uuid.uuid4().hex)
    fetch = dask.delayed(_fetch_slice, nout=2)
    parts = [fetch(source, section, first, last, request, dask_key_name=f"velmora-slice-{first}-{last}-{token}")
             for first, last in days]
    timed = [part[0] for part in parts]
    untimed = dask.delayed(_without_times)(*[part[1] for part in parts], dask_key_name=f"velmora-untimed-{token}")
    divisions = tuple(bounds) + (bounds[-1],)
    # Text columns stay columns of objects, as in the single call's table: Dask
    # releases for pandas 2 would otherwise convert them to pyarrow strings.
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_delayed(timed + [untimed], meta=_meta(), divisions=divisions, verify_meta=False)
