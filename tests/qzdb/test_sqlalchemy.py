"""SQLAlchemy's real oracle+cx_oracle dialect (1.4, 2.0 and 2.1) and pandas.read_sql
on the stand-in."""

import gzip
import sys
import urllib.parse

import pandas as pd
import pytest
import sqlalchemy

import qzdb
from qzdb import oracle, sample

# pandas 1.5 calls Engine.execute, which SQLAlchemy 1.4 flags for 2.0 (a
# RemovedIn20Warning, which SQLAlchemy 2.0 no longer defines)
pytestmark = pytest.mark.filterwarnings(
    "ignore:Deprecated API features detected:DeprecationWarning")


PANDAS_3 = int(pd.__version__.split(".")[0]) >= 3


def url_text(sid, password=sample.DEFAULT_PASSWORD):
    return "oracle+cx_oracle://%s:%s@localhost:1521/%s" % (
        sample.DEFAULT_USER, urllib.parse.quote(password, safe=""), sid)


@pytest.fixture
def engine(qz_sample_path):
    with qzdb.use_as_cx_Oracle():
        eng = sqlalchemy.create_engine(url_text(sample.DEFAULT_SID))
    yield eng
    eng.dispose()


class TestSwap:
    @pytest.mark.parametrize("before", ["absent", "other"])
    def test_restores_sys_modules(self, monkeypatch, before):
        sentinel = object()
        if before == "absent":
            monkeypatch.delitem(sys.modules, "cx_Oracle", raising=False)
        else:
            monkeypatch.setitem(sys.modules, "cx_Oracle", sentinel)
        with qzdb.use_as_cx_Oracle() as module:
            import cx_Oracle
            assert cx_Oracle is module is oracle
        if before == "absent":
            assert "cx_Oracle" not in sys.modules
        else:
            assert sys.modules["cx_Oracle"] is sentinel

    def test_engine_keeps_the_stand_in(self, engine):
        assert engine.dialect.dbapi is oracle
        assert "cx_Oracle" not in sys.modules or \
            sys.modules["cx_Oracle"] is not oracle


class TestFirstConnect:
    def test_dialect_initialises(self, engine, qz_statement_log):
        with engine.connect() as conn:
            assert conn.exec_driver_sql("SELECT DUMMY FROM DUAL").scalar() == "X"
        dialect = engine.dialect
        assert dialect.server_version_info == (19, 0, 0, 0, 0)
        assert dialect.default_schema_name == sample.DEFAULT_USER
        assert dialect._decimal_char == "."
        assert dialect.default_isolation_level == "READ COMMITTED"
        sent = [s.strip() for s, _ in qz_statement_log]
        order = [
            "select sys_context( 'userenv', 'current_schema' ) from dual",
            "SELECT value FROM v$parameter WHERE name = 'compatible'",
            "SELECT 1.1 FROM DUAL",
            "SELECT DUMMY FROM DUAL",
        ]
        assert [s for s in sent if s in order] == order
        assert any(s.startswith("begin") for s in sent)

    def test_wrong_password_fails_at_first_query(self, qz_sample_path):
        with qzdb.use_as_cx_Oracle():
            eng = sqlalchemy.create_engine(url_text(sample.DEFAULT_SID, "nope"))
        with pytest.raises(sqlalchemy.exc.DatabaseError, match="ORA-01017"):
            pd.read_sql("SELECT METHODID FROM QZDATA.QZ_DICT_METHODS", con=eng)
        eng.dispose()


class TestReadSql:
    @pytest.mark.parametrize(
        "sql, params, columns",
        [("SELECT STATIONID,STATIONNAME FROM QZDATA.QZ_DICT_STATIONS", None,
          ["stationid", "stationname"]),
         ("SELECT SUBSTR(ITEMID,1,3) FROM QZDATA.QZ_DICT_STATIONITEMS WHERE "
          "SUBSTR(ITEMID,1,1)=3", None, ["SUBSTR(ITEMID,1,3)"]),
         ("SELECT METHODID FROM QZDATA.QZ_DICT_METHODS WHERE METHODNAME LIKE "
          "'%' || :methodname || '%'", {"methodname": "水位"}, ["methodid"]),
         ("SELECT TABLE_NAME FROM ALL_TABLES WHERE TABLE_NAME LIKE '%' || "
          ":base_type_id || '%' AND TABLE_NAME LIKE '%' || :methodid || '%'",
          {"base_type_id": "DLG", "methodid": "321"}, ["table_name"])],
    )
    def test_column_names(self, engine, ora_conn, sql, params, columns):
        df = pd.read_sql(sql, con=engine, params=params)
        assert list(df.columns) == columns
        with ora_conn.cursor() as cur:
            cur.execute(sql, params or {})
            expected = cur.fetchall()
        assert [tuple(r) for r in df.itertuples(index=False)] == expected
        assert len(df) > 0

    def test_query_text_is_not_taken_for_a_table(self, engine,
                                                 qz_statement_log):
        sql = "SELECT METHODID FROM QZDATA.QZ_DICT_METHODS"
        df = pd.read_sql(sql, con=engine)
        assert list(df.methodid) == [m for m, _ in sample.METHODS]
        # SQLAlchemy asks the catalogue whether the text names a table (1.4
        # binds :name and :schema_name, 2.0 :table_name and :owner, and also
        # looks among the views); the stand-in answers no.
        questions = [sorted(p.values()) for s, p in qz_statement_log
                     if "all_tables" in s.lower()]
        assert questions == [sorted([sql, sample.DEFAULT_USER.upper()])]

    def test_observation_values(self, engine, raw_db):
        sql = ("SELECT * FROM QZDATA.QZ_411_DYU_01 WHERE "
               "STARTDATE>=TO_DATE('20090102','yyyymmdd') AND "
               "STARTDATE<TO_DATE('20090102','yyyymmdd')+1")
        df = pd.read_sql(sql, con=engine)
        assert list(df.columns) == ["stationid", "pointid", "itemid",
                                    "startdate", "obsvalue", "unit"]
        # pandas 3 reads datetime objects at the microsecond they carry
        assert str(df.startdate.dtype) == ("datetime64[us]" if PANDAS_3 else "datetime64[ns]")
        expected = raw_db.execute(
            "SELECT STATIONID, STARTDATE, OBSVALUE FROM \"QZ_411_DYU_01\" "
            "WHERE STARTDATE >= '2009-01-02' AND STARTDATE < '2009-01-03'"
        ).fetchall()
        assert [(r.stationid, r.startdate.isoformat(sep=" "), r.obsvalue)
                for r in df.itertuples()] == expected
        assert all(isinstance(v, str) for v in df.obsvalue)

    def test_blob_values_arrive_as_bytes(self, engine, raw_db):
        sql = ("SELECT * FROM QZDATA.%s WHERE "
               "STARTDATE>=TO_DATE('20090101','yyyymmdd') AND "
               "STARTDATE<TO_DATE('20090101','yyyymmdd')+1" % sample.GZIP_TABLE)
        df = pd.read_sql(sql, con=engine)
        expected = [r[0] for r in raw_db.execute(
            "SELECT OBSVALUE FROM \"%s\" WHERE STARTDATE < '2009-01-02'"
            % sample.GZIP_TABLE)]
        assert list(df.obsvalue) == expected and expected
        # what SQLAlchemy's LOB handling makes of a BLOB: bytes, not a LOB
        assert all(type(v) is bytes for v in df.obsvalue)
        assert not hasattr(df.obsvalue[0], "read")
        text = gzip.decompress(df.obsvalue[0]).decode()
        assert text == "NULLALL" or len(text.split(" ")) == 86400


class TestPoolAndErrors:
    def test_connections_share_the_database(self, engine):
        with engine.connect() as a, engine.connect() as b:
            assert a.connection.dbapi_connection is not \
                b.connection.dbapi_connection
            sql = "SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS"
            assert a.exec_driver_sql(sql).fetchall() == \
                b.exec_driver_sql(sql).fetchall()

    def test_error_is_wrapped_and_connection_survives(self, engine):
        # pandas 3 wraps SQLAlchemy's error in its own DatabaseError
        raised = pd.errors.DatabaseError if PANDAS_3 else sqlalchemy.exc.DatabaseError
        with pytest.raises(raised) as info:
            pd.read_sql("SELECT * FROM QZDATA.QZ_411_DYU_90 WHERE ()",
                        con=engine)
        error = info.value.__cause__ if PANDAS_3 else info.value
        assert isinstance(error, sqlalchemy.exc.DatabaseError)
        assert isinstance(error.orig, oracle.DatabaseError)
        assert str(error.orig).startswith("ORA-00936")
        assert not error.connection_invalidated
        df = pd.read_sql("SELECT DUMMY FROM DUAL", con=engine)
        assert list(df.dummy) == ["X"]
