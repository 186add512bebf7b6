"""Connections kept for a working day: a kept MySQL connection reads the rows
committed since its last read, an engine replaces the pooled connection that
the network dropped while it was idle, and the engine's reads fetch a
thousand rows per round trip."""
import contextlib
import sqlite3

import numpy as np
import pandas as pd
import pandas.testing as tm
import pytest

import qzdb.oracle
import velmora.bisource as bisource
import velmora.fetching as fetching
from helpers import SECTION, conf_text, oracle_options, quietly

pytestmark = pytest.mark.filterwarnings("ignore:pandas only supports SQLAlchemy connectable:UserWarning")

ALL = "全部"
LIVE = "QZ_411_DYU_90_LIVE"  # daily water levels, found by the same request as QZ_411_DYU_90


@pytest.fixture
def live_table(mysql_server, mysql):
    """A daily table that another session writes to while the test reads;
    returns a function that inserts and commits one day's row of 37005."""
    root = mysql_server.root_connect()
    with root.cursor() as cursor:
        cursor.execute(f"CREATE TABLE QZDATA.{LIVE} LIKE QZDATA.QZ_411_DYU_90")

    def insert(day, value):
        with root.cursor() as cursor:
            cursor.execute(f"INSERT INTO QZDATA.{LIVE} (STATIONID, POINTID, ITEMID, STARTDATE, OBSVALUE, UNIT) "
                           "VALUES ('37005', 'h', '4112', %s, %s, 'm')", (day, value))
        root.commit()

    yield insert
    # a reading connection left in a transaction would hold the table's
    # metadata lock, and DROP TABLE would wait for it
    mysql.commit()
    with root.cursor() as cursor:
        cursor.execute(f"DROP TABLE QZDATA.{LIVE}")
    root.close()


def test_a_kept_mysql_connection_reads_the_rows_committed_since(mysql, live_table):
    request = (mysql, "20300101", "20300110", "水位", "郯城", "日均值", "预处理库")
    live_table("2030-01-01", "27.5")
    first = quietly(bisource.fetching_data, *request)[0]
    live_table("2030-01-02", "27.25")  # another session, committed
    second = quietly(bisource.fetching_data, *request)[0]
    assert first["OBSVALUE"].tolist() == [27.5]
    want = pd.DataFrame({"STATIONID": ["37005h"] * 2, "ITEMID": ["4112"] * 2,
                         "OBSVALUE": np.array([27.5, 27.25], dtype="float32")},
                        index=pd.DatetimeIndex(["2030-01-01", "2030-01-02"], name="STARTDATE"))
    tm.assert_frame_equal(second, want)
    assert mysql.get_autocommit()


def test_an_idle_connection_dropped_by_the_network_is_replaced(dirs, qz_sample_path, qz_cx_oracle, monkeypatch):
    # Where the dropped connection is found: by the pool's ping before it is
    # lent out (Connection.ping, or "SELECT 1 FROM DUAL" where the dialect
    # pings with a statement), not by a statement of the fetch. (pandas'
    # read_sql swallows the error of its first statement, a table-name probe,
    # and the pool then reconnects, so without the ping the fetch may still
    # succeed.)
    found_by = []
    current = []
    round_trip = qzdb.oracle.Connection._round_trip
    ping, execute = qzdb.oracle.Connection.ping, qzdb.oracle.Cursor.execute

    def recording_round_trip(conn):
        if conn._cut == "cut":
            found_by.append(current[-1] if current else "?")
        round_trip(conn)

    def during(what, function):
        def recording(self, *args, **kwargs):
            current.append(what(args))
            try:
                return function(self, *args, **kwargs)
            finally:
                current.pop()
        return recording

    monkeypatch.setattr(qzdb.oracle.Connection, "_round_trip", recording_round_trip)
    monkeypatch.setattr(qzdb.oracle.Connection, "ping", during(lambda args: "PING", ping))
    monkeypatch.setattr(qzdb.oracle.Cursor, "execute",
                        during(lambda args: " ".join(str(args[0]).split()).upper(), execute))
    # a database of its own: the network drops every connection to it
    path = dirs.work / "own.sqlite"
    with contextlib.closing(sqlite3.connect(qz_sample_path)) as src, contextlib.closing(sqlite3.connect(path)) as dst, dst:
        src.backup(dst)
    (dirs.work / "default.conf").write_text(conf_text(**oracle_options(path)), encoding="utf-8")
    engine = quietly(fetching.conn_to_Oracle, SECTION)[0]
    try:
        request = (engine, "20090101", "20090105", "水位", "郯城", "日均值", "预处理库")
        before = quietly(fetching.fetching_data, *request)[0]
        assert qzdb.oracle.drop_connections(path) == 1  # the engine's pooled connection
        after, lines = quietly(fetching.fetching_data, *request)
        tm.assert_frame_equal(after, before)
        assert lines == ["fetching data...", "splitting data...", "data fetched..."]
        assert found_by in (["PING"], ["SELECT 1 FROM DUAL"]), found_by
    finally:
        engine.dispose()


def test_the_engine_fetches_a_thousand_rows_per_round_trip(engine, monkeypatch):
    """Both the rows that come with the execute (prefetchrows) and those of
    each further round trip (arraysize), on every statement of a fetch."""
    seen = []
    execute = qzdb.oracle.Cursor.execute

    def recording(cursor, statement, *args, **kwargs):
        seen.append((statement, cursor.arraysize, cursor.prefetchrows))
        return execute(cursor, statement, *args, **kwargs)

    monkeypatch.setattr(qzdb.oracle.Cursor, "execute", recording)
    quietly(fetching.fetching_data, engine, "20090101", "20090131", "电阻率", ALL, "小时值", "预处理库")
    quietly(fetching.fetching_dialog, engine, "20090101", "20090131")
    # dictionaries, catalogue, observations and logs (not the dialect's own statements or pings)
    reads = [(a, p) for statement, a, p in seen if "QZDATA" in statement]
    assert len(reads) >= 6
    assert set(reads) == {(1000, 1000)}
