"""velmora.distributed on a LocalCluster of worker processes: the same table as
the single call, for both sources, over slices of several sizes, with empty
slices, samples without a time, a worker killed mid-graph, and Parquet."""
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

import dask
import dask.dataframe as dd
import pandas as pd
import pandas.testing as tm
import pytest

import qzdb
import qzdb.dask_plugin
import velmora.bisource as bisource
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
    assert got.npartitions == 32  # 31 days, then the samples without a time
    sizes = got.map_partitions(len).compute().to_numpy()  # one length per partition, in order
    assert (sizes[:31] == 0).sum() == 3 and sizes[31] == 0
    tm.assert_frame_equal(got.compute(), want)


def test_samples_without_a_time_come_last(cluster, single, qz_mariadb):
    """Packed rows whose value is missing give samples without a time, which
    the single call sorts last by item and station."""
    rows = [("37008", "2", "3211", "2009-01-03"), ("37008", "2", "3212", "2009-01-02"),
            ("37008", "2", "3211", "2009-01-07")]
    root = qz_mariadb.root_connect()
    try:
        with root.cursor() as cursor:
            cursor.executemany("INSERT INTO QZDATA.QZ_321_DYU_60 (STATIONID, POINTID, ITEMID, STARTDATE) "
                               "VALUES (%s, %s, %s, %s)", rows)
        root.commit()
        single["mysql"][1].commit()  # a new snapshot for the single call's connection
        got, want = both(single, "mysql", "20090101", "20090108", "电阻率", "嘉祥", "小时值", "预处理库",
                         partition="2D")
        assert want.index.isna().sum() == 3 and want.index[-3:].isna().all()
        tm.assert_frame_equal(got.compute(), want)
        assert len(got.partitions[got.npartitions - 1].compute()) == 3
    finally:
        with root.cursor() as cursor:
            cursor.execute("DELETE FROM QZDATA.QZ_321_DYU_60 WHERE OBSVALUE IS NULL")
        root.commit()
        root.close()


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


def test_example_runs(qz_sample_path, tmp_path):
    (tmp_path / "out").mkdir()
    shutil.copy(qz_sample_path, tmp_path / "out" / "qzdata.sqlite")
    shutil.copy(ROOT / "examples" / "default.conf", tmp_path / "default.conf")
    env = {k: v for k, v in os.environ.items() if k != "QZDB_DATABASES"}
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "distributed.py")], cwd=tmp_path,
                         capture_output=True, text=True, timeout=300, env=env)
    assert run.returncode == 0, run.stderr[-3000:]
    assert "32 partitions" in run.stdout and "read back equal: True" in run.stdout



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
