"""velmora.distributed on a LocalCluster of worker processes: the same table as
the single call, for both sources, over slices of several sizes, with empty
slices, samples without a time, a worker killed mid-graph, and Parquet."""
import contextlib
import ctypes
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import threading
import time

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pandas.testing as tm
import pytest

import qzdb
import qzdb.dask_plugin
import velmora.bisource as bisource
import velmora.cleaning
import velmora.distributed as vd
import velmora.fetching as fetching
from helpers import conf_text, oracle_options, quietly

import distributed

pytestmark = [pytest.mark.filterwarnings("ignore:pandas only supports SQLAlchemy connectable:UserWarning"),
              pytest.mark.filterwarnings("ignore::DeprecationWarning"),
              pytest.mark.filterwarnings("ignore::ResourceWarning")]

ALL = "全部"
ROOT = pathlib.Path(__file__).resolve().parent.parent


class WorkIn(distributed.WorkerPlugin):
    """Workers, the first ones and those that replace them, run in the folder
    of their default.conf."""

    name = "work-in"

    def __init__(self, folder):
        self.folder = str(folder)

    def setup(self, worker):
        os.chdir(self.folder)


@pytest.fixture(scope="module")
def cluster(tmp_path_factory, qz_sample_path, qz_mariadb):
    """Two worker processes started in a folder whose default.conf has the
    sections "oracle" (the sample on the stand-in) and "mysql" (the private
    MariaDB server); the stand-in is installed in every worker."""
    folder = tmp_path_factory.mktemp("cluster")
    (folder / "default.conf").write_text(conf_text("oracle", **oracle_options(qz_sample_path))
                                         + conf_text("mysql", **qz_mariadb.conf_section()), encoding="utf-8")
    here = os.getcwd()
    os.chdir(folder)
    try:
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           dashboard_address=":0")
        client = distributed.Client(cluster)
    finally:
        os.chdir(here)
    client.register_plugin(qzdb.dask_plugin.OracleStandIn())
    client.register_plugin(WorkIn(folder))
    yield client
    client.close()
    cluster.close()


@pytest.fixture(scope="module")
def single(qz_sample_path, qz_mariadb, tmp_path_factory):
    """The single calls, in this process: source -> (module, connection)."""
    with qzdb.use_as_cx_Oracle():
        folder = tmp_path_factory.mktemp("single")
        (folder / "default.conf").write_text(conf_text("oracle", **oracle_options(qz_sample_path)),
                                             encoding="utf-8")
        here = os.getcwd()
        os.chdir(folder)
        try:
            engine = quietly(fetching.conn_to_Oracle, "oracle")[0]
        finally:
            os.chdir(here)
    mysql = qz_mariadb.connect()
    yield {"oracle": (fetching, engine), "mysql": (bisource, mysql)}
    engine.dispose()
    mysql.close()


def both(single, source, *args, partition):
    """(the Dask frame over the section named like the source, the single call's table)."""
    module, conn = single[source]
    want = quietly(module.fetching_data, conn, *args)[0]
    got = vd.fetching_data(source, *args, source=source, partition=partition)
    return got, want


@pytest.mark.parametrize("source", ["oracle", "mysql"])
@pytest.mark.parametrize("partition", ["1D", "7D", "MS"])
def test_equal_to_the_single_call_across_a_month_end(cluster, single, source, partition):
    got, want = both(single, source, "20090125", "20090205", "水位", ALL, "分钟值", "预处理库", partition=partition)
    assert got.known_divisions and got.divisions[0] == pd.Timestamp("2009-01-25")
    assert len(want) > 0
    tm.assert_frame_equal(got.compute(), want)


@pytest.mark.parametrize("source", ["oracle", "mysql"])
def test_a_station_with_missing_days(cluster, single, source):
    got, want = both(single, source, "20090101", "20090131", "水位", "郯城", "日均值", "预处理库", partition="1D")
    assert got.npartitions == 31  # one a day
    sizes = got.map_partitions(len).compute().to_numpy()  # one length per partition, in order
    assert (sizes == 0).sum() == 3
    tm.assert_frame_equal(got.compute(), want)


@contextlib.contextmanager
def rows_without_values(server, single, table, rows):
    """Packed rows of `table` whose value is NULL, on the MySQL server for the
    time of the block: (station, point, item, start) of each."""
    root = server.root_connect()
    try:
        with root.cursor() as cursor:
            cursor.executemany(f"INSERT INTO QZDATA.{table} (STATIONID, POINTID, ITEMID, STARTDATE) "
                               "VALUES (%s, %s, %s, %s)", rows)
        root.commit()
        single["mysql"][1].commit()  # a new snapshot for the single call's connection
        yield
    finally:
        with root.cursor() as cursor:
            cursor.execute(f"DELETE FROM QZDATA.{table} WHERE OBSVALUE IS NULL")
        root.commit()
        root.close()
        single["mysql"][1].commit()


def assert_true_divisions(frame):
    """Every partition's samples have a time and lie within its divisions."""
    assert frame.known_divisions
    d = frame.divisions
    for i in range(frame.npartitions):
        index = frame.partitions[i].compute().index
        assert index.notna().all(), i
        assert ((d[i] <= index) & ((index < d[i + 1]) if i + 1 < frame.npartitions else (index <= d[i + 1]))).all(), i


def test_a_sample_without_a_time_is_in_no_partition_of_a_divisioned_frame(cluster, single, qz_mariadb):
    # one packed row of the water levels stored without a value
    with rows_without_values(qz_mariadb, single, "QZ_411_DYU_01", [("37005", "h", "4112", "2009-01-02")]):
        args = ("20090101", "20090104", "水位", ALL, "分钟值", "预处理库")
        got, want = both(single, "mysql", *args, partition="1D")
        assert want.index.isna().sum() == 1
        timed = want[want.index.notna()]
        assert_true_divisions(got)
        assert got.divisions[-1] == pd.Timestamp("2009-01-05") - pd.Timedelta(1, "ns")
        tm.assert_frame_equal(got.compute(), timed)
        late = got.loc["2009-01-03":].compute()
        assert len(late) == len(timed.loc["2009-01-03":]) == 2 * 1440 * timed.groupby(["STATIONID", "ITEMID"]).ngroups
        daily = got["OBSVALUE"].resample("1D").count().compute()
        tm.assert_series_equal(daily, timed["OBSVALUE"].resample("1D").count(), check_freq=False)
        # asked for, the sample without a time comes apart: the two together are the single call
        frame, apart = vd.fetching_data("mysql", *args, source="mysql", untimed=True)
        assert frame.known_divisions and not apart.known_divisions
        tm.assert_frame_equal(pd.concat(dask.compute(frame, apart)), want)


def test_samples_without_a_time_apart_in_the_single_calls_order(cluster, single, qz_mariadb):
    """Packed rows whose value is missing, of two stations and two items in
    several slices: the single call sorts them last by item, then station,
    then day, which is neither the order of the slices nor station-then-item."""
    rows = [("37008", "2", "3211", "2009-01-01"), ("37002", "2", "3212", "2009-01-02"),
            ("37002", "2", "3211", "2009-01-07"), ("37008", "2", "3212", "2009-01-03"),
            ("37002", "2", "3211", "2009-01-04")]
    with rows_without_values(qz_mariadb, single, "QZ_321_DYU_60", rows):
        args = ("20090101", "20090108", "电阻率", ALL, "小时值", "预处理库")
        want = quietly(bisource.fetching_data, single["mysql"][1], *args)[0]
        untimed = want[want.index.isna()]
        assert list(zip(untimed["ITEMID"], untimed["STATIONID"])) == [
            ("3211", "370022"), ("3211", "370022"), ("3211", "370082"), ("3212", "370022"), ("3212", "370082")]
        frame, apart = vd.fetching_data("mysql", *args, source="mysql", partition="2D", untimed=True)
        timed, without_time = dask.compute(frame, apart)
        tm.assert_frame_equal(timed, want[want.index.notna()])
        tm.assert_frame_equal(without_time, untimed)
        tm.assert_frame_equal(pd.concat([timed, without_time]), want)
        assert_true_divisions(frame)


@pytest.mark.parametrize("source", ["oracle", "mysql"])
def test_a_period_that_ends_before_it_starts_is_empty(cluster, single, source):
    module, conn = single[source]
    assert quietly(module.fetching_data, conn, "20090105", "20090101", "水位", ALL, "分钟值", "预处理库")[0].empty
    got = vd.fetching_data(source, "20090105", "20090101", "水位", ALL, "分钟值", "预处理库", source=source)
    tm.assert_frame_equal(got.compute(), vd._meta())
    frame, apart = vd.fetching_data(source, "20090105", "20090101", "水位", ALL, "分钟值", "预处理库", source=source,
                                    untimed=True)
    for part in dask.compute(frame, apart):
        tm.assert_frame_equal(part, vd._meta())


@pytest.mark.parametrize("first,last,days", [(18991231, 18991231, ["1899-12-31"]),
                                             (18500101, np.int64(18500102), ["1850-01-01", "1850-01-02"])])
def test_integer_dates_near_the_low_end_are_those_days(cluster, first, last, days):
    got = vd.fetching_data("oracle", first, last, "水位", ALL, "日均值", "预处理库")
    assert got.divisions[:-1] == tuple(pd.Timestamp(d) for d in days)
    assert got.divisions[-1] == pd.Timestamp(days[-1]) + pd.Timedelta(days=1) - pd.Timedelta(1, "ns")
    tm.assert_frame_equal(got.compute(), vd._meta())


@pytest.mark.parametrize("source", ["oracle", "mysql"])
def test_no_table_empty_period_and_errors_as_the_single_call(cluster, single, source, capsys):
    assert vd.fetching_data(source, "20090101", "20090102", "绝对重力", ALL, "日值", "预处理库",
                            source=source) is None
    assert capsys.readouterr().out.splitlines()[-1] == "no table name selected!"
    empty = vd.fetching_data(source, "20200101", "20200110", "水位", ALL, "日值", "预处理库", source=source)
    tm.assert_frame_equal(empty.compute(), vd._meta())
    with pytest.raises(ValueError, match="unknown data_type '毫秒值'"):
        vd.fetching_data(source, "20090101", "20090102", "水位", ALL, "毫秒值", "预处理库", source=source)
    with pytest.raises(ValueError, match="whole days"):
        vd.fetching_data(source, "20090101", "20090102", "水位", ALL, "日值", "预处理库", source=source,
                         partition="6h")


def test_a_worker_killed_while_the_graph_runs(cluster, single):
    got, want = both(single, "oracle", "20090101", "20090131", ALL, ALL, "分钟值", "预处理库", partition="1D")
    pids = cluster.run(os.getpid)
    future = cluster.compute(got)
    deadline = time.monotonic() + 120
    while not any(cluster.processing().values()):
        assert time.monotonic() < deadline and not future.done()
        time.sleep(0.02)
    os.kill(next(iter(pids.values())), signal.SIGKILL)
    tm.assert_frame_equal(future.result(timeout=300), want)
    assert set(cluster.run(os.getpid).values()) != set(pids.values())  # a new worker took the killed one's place


def test_parquet_round_trip(cluster, tmp_path):
    got = vd.fetching_data("oracle", "20090101", "20090110", "形变", ALL, "分钟值", "预处理库", partition="MS")
    got.to_parquet(tmp_path / "tilt")
    # read back as written: object columns stay object columns on Dask releases for pandas 2 too
    with dask.config.set({"dataframe.convert-string": False}):
        back = dd.read_parquet(tmp_path / "tilt").compute()
    tm.assert_frame_equal(back, got.compute(), check_freq=False)


@pytest.mark.parametrize("prebuilt", [True, False], ids=["sample there", "sample built by the example"])
def test_example_runs(qz_sample_path, tmp_path, prebuilt):
    if prebuilt:
        (tmp_path / "out").mkdir()
        shutil.copy(qz_sample_path, tmp_path / "out" / "qzdata.sqlite")
    shutil.copy(ROOT / "examples" / "default.conf", tmp_path / "default.conf")
    env = {k: v for k, v in os.environ.items() if k != "QZDB_DATABASES"}
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "distributed.py")], cwd=tmp_path,
                         capture_output=True, text=True, timeout=300, env=env)
    assert run.returncode == 0, run.stderr[-3000:]
    assert "31 partitions, one a day, divisions known: True" in run.stdout and "read back equal: True" in run.stdout
    assert (tmp_path / "out" / "qzdata.sqlite").exists()



def test_without_a_client_a_local_cluster_of_processes_is_started(dirs, qz_mariadb, single):
    (dirs.work / "default.conf").write_text(conf_text("mysql", **qz_mariadb.conf_section()), encoding="utf-8")
    script = (
        "import warnings; warnings.simplefilter('ignore')\n"
        "import distributed, velmora.distributed as vd\n"
        "if __name__ == '__main__':\n"
        "    got = vd.fetching_data('mysql', '20090103', '20090105', '水位', '全部', '日值', '预处理库', source='mysql')\n"
        "    client = distributed.default_client()\n"
        "    print(type(client.cluster).__name__, client.cluster.processes, len(got.compute()))\n")
    (dirs.work / "script.py").write_text(script, encoding="utf-8")
    run = subprocess.run([sys.executable, "script.py"], cwd=dirs.work, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr[-3000:]
    module, conn = single["mysql"]
    want = quietly(module.fetching_data, conn, "20090103", "20090105", "水位", ALL, "日值", "预处理库")[0]
    assert run.stdout.splitlines()[-1] == f"LocalCluster True {len(want)}"


# ---- the kernel's threads in each worker

THREAD_COUNTER = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>

/* Threads started by the calling thread, counted as they start. */
static __thread long started_here;

typedef int (*create_fn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg) {
  static create_fn real;
  if (!real) real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
  int rc = real(thread, attr, start, arg);
  if (rc == 0) ++started_here;
  return rc;
}

long threads_started_here(void) { return started_here; }
"""


@pytest.fixture(scope="module")
def thread_counter(tmp_path_factory):
    """A library that, preloaded, counts the threads each thread starts."""
    # a tool of the test's own: the wheel environments run with no compiler on
    # PATH, which the system's compiler does not change
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("cc", path="/usr/bin")
    if compiler is None:
        pytest.skip("no C compiler for the thread counter")
    folder = tmp_path_factory.mktemp("thread-counter")
    (folder / "counter.c").write_text(THREAD_COUNTER)
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(folder / "counter.so"), str(folder / "counter.c"),
                    "-ldl"], check=True)
    return str(folder / "counter.so")


@contextlib.contextmanager
def counting_cluster(thread_counter, folder, **environment):
    """A LocalCluster of 2 worker processes with 2 threads each, the counter
    preloaded in them and `environment` set in theirs."""
    preload = ":".join(p for p in (os.environ.get("LD_PRELOAD"), thread_counter) if p)
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("LD_PRELOAD", preload)  # spawned worker processes start with it
        for name, value in environment.items():
            patch.setenv(name, value)
        if "VELMORA_NUM_THREADS" not in environment:
            patch.delenv("VELMORA_NUM_THREADS", raising=False)
        patch.chdir(folder)
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=True, dashboard_address=":0")
    client = distributed.Client(cluster)
    try:
        client.register_plugin(qzdb.dask_plugin.OracleStandIn())
        client.register_plugin(WorkIn(folder))
        yield client
    finally:
        client.close()
        cluster.close()


def one_kernel_call():
    """(threads this call of split_lines started, the kernel's cap) in a
    worker: 400,000 samples, enough for threads."""
    started = ctypes.CDLL(None).threads_started_here
    started.restype = ctypes.c_long
    df = pd.DataFrame({"startdate": pd.date_range("2009-01-01", periods=8, freq="D"),
                       "obsvalue": [" ".join(["1.25"] * 50_000)] * 8})
    before = started()
    velmora.cleaning.split_lines(df, 1)
    return started() - before, os.environ.get("VELMORA_NUM_THREADS")


def calls_in_every_worker_thread(client):
    # as many calls at once as the cluster has threads, and more
    futures = client.map(lambda _: one_kernel_call(), range(8), pure=False)
    return client.gather(futures)


def test_each_worker_parses_on_its_share_of_the_cores(thread_counter, qz_sample_path, tmp_path):
    (tmp_path / "default.conf").write_text(conf_text("oracle", **oracle_options(qz_sample_path)), encoding="utf-8")
    with counting_cluster(thread_counter, tmp_path) as client:
        cpus = client.run(lambda: len(os.sched_getaffinity(0)))
        # all workers of the LocalCluster are on this machine and share its CPUs
        budget = max(1, len(os.sched_getaffinity(0)) // 2 // 2)
        got = vd.fetching_data("oracle", "20090101", "20090101", "水位", ALL, "分钟值", "预处理库", client=client)
        assert len(got.compute()) > 0
        calls = calls_in_every_worker_thread(client)
        assert all(cap == str(budget) for _, cap in calls), calls
        assert all(started <= budget - 1 for started, _ in calls), calls
        assert min(cpus.values()) >= budget


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="one CPU: the kernel runs alone")
def test_a_users_own_thread_cap_wins(thread_counter, qz_sample_path, tmp_path):
    (tmp_path / "default.conf").write_text(conf_text("oracle", **oracle_options(qz_sample_path)), encoding="utf-8")
    with counting_cluster(thread_counter, tmp_path, VELMORA_NUM_THREADS="2") as client:
        vd.fetching_data("oracle", "20090101", "20090101", "水位", ALL, "分钟值", "预处理库", client=client).compute()
        calls = calls_in_every_worker_thread(client)
    assert all(cap == "2" for _, cap in calls), calls
    assert all(started <= 1 for started, _ in calls) and any(started == 1 for started, _ in calls), calls


def test_workers_in_the_callers_own_process_leave_its_environment(monkeypatch):
    monkeypatch.delenv("VELMORA_NUM_THREADS", raising=False)
    monkeypatch.setattr(vd, "_users_threads", None)  # no cap of the user's: only the process guard holds
    worker = type("Worker", (), {"address": "tcp://127.0.0.1:1", "state": type("State", (), {"nthreads": 1})()})()
    vd._ThreadBudget({"127.0.0.1": (64, 1)}).setup(worker)  # a LocalCluster without processes
    assert "VELMORA_NUM_THREADS" not in os.environ


@pytest.mark.parametrize("machine,workers,own,nthreads,budget", [
    (16, 4, 16, 4, 1), (16, 2, 16, 2, 4), (16, 4, 4, 1, 4), (2, 2, 2, 2, 1), (64, 1, 8, 2, 4), (1, 3, 1, 1, 1)])
def test_the_share_of_a_worker(machine, workers, own, nthreads, budget):
    assert vd._thread_budget(machine, workers, own, nthreads) == budget


# ---- connections kept by the workers

def threads_connected(server):
    root = server.root_connect()
    try:
        with root.cursor() as cursor:
            cursor.execute("SHOW GLOBAL STATUS LIKE 'Threads_connected'")
            return int(cursor.fetchone()[1])
    finally:
        root.close()


def connected_settles_at(server, count, seconds=20):
    """Whether the server's count of connections comes to `count` (a
    connection closed by its client leaves the server a moment later)."""
    deadline = time.monotonic() + seconds
    while threads_connected(server) != count:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


REQUEST = ("水位", ALL, "日值", "预处理库", ALL, False, True, "")


def test_a_thread_that_ends_closes_its_mysql_connection(dirs, qz_mariadb):
    (dirs.work / "default.conf").write_text(conf_text("mysql", **qz_mariadb.conf_section()), encoding="utf-8")
    before = threads_connected(qz_mariadb)
    reads = []
    worker = threading.Thread(target=lambda: reads.append(quietly(vd._fetch, "mysql", "mysql", "20090103",
                                                                  "20090103", REQUEST)[0]))
    worker.start()
    worker.join()
    assert len(reads) == 1 and len(reads[0]) > 0
    assert connected_settles_at(qz_mariadb, before)


def test_a_forgotten_connection_is_closed(dirs, qz_mariadb, qz_sample_path):
    (dirs.work / "default.conf").write_text(conf_text("mysql", **qz_mariadb.conf_section())
                                            + conf_text("oracle", **oracle_options(qz_sample_path)), encoding="utf-8")
    before = threads_connected(qz_mariadb)
    assert len(quietly(vd._fetch, "mysql", "mysql", "20090103", "20090103", REQUEST)[0]) > 0
    assert connected_settles_at(qz_mariadb, before + 1)  # kept for the next task
    with pytest.raises(ValueError, match="unknown data_type") as failed:  # the task fails: the connection is dropped
        quietly(vd._fetch, "mysql", "mysql", "20090103", "20090103", ("水位", ALL, "毫秒值") + REQUEST[3:])
    assert connected_settles_at(qz_mariadb, before)
    assert failed.value is not None  # the error and its frames are still held: closing did not wait for them

    with qzdb.use_as_cx_Oracle():
        quietly(vd._fetch, "oracle", "oracle", "20090103", "20090103", REQUEST)
        engine = vd._connection("oracle", "oracle")
        assert engine.pool.checkedin() == 1
        with pytest.raises(ValueError, match="unknown data_type"):
            quietly(vd._fetch, "oracle", "oracle", "20090103", "20090103", ("水位", ALL, "毫秒值") + REQUEST[3:])
        assert engine.pool.checkedin() == 0  # its connections closed
        assert vd._connection("oracle", "oracle") is not engine
