"""Observation series too large for one machine, as Dask dataframes.

``fetching_data`` cuts the period into slices and arranges one call of
``velmora.fetching.fetching_data`` (Oracle) or ``velmora.bisource.fetching_data``
(MySQL) per slice as a task of a Dask cluster. Each worker process opens its
own connection from a section of its ``default.conf`` and keeps it for the
tasks that follow; engines and connections never travel between processes.
The result is a ``dask.dataframe.DataFrame`` indexed by ``STARTDATE`` with
known, true divisions, whose ``compute()`` equals the single call's samples
that have a time; those without one come apart when asked for.

Each worker's native kernel parses with as many threads as the cores that
worker owns allow for each of its task threads (its share of the machine over
its threads), unless ``VELMORA_NUM_THREADS`` was set in its environment.
"""
import datetime
import os
import threading
import uuid
import weakref

import numpy as np
import pandas as pd
import dask
import dask.dataframe as dd

from distributed import WorkerPlugin
from distributed.comm import get_address_host

import velmora.bisource
import velmora.fetching

__all__ = ["fetching_data"]

ALL = "全部"
_SOURCES = {"oracle": velmora.fetching, "mysql": velmora.bisource}

# Connections of this process, opened by the tasks that run in it: one engine
# per section (an engine serves every thread), one MySQL connection per section
# and thread (a PyMySQL connection serves one thread at a time), kept in the
# thread's own storage, so that it is closed when the thread ends.
_engines = {}
_engines_lock = threading.Lock()
_threads = threading.local()
_own_client = None

# The kernel's thread budget: the environment variable it reads at every call,
# and its value in this process before velmora.distributed set any.
_THREADS_SETTING = "VELMORA_NUM_THREADS"
_users_threads = os.environ.get(_THREADS_SETTING)
_this_process = uuid.uuid4().hex  # tells this process from every other, on any machine


def _meta():
    """The empty table every partition conforms to: text and times in the
    dtypes pandas reads them in (objects and nanoseconds before pandas 3, its
    str and the microseconds of the driver's datetimes from pandas 3 on)."""
    text = pd.Series(["x"]).dtype
    times = pd.Series([datetime.datetime(2009, 1, 1)]).dtype
    return pd.DataFrame({"STATIONID": pd.Series([], dtype=text), "ITEMID": pd.Series([], dtype=text),
                         "OBSVALUE": pd.Series([], dtype="float32")},
                        index=pd.DatetimeIndex([], dtype=times, name="STARTDATE"))


def _close(conn):
    """Closes a MySQL connection; one that is closed already or broken is
    done with all the same."""
    try:
        conn.close()
    except Exception:  # noqa: BLE001 - nothing more to do with it
        pass


class _Kept:
    """A thread's MySQL connection: closed when this holder goes, with the
    thread's storage when the thread ends, or when it is forgotten."""

    def __init__(self, conn):
        self.conn = conn
        weakref.finalize(self, _close, conn)


def _kept_here():
    kept = getattr(_threads, "mysql", None)
    if kept is None:
        kept = _threads.mysql = {}
    return kept


def _connection(source, section):
    if source == "oracle":
        with _engines_lock:
            conn = _engines.get(section)
        if conn is None:
            conn = velmora.fetching.conn_to_Oracle(section)
            if conn is None:
                raise RuntimeError(f"no Oracle engine from the default.conf section {section!r} on this worker")
            with _engines_lock:
                kept = _engines.setdefault(section, conn)
            if kept is not conn:  # another thread made one meanwhile
                conn.dispose()
                conn = kept
        return conn
    kept = _kept_here()
    if section not in kept:
        kept[section] = _Kept(velmora.bisource.conn_to_MySQL(section))
    return kept[section].conn


def _fetch(source, section, first_day, last_day, request):
    conn = _connection(source, section)
    try:
        result = _SOURCES[source].fetching_data(conn, first_day, last_day, *request)
    except Exception:
        _forget(source, section, conn)  # the next task opens a new connection
        raise
    if source == "mysql":
        # End the read's transaction: a kept connection would otherwise go on
        # reading the snapshot of its first read and never see new rows.
        conn.rollback()
    return result


def _forget(source, section, conn):
    """Drops a kept connection and closes it (an engine: its pooled
    connections)."""
    if source == "oracle":
        with _engines_lock:
            if _engines.get(section) is conn:
                del _engines[section]
        conn.dispose()
        return
    kept = _kept_here()
    if section in kept and kept[section].conn is conn:
        del kept[section]
    _close(conn)


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


def _timed(part):
    return part[0]


def _without_times(*parts):
    """The samples without a time of every slice, in the single call's order
    (it sorts them last, by item and station): item by item, station by
    station, slices (days) in order within them."""
    rows = pd.concat([_meta()] + [part[1] for part in parts])
    return rows.sort_values(["ITEMID", "STATIONID"], kind="stable")


def _day(value):
    """The day a date argument names, as velmora's fetch functions read it."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)) \
            and 10000101 <= value <= 99991231:
        value = str(int(value))
    return pd.Timestamp(pd.to_datetime(value)).normalize()


def _slices(startdate, enddate, partition):
    """Eight-digit first and last days of the slices, and the first day of
    each with the day after the period. A period that ends before it starts
    has no slice."""
    first, last = _day(startdate), _day(enddate)
    if last < first:
        return [], [first]
    stop = last + pd.Timedelta(days=1)
    starts = pd.date_range(first, last, freq=partition)
    if len(starts) > 1 and (starts[1] - starts[0]) < pd.Timedelta(days=1) or \
            any(t != t.normalize() for t in starts):
        raise ValueError(f"partition {partition!r}: slices are whole days, e.g. '1D', '7D' or 'MS'")
    bounds = sorted({first, stop, *(pd.Timestamp(t.to_datetime64()) for t in starts)})
    days = [(a.strftime("%Y%m%d"), (b - pd.Timedelta(days=1)).strftime("%Y%m%d")) for a, b in zip(bounds, bounds[1:])]
    return days, bounds


# ---- the kernel's threads in each worker

def _thread_budget(machine_cpus, workers_here, own_cpus, nthreads):
    """Parsing threads per kernel call for a worker with `nthreads` task
    threads that shares a machine of `machine_cpus` CPUs with the other
    `workers_here` - 1 workers on it, its own process allowed `own_cpus`:
    its share of the machine over its threads, at least 1."""
    share = min(own_cpus, machine_cpus / max(workers_here, 1))
    return max(1, int(share // max(nthreads, 1)))


def _set_thread_budget(threads):
    """Caps this process's kernel calls at `threads`, unless its environment
    held a cap of the user's own before velmora.distributed set one."""
    if _users_threads is not None or os.environ.get(_THREADS_SETTING) == str(threads):
        return
    os.environ[_THREADS_SETTING] = str(threads)


def _worker_cpus():
    return sorted(os.sched_getaffinity(0))


class _ThreadBudget(WorkerPlugin):
    """Sets the kernel's thread budget of every worker, those that join later
    included: `machines` holds, per host, the CPUs the workers there may use
    together and how many workers share them. Workers that are threads of
    the caller's own process (a LocalCluster without processes) leave its
    environment as it is."""

    name = "velmora-thread-budget"

    def __init__(self, machines):
        self.machines = dict(machines)
        self.caller = _this_process

    def setup(self, worker):
        if self.caller == _this_process:
            return
        own = len(_worker_cpus())
        cpus, workers = self.machines.get(get_address_host(worker.address), (own, 1))
        _set_thread_budget(_thread_budget(cpus, workers, own, worker.state.nthreads))


_budgets = weakref.WeakKeyDictionary()  # client -> the machines its plugin was registered with


def _share_threads(client):
    """Registers (again, where the workers changed) the plugin that sets each
    worker's thread budget."""
    cpus = client.run(_worker_cpus)
    machines = {}
    for address, mask in cpus.items():
        host = get_address_host(address)
        union, workers = machines.get(host, (set(), 0))
        machines[host] = (union | set(mask), workers + 1)
    machines = {host: (len(union), workers) for host, (union, workers) in machines.items()}
    if _budgets.get(client) != machines:
        client.register_plugin(_ThreadBudget(machines))
        _budgets[client] = machines


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
                  gzip_flag=False, pointid="", *, source="oracle", partition="1D", client=None, untimed=False):
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
    - ``untimed``: also return the samples without a time (packed rows stored
      without a value), apart.

    Returns a ``dask.dataframe.DataFrame`` indexed by ``STARTDATE`` with the
    columns ``STATIONID``, ``ITEMID``, ``OBSVALUE``: the samples that have a
    time, one partition per slice, with known divisions (each slice's first
    day, and the last moment of the period); its ``compute()`` equals the
    single call's table without the samples that have none. With ``untimed``
    true, the pair of that frame and a frame of one partition (divisions
    unknown) holding those samples, ordered as the single call orders them:
    the two concatenated are the single call's table. ``None`` (after
    printing "no table name selected!") when no table matches.
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
    _share_threads(client)

    # keys of this call only: the same request made later reads the database again
    token = dask.base.tokenize(source, section, request, uuid.uuid4().hex)
    parts = [dask.delayed(_fetch_slice)(source, section, first, last, request,
                                        dask_key_name=f"velmora-slice-{first}-{last}-{token}")
             for first, last in days]
    # Text columns stay columns of objects, as in the single call's table: Dask
    # releases for pandas 2 would otherwise convert them to pyarrow strings.
    with dask.config.set({"dataframe.convert-string": False}):
        if parts:
            timed = [dask.delayed(_timed)(part, dask_key_name=f"velmora-timed-{first}-{last}-{token}")
                     for part, (first, last) in zip(parts, days)]
            # every sample lies before the day after the period
            divisions = tuple(bounds[:-1]) + (bounds[-1] - pd.Timedelta(1, "ns"),)
            frame = dd.from_delayed(timed, meta=_meta(), divisions=divisions, verify_meta=False)
        else:  # a period that ends before it starts: nothing to read
            frame = dd.from_pandas(_meta(), npartitions=1)
        if not untimed:
            return frame
        rest = dd.from_delayed([dask.delayed(_without_times)(*parts, dask_key_name=f"velmora-untimed-{token}")],
                               meta=_meta(), verify_meta=False)
    return frame, rest
