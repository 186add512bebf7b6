"""Injection attempts, database faults and concurrent use, against the Oracle
stand-in and the private MariaDB server."""
import contextlib
import concurrent.futures
import shutil
import sqlite3

import pandas as pd
import pymysql
import pandas.testing as tm
import pytest

import qzdb.mariadb
import velmora.bisource as bisource
import velmora.fetching as fetching
from helpers import SECTION, ReadSqlRecorder, conf_text, oracle_options, quietly
from velmora import cleaning

pytestmark = pytest.mark.filterwarnings("ignore:pandas only supports SQLAlchemy connectable:UserWarning")

DAY = ("20090103", "20090103")
PAYLOADS = [
    "x' OR '1'='1",
    "x') OR ('1'='1",
    "x'; DROP TABLE QZ_DICT_ITEMS; --",
    "x' -- ",
    "x' /* */ OR 1=1 /*",
    "x\\' OR 1=1 #",
    "x' UNION SELECT * FROM OTHER.SECRET -- ",
    "全部' UNION ALL SELECT TABLE_NAME FROM ALL_TABLES --",
]


@pytest.fixture
def secret_schema(mysql_server):
    """Another database the reading user may read, with a row that no fetch may return."""
    root = mysql_server.root_connect()
    with root.cursor() as cursor:
        cursor.execute("CREATE DATABASE IF NOT EXISTS OTHER")
        cursor.execute("CREATE TABLE IF NOT EXISTS OTHER.SECRET (STATIONID TEXT, POINTID TEXT, ITEMID TEXT, "
                       "STARTDATE DATETIME, OBSVALUE TEXT, UNIT TEXT)")
        cursor.execute("INSERT INTO OTHER.SECRET VALUES ('99999','x','4112','2009-01-03','7.5','m')")
        cursor.execute(f"GRANT SELECT ON OTHER.* TO '{mysql_server.user}'@'%'")
    root.commit()
    yield
    with root.cursor() as cursor:
        cursor.execute("DROP DATABASE OTHER")
    root.close()


def both_fetches(engine, mysql):
    return [(fetching, engine), (bisource, mysql)]


@pytest.mark.usefixtures("secret_schema")
class TestInjection:
    @pytest.mark.parametrize("payload", PAYLOADS)
    def test_names_are_bound_not_written_in(self, engine, mysql, payload):
        for module, conn in both_fetches(engine, mysql):
            assert quietly(module.fetching_data, conn, *DAY, payload, "全部", "日值", "预处理库")[0] is None
            for keyword in ("stationname", "itemname"):
                args = {"stationname": "全部", keyword: payload}
                with pytest.warns(UserWarning, match=f"^{keyword} .* matches no name in QZ_DICT_"):
                    result = quietly(module.fetching_data, conn, *DAY, "水位", args.pop("stationname"), "日值",
                                     "预处理库", **args)[0]
                assert result.empty

    @pytest.mark.parametrize("payload", PAYLOADS)
    def test_codes_and_item_lists_are_quoted(self, engine, mysql, payload):
        for module, conn in both_fetches(engine, mysql):
            items = [payload, "静水位"]
            result = quietly(module.fetching_data, conn, *DAY, "水位", "郯城", "日值", "预处理库", itemname=items)[0]
            assert set(result["ITEMID"]) == {"4112"} and items == [payload, "静水位"]
            assert quietly(module.fetching_data, conn, *DAY, "水位", "全部", "日值", "预处理库", pointid=payload)[0].empty

    @pytest.mark.parametrize("payload", PAYLOADS[:3])
    def test_log_names_are_bound(self, engine, payload):
        with pytest.warns(UserWarning, match="^stationname .* matches no name in QZ_DICT_STATIONS"):
            assert quietly(fetching.fetching_dialog, engine, "20090101", "20090131", "水位", payload)[0].empty

    def test_codes_read_from_the_dictionary_are_quoted(self, dirs, qz_sample_path, qz_cx_oracle):
        tampered = dirs.work / "tampered.sqlite"
        shutil.copy(qz_sample_path, tampered)
        with contextlib.closing(sqlite3.connect(tampered)) as db, db:
            db.execute("INSERT INTO QZ_DICT_STATIONS VALUES ('1 OR 1=1', '注入台')")
            db.execute("INSERT INTO QZ_DICT_ITEMS VALUES ('x'' OR ''1''=''1', '注入测项', 'm')")
        (dirs.work / "default.conf").write_text(conf_text(**oracle_options(tampered)), encoding="utf-8")
        engine = quietly(fetching.conn_to_Oracle, SECTION)[0]
        for keyword in ({"stationname": "注入台"}, {"itemname": "注入测项"}):
            args = {"stationname": "全部", **keyword}
            result = quietly(fetching.fetching_data, engine, *DAY, "水位", args.pop("stationname"), "日值",
                             "预处理库", **args)[0]
            assert result.empty
        engine.dispose()


class ReadHook(ReadSqlRecorder):
    """Runs `hook` just before the final observation read."""

    def __init__(self, hook):
        super().__init__()
        self.hook = hook

    def read_sql(self, *args, **kwargs):
        if args[0].startswith("SELECT * FROM QZDATA."):
            self.hook()
        return super().read_sql(*args, **kwargs)


class TestDatabaseFaults:
    def test_mariadb_stopped_during_a_fetch(self, dirs, qz_sample_path, qz_mariadb, monkeypatch, capsys):
        server = qzdb.mariadb.MariaDBServer()
        server.start()
        try:
            server.load_sample(qz_sample_path)
            (dirs.work / "default.conf").write_text(conf_text(**server.conf_section()), encoding="utf-8")
            conn = bisource.conn_to_MySQL(SECTION)
            monkeypatch.setattr(bisource, "pd", ReadHook(server.stop))
            with pytest.raises(Exception) as raised:
                bisource.fetching_data(conn, *DAY, "水位", "全部", "日值", "预处理库")
            assert "Lost connection" in repr(raised.value.__cause__ or raised.value) or not server.running
            assert "data fetched..." not in capsys.readouterr().out
        finally:
            server.stop()
        monkeypatch.setattr(bisource, "pd", pd)
        (dirs.work / "default.conf").write_text(conf_text(**qz_mariadb.conf_section()), encoding="utf-8")
        conn = bisource.conn_to_MySQL(SECTION)  # the interpreter goes on
        assert len(quietly(bisource.fetching_data, conn, *DAY, "水位", "全部", "日值", "预处理库")[0]) > 0
        conn.close()

    def test_table_dropped_after_discovery_on_oracle(self, dirs, qz_sample_path, qz_cx_oracle, monkeypatch, capsys):
        copy = dirs.work / "copy.sqlite"
        shutil.copy(qz_sample_path, copy)
        (dirs.work / "default.conf").write_text(conf_text(**oracle_options(copy)), encoding="utf-8")
        engine = quietly(fetching.conn_to_Oracle, SECTION)[0]

        def drop():
            with contextlib.closing(sqlite3.connect(copy)) as db, db:
                db.execute("DROP TABLE QZ_411_DYU_90")

        monkeypatch.setattr(fetching, "pd", ReadHook(drop))
        with pytest.raises(Exception, match="ORA-00942"):
            fetching.fetching_data(engine, *DAY, "水位", "全部", "日值", "预处理库")
        assert "data fetched..." not in capsys.readouterr().out
        monkeypatch.setattr(fetching, "pd", pd)
        assert len(quietly(fetching.fetching_data, engine, *DAY, "水温", "全部", "日值", "预处理库")[0]) > 0
        engine.dispose()

    def test_table_dropped_after_discovery_on_mariadb(self, dirs, qz_sample_path, monkeypatch, capsys):
        server = qzdb.mariadb.MariaDBServer()
        server.start()
        try:
            server.load_sample(qz_sample_path)
            (dirs.work / "default.conf").write_text(conf_text(**server.conf_section()), encoding="utf-8")
            conn = bisource.conn_to_MySQL(SECTION)

            def drop():
                root = server.root_connect()
                with root.cursor() as cursor:
                    cursor.execute("DROP TABLE QZDATA.QZ_411_DYU_90")
                root.close()

            monkeypatch.setattr(bisource, "pd", ReadHook(drop))
            with pytest.raises(Exception, match="doesn't exist"):
                bisource.fetching_data(conn, *DAY, "水位", "全部", "日值", "预处理库")
            assert "data fetched..." not in capsys.readouterr().out
            monkeypatch.setattr(bisource, "pd", pd)
            assert len(quietly(bisource.fetching_data, conn, *DAY, "水温", "全部", "日值", "预处理库")[0]) > 0
            conn.close()
        finally:
            server.stop()

    def test_connections_closed_by_the_caller(self, engine, mysql, capsys):
        closed = bisource.conn_to_MySQL(SECTION)
        closed.close()
        with pytest.raises(Exception) as raised:
            bisource.fetching_data(closed, *DAY, "水位", "全部", "日值", "预处理库")
        assert isinstance(raised.value.__cause__, pymysql.err.InterfaceError)  # the driver's own error
        with engine.connect() as connection:
            pass  # closed on leaving the block
        with pytest.raises(Exception, match="closed"):
            fetching.fetching_data(connection, *DAY, "水位", "全部", "日值", "预处理库")
        assert "data fetched..." not in capsys.readouterr().out
        assert len(quietly(fetching.fetching_data, engine, *DAY, "水位", "全部", "日值", "预处理库")[0]) > 0
        assert len(quietly(bisource.fetching_data, mysql, *DAY, "水位", "全部", "日值", "预处理库")[0]) > 0


class TestThreads:
    REQUESTS = [
        ("20090101", "20090103", "水位", "全部", "分钟值", "预处理库"),
        ("20090102", "20090104", "流体", "全部", "日值", "预处理库"),
        ("20090101", "20090101", "磁通门", "全部", "秒钟值", "预处理库"),
        ("20090105", "20090109", "直流单装置地电阻率", "嘉祥", "小时值", "预处理库"),
    ]

    def run_threads(self, work):
        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            return list(pool.map(work, range(8)))

    def test_fetching_from_eight_threads(self, dirs, qz_sample_path, qz_cx_oracle):
        (dirs.work / "default.conf").write_text(conf_text(**oracle_options(qz_sample_path)), encoding="utf-8")

        def work(i):
            engine = fetching.conn_to_Oracle(SECTION)  # a connection of its own
            try:
                return fetching.fetching_data(engine, *self.REQUESTS[i % len(self.REQUESTS)])
            finally:
                engine.dispose()

        parallel = self.run_threads(work)
        for i, result in enumerate(parallel):
            tm.assert_frame_equal(result, work(i))

    def test_bisource_from_eight_threads(self, dirs, qz_mariadb):
        (dirs.work / "default.conf").write_text(conf_text(**qz_mariadb.conf_section()), encoding="utf-8")

        def work(i):
            conn = bisource.conn_to_MySQL(SECTION)
            try:
                return bisource.fetching_data(conn, *self.REQUESTS[i % len(self.REQUESTS)])
            finally:
                conn.close()

        parallel = self.run_threads(work)
        for i, result in enumerate(parallel):
            tm.assert_frame_equal(result, work(i))

    def test_split_lines_from_eight_threads(self):
        rows = [" ".join(f"{(r * 7 + k) % 113}.25" for k in range(20_000)) for r in range(12)]
        frames = [pd.DataFrame({"startdate": pd.date_range("2009-01-01", periods=12, freq=f"{i + 1}h"),
                                "stationid": [str(i)] * 12, "obsvalue": rows}) for i in range(8)]
        parallel = self.run_threads(lambda i: cleaning.split_lines(frames[i], 1))
        for i, result in enumerate(parallel):
            tm.assert_frame_equal(result, cleaning.split_lines(frames[i], 1))
