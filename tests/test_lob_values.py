"""Large values as values: LOB columns read through bisource's Oracle
connection and through fetching's engine (SQLAlchemy's dialect, with
python-oracledb lent as cx_Oracle) arrive as str and bytes, not LOB objects;
and with gzip_flag compressed and plain values may come in one request."""
import contextlib
import datetime
import inspect
import os
import sqlite3
import subprocess
import sys
import textwrap
import types

import pandas as pd
import pandas.testing as tm
import pytest
import sqlalchemy.exc

import expected
import qzdb.oracle
import qzdb.sample
import velmora.bisource as bisource
import velmora.fetching as fetching
from helpers import SECTION, assert_observations, conf_text, oracle_options, quietly

pytestmark = pytest.mark.filterwarnings("ignore:pandas only supports SQLAlchemy connectable:UserWarning")

THIN_PYTHON = os.environ.get("VELMORA_THIN_PYTHON")
ALL = "全部"
LOB_LOG = "QZ_DLG_213"  # a log of the strain meters (213), which the sample lacks


@pytest.fixture(scope="module")
def lob_log_path(qz_sample_path, tmp_path_factory):
    """A copy of the sample with a log table whose notes are a CLOB, an NCLOB
    and a BLOB, as on servers where notes outgrew VARCHAR2."""
    path = tmp_path_factory.mktemp("lob-log") / "qzdata.sqlite"
    with contextlib.closing(sqlite3.connect(qz_sample_path)) as src, contextlib.closing(sqlite3.connect(path)) as dst, dst:
        src.backup(dst)
        dst.execute(f'CREATE TABLE "{LOB_LOG}" ("STATIONID" VARCHAR2(8) NOT NULL, "POINTID" VARCHAR2(4) NOT NULL, '
                    '"ITEMID" VARCHAR2(8) NOT NULL, "STARTDATE" DATE NOT NULL, "ENDDATE" DATE, '
                    '"EVTID" VARCHAR2(8) NOT NULL, "NOTE" CLOB, "NOTE_EN" NCLOB, "RECORD" BLOB)')
        dst.execute(f'INSERT INTO "{LOB_LOG}" SELECT STATIONID, POINTID, ITEMID, STARTDATE, ENDDATE, EVTID, NOTE, '
                    "'event ' || EVTID || ' at ' || STATIONID, CAST(NOTE AS BLOB) FROM QZ_DLG_211")
    return str(path)


def logs_of(path, first, last, evtid="313"):
    """The rows of the LOB log in the period, straight from the file."""
    with contextlib.closing(sqlite3.connect(f"file:{path}?mode=ro", uri=True)) as con:
        df = pd.read_sql(f'SELECT * FROM "{LOB_LOG}" WHERE STARTDATE >= ? AND STARTDATE < ? AND EVTID = ?', con,
                         params=(f"{first} 00:00:00", f"{last} 00:00:00", evtid))
    for column in ("STARTDATE", "ENDDATE"):
        df[column] = pd.to_datetime(df[column])
    return df


class TestBisourceOracleConnection:
    def test_log_lobs_arrive_as_values_that_outlive_the_connection(self, dirs, lob_log_path, monkeypatch):
        monkeypatch.setattr(bisource, "orcl", qzdb.oracle)
        (dirs.work / "default.conf").write_text(conf_text(**oracle_options(lob_log_path)), encoding="utf-8")
        conn = quietly(bisource.conn_to_Oracle, SECTION)[0]
        try:
            got = bisource.fetching_dialog(conn, "20090101", "20090131", "伸缩仪")
        finally:
            conn.close()
        want = logs_of(lob_log_path, "2009-01-01", "2009-02-01")
        assert len(want) > 0
        assert [type(v) for v in got[["NOTE", "NOTE_EN", "RECORD"]].iloc[0]] == [str, str, bytes]
        tm.assert_frame_equal(got, want, check_dtype=False)
        assert got["RECORD"].map(bytes.decode).tolist() == got["NOTE"].tolist()  # still readable, closed

    @pytest.mark.parametrize("driver_name", ["cx_Oracle", "oracledb"])
    def test_the_handler_asks_each_driver_for_long_types(self, dirs, qz_sample_path, monkeypatch, driver_name):
        """CLOB and NCLOB as long strings, BLOB as long raw, in the driver's
        own type objects; other columns are left to the driver."""
        real = pytest.importorskip(driver_name)
        # the driver's types, with the stand-in's connect so that a connection is made
        driver = types.ModuleType(driver_name)
        driver.__getattr__ = lambda name: getattr(real, name)
        driver.makedsn, driver.connect = qzdb.oracle.makedsn, qzdb.oracle.connect
        monkeypatch.setattr(bisource, "orcl", driver)
        (dirs.work / "default.conf").write_text(conf_text(**oracle_options(qz_sample_path)), encoding="utf-8")
        conn = quietly(bisource.conn_to_Oracle, SECTION)[0]
        handler = conn.outputtypehandler
        conn.close()
        assert list(inspect.signature(handler).parameters)[:3] == ["cursor", "name", "default_type"]
        assert handler.__code__.co_argcount == 6  # the form both drivers call

        class Cursor:
            arraysize = 1000

            def var(self, typ, size=0, arraysize=1):
                return typ, size, arraysize

        long_nstring = getattr(real, "DB_TYPE_LONG_NVARCHAR", real.LONG_STRING)
        for default_type, fetched in [(real.DB_TYPE_CLOB, real.LONG_STRING), (real.DB_TYPE_NCLOB, long_nstring),
                                      (real.DB_TYPE_BLOB, real.LONG_BINARY)]:
            assert handler(Cursor(), "NOTE", default_type, 0, 0, 0) == (fetched, 0, 1000)
            # python-oracledb's two-argument form: (cursor, metadata)
            assert handler(Cursor(), types.SimpleNamespace(type_code=default_type)) == (fetched, 0, 1000)
        for default_type in (real.DB_TYPE_VARCHAR, real.DB_TYPE_NUMBER, real.DB_TYPE_DATE, real.DB_TYPE_RAW):
            assert handler(Cursor(), "X", default_type, 8, 0, 0) is None


SQLALCHEMY_LOBS = textwrap.dedent("""
    import sqlite3, sys, warnings
    warnings.simplefilter("ignore")
    if {block}:
        sys.modules["cx_Oracle"] = None  # import cx_Oracle raises ImportError
    import oracledb, sqlalchemy
    import qzdb.oracle, qzdb.sample
    import velmora.fetching as fetching

    import contextlib, io
    with contextlib.redirect_stdout(io.StringIO()):
        engine = fetching.conn_to_Oracle("qz")
    assert engine.dialect.dbapi.CLOB is oracledb.CLOB  # oracledb lent as cx_Oracle

    # the dialect's output type handler on a connection, called with
    # oracledb's own type objects for the columns' types
    conn = qzdb.oracle.connect(user=qzdb.sample.DEFAULT_USER, password=qzdb.sample.DEFAULT_PASSWORD,
                               dsn={path!r})
    engine.dialect.on_connect()(conn)
    dialects = conn.outputtypehandler
    conn.outputtypehandler = lambda cursor, name, default_type, *rest: dialects(
        cursor, name, getattr(oracledb, default_type.name), *rest)
    cursor = conn.cursor()
    got = []
    for table in ("QZ_211_DYU_01", "{gzip_table}"):
        cursor.execute("SELECT OBSVALUE FROM QZDATA." + table + " WHERE STARTDATE<TO_DATE('20090102','yyyymmdd')")
        got.append([row[0] for row in cursor.fetchall()])
    conn.close()
    raw = sqlite3.connect({path!r})  # closed with the interpreter
    want = [[row[0] for row in raw.execute("SELECT OBSVALUE FROM " + table + " WHERE STARTDATE < '2009-01-02'")]
            for table in ("QZ_211_DYU_01", "{gzip_table}")]
    print(".".join(sqlalchemy.__version__.split(".")[:2]))
    print(sorted({{type(v).__name__ for v in got[0]}}), sorted({{type(v).__name__ for v in got[1]}}))
    print(got == want and all(want))
""")


@pytest.mark.parametrize("python", ["this", "thin"])
def test_sqlalchemys_lob_handling_with_python_oracledb(dirs, qz_sample_path, python):
    """On the SQLAlchemy release of the environment (1.4 here; 2.0 in the
    environments of pandas 2): CLOB values as str, BLOB values as bytes."""
    if python == "thin" and THIN_PYTHON is None:
        pytest.skip("VELMORA_THIN_PYTHON names no environment (make pytest builds .venv-thin)")
    (dirs.work / "default.conf").write_text(
        conf_text(HOST="127.0.0.1", PORT="1", USERNAME="reader", PASSWORD="s3cret-pw", TNSNAME="QZDB"),
        encoding="utf-8")
    script = SQLALCHEMY_LOBS.format(block=python == "this", path=qz_sample_path,
                                    gzip_table=qzdb.sample.GZIP_TABLE)
    run = subprocess.run([THIN_PYTHON if python == "thin" else sys.executable, "-c", script], cwd=dirs.work,
                         capture_output=True, text=True, timeout=180)
    assert run.returncode == 0, run.stderr + run.stdout
    version, types_seen, same = run.stdout.splitlines()
    assert version in ("1.4", "2.0", "2.1")
    assert types_seen == "['str'] ['bytes']"
    assert same == "True"


@pytest.fixture
def plain_seconds_table(mysql_server, mysql):
    """A plain (LONGTEXT) table of raw second values beside the compressed
    (LONGBLOB) one, holding the preprocessed rows two days later; dropped
    afterwards."""
    name = qzdb.sample.GZIP_TABLE + "_TXT"
    root = mysql_server.root_connect()
    columns = "STATIONID, POINTID, ITEMID, STARTDATE, OBSVALUE, UNIT"
    try:
        with root.cursor() as cursor:
            cursor.execute(f"CREATE TABLE QZDATA.{name} LIKE QZDATA.QZ_312_DYU_02")
            cursor.execute(f"INSERT INTO QZDATA.{name} ({columns}) SELECT STATIONID, POINTID, ITEMID, "
                           f"STARTDATE + INTERVAL 2 DAY, OBSVALUE, UNIT FROM QZDATA.QZ_312_DYU_02")
        root.commit()
        yield name
    finally:
        # a reading connection left in a transaction would hold the table's
        # metadata lock, and DROP TABLE would wait for it
        mysql.commit()
        with root.cursor() as cursor:
            cursor.execute(f"DROP TABLE IF EXISTS QZDATA.{name}")
        root.close()


class TestCompressedAndPlainValues:
    def test_one_mysql_request_over_a_compressed_and_a_plain_table(self, mysql, qz_sample_path,
                                                                   plain_seconds_table):
        # the compressed table's second day and the plain table's first (its rows of 2009-01-01, two days
        # later), of one component
        request = (mysql, "20090102", "20090103", "磁通门", "泰安", "秒钟值", "原始库", "垂直分量Z")
        raw = quietly(bisource.fetching_data, *request, my_split_lines=False)[0]
        assert raw["OBSVALUE"].map(type).eq(bytes).all()  # the union gives bytes for every row
        compressed = expected.observations(qz_sample_path, [qzdb.sample.GZIP_TABLE], "20090102", "20090103", "02",
                                           stations=["37001"], items=["3123"], split=False, compressed=True)
        plain = expected.observations(qz_sample_path, ["QZ_312_DYU_02"], "20090101", "20090101", "02",
                                      stations=["37001"], items=["3123"], split=False)
        plain["STARTDATE"] += datetime.timedelta(days=2)
        want = pd.concat([compressed, plain], ignore_index=True).sort_values(
            ["ITEMID", "STATIONID", "STARTDATE"], kind="stable", ignore_index=True)
        assert len(compressed) == len(plain) == 1

        unsplit = quietly(bisource.fetching_data, *request, gzip_flag=True, my_split_lines=False)[0]
        assert_observations(unsplit, want, split=False)
        split, lines = quietly(bisource.fetching_data, *request, gzip_flag=True)
        assert_observations(split, expected.split_rows(want, "02"))
        assert lines == ["fetching data...", "splitting data...", "data fetched..."]

    def test_text_passes_unchanged(self, engine, mysql):
        for fetch, conn in [(fetching.fetching_data, engine), (bisource.fetching_data, mysql)]:
            request = (conn, "20090101", "20090110", "水位", "郯城", "日均值", "预处理库")
            plain = quietly(fetch, *request)[0]
            assert len(plain) > 0
            tm.assert_frame_equal(quietly(fetch, *request, gzip_flag=True)[0], plain)

    def test_oracle_refuses_a_union_of_a_compressed_and_a_plain_table(self, dirs, qz_sample_path, qz_cx_oracle):
        """As a production Oracle does (ORA-01790): there the two are read by separate requests."""
        copy = dirs.work / "mixed.sqlite"
        with contextlib.closing(sqlite3.connect(qz_sample_path)) as src, contextlib.closing(sqlite3.connect(copy)) as dst, dst:
            src.backup(dst)
            dst.execute(f'CREATE TABLE "{qzdb.sample.GZIP_TABLE}_TXT" ("STATIONID" VARCHAR2(8) NOT NULL, '
                        '"POINTID" VARCHAR2(4) NOT NULL, "ITEMID" VARCHAR2(8) NOT NULL, "STARTDATE" DATE NOT NULL, '
                        '"OBSVALUE" CLOB, "UNIT" VARCHAR2(16))')
        (dirs.work / "default.conf").write_text(conf_text(**oracle_options(copy)), encoding="utf-8")
        engine = quietly(fetching.conn_to_Oracle, SECTION)[0]
        try:
            with pytest.raises(sqlalchemy.exc.DatabaseError, match="ORA-01790"):
                quietly(fetching.fetching_data, engine, "20090101", "20090102", "磁通门", ALL, "秒钟值", "原始库",
                        gzip_flag=True)
        finally:
            engine.dispose()
