"""The listener of qzdb.oracle: files registered under their SID and service
name, the environment variable QZDB_DATABASES, and the errors a listener
gives for names it does not know."""

import contextlib
import os
import shutil
import sqlite3
import subprocess
import sys
import textwrap
import urllib.parse

import pytest
import sqlalchemy

import qzdb
from qzdb import oracle, sample

SMALL = dict(stations=2, days=1, second_stations=1, second_days=1)


def connect(dsn):
    return oracle.connect(sample.DEFAULT_USER, sample.DEFAULT_PASSWORD, dsn)


def station_count(conn):
    with conn.cursor() as cur:
        cur.execute("SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS")
        return len(cur.fetchall())


def sid_dsn(sid):
    return oracle.makedsn("db.example", 1521, sid)


def service_dsn(name):
    return oracle.makedsn("db.example", 1521, service_name=name)


@pytest.fixture
def small(tmp_path):
    """A small sample declaring SID QZSMALL and service name qzsmall,
    registered for the test."""
    path = tmp_path / "small.sqlite"
    sample.build(path, sid="QZSMALL", service_name="qzsmall", **SMALL)
    assert oracle.register(path) == ("QZSMALL", "qzsmall")
    yield str(path)
    oracle.unregister(path)


def code_of(info):
    return info.value.args[0].code


class TestNames:
    def test_session_sample_is_registered(self, qz_sample_path):
        assert oracle.registered()[qz_sample_path] == (
            sample.DEFAULT_SID, sample.DEFAULT_SERVICE_NAME)

    @pytest.mark.parametrize(
        "dsn",
        [sid_dsn("QZSMALL"), service_dsn("qzsmall"),
         "db.example:1521/qzsmall", "db.example/qzsmall",
         "//db.example:1522/qzsmall",
         "(DESCRIPTION = (ADDRESS = (PROTOCOL = TCP)(HOST = h)(PORT = 1))"
         " (CONNECT_DATA = (SERVER = DEDICATED) (SERVICE_NAME = qzsmall)))",
         "(description=(address=(protocol=tcp)(host=h)(port=1))"
         "(connect_data=(sid=QZSMALL)))"],
    )
    def test_reaches_the_registered_file(self, small, dsn):
        with connect(dsn) as conn:
            assert conn.path == small
            assert station_count(conn) == 3  # two, and 37008A

    @pytest.mark.parametrize(
        "dsn, code, text",
        [(sid_dsn("NOSUCH"), 12505,
          "ORA-12505: TNS:listener does not currently know of SID given in "
          "connect descriptor"),
         (service_dsn("nosuch"), 12514,
          "ORA-12514: TNS:listener does not currently know of service "
          "requested in connect descriptor"),
         # a SID is not a service name, nor the reverse
         (service_dsn("QZSMALL"), 12514, "ORA-12514"),
         (sid_dsn("qzsmall"), 12505, "ORA-12505"),
         ("db.example:1521/QZSMALL", 12514, "ORA-12514"),
         # names are matched exactly
         (sid_dsn("qzSMALL"), 12505, "ORA-12505"),
         (service_dsn("QZsmall"), 12514, "ORA-12514"),
         # a net service name (alias) the client cannot resolve
         ("QZSMALL", 12154, "ORA-12154: TNS:could not resolve the connect "
                            "identifier specified"),
         ("(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=h)(PORT=1))",
          12154, "ORA-12154"),
         (oracle.makedsn("h", 1), 12504, "ORA-12504: TNS:listener was not "
                                         "given the SERVICE_NAME in "
                                         "CONNECT_DATA"),
         (None, 12162, "ORA-12162")],
    )
    def test_unknown_names(self, small, dsn, code, text):
        with pytest.raises(oracle.DatabaseError) as info:
            connect(dsn)
        assert str(info.value).startswith(text)
        assert code_of(info) == code
        assert type(info.value) is oracle.DatabaseError

    def test_error_names_what_the_listener_knows(self, small):
        with pytest.raises(oracle.DatabaseError) as info:
            connect(sid_dsn("NOSUCH"))
        assert "QZSMALL" in str(info.value)

    def test_plain_path_opens_the_file(self, small, tmp_path):
        copy = tmp_path / "unregistered.sqlite"
        shutil.copy(small, copy)
        with connect(str(copy)) as conn:
            assert conn.path == str(copy)
            assert conn.sid == "QZSMALL"  # as the file declares


class TestRegister:
    def test_copy_under_other_names(self, small, tmp_path):
        copy = tmp_path / "copy.sqlite"
        shutil.copy(small, copy)
        with contextlib.closing(sqlite3.connect(copy)) as db, db:
            db.execute("INSERT INTO QZ_DICT_STATIONS VALUES ('99999', '副本台')")
        assert oracle.register(copy, sid="QZCOPY", service_name="qzcopy") == (
            "QZCOPY", "qzcopy")
        try:
            with connect(sid_dsn("QZCOPY")) as conn:
                assert station_count(conn) == 4
            with connect(service_dsn("qzcopy")) as conn:
                assert station_count(conn) == 4
            with connect(sid_dsn("QZSMALL")) as conn:
                assert station_count(conn) == 3
        finally:
            oracle.unregister(copy)
        with pytest.raises(oracle.DatabaseError, match="^ORA-12505"):
            connect(sid_dsn("QZCOPY"))

    @pytest.mark.parametrize(
        "kwargs",
        [{},  # the names the copy declares, which the original has
         {"sid": "QZSMALL", "service_name": "qzother"},
         {"sid": "QZOTHER", "service_name": "qzsmall"}])
    def test_names_of_another_file_are_refused(self, small, tmp_path, kwargs):
        copy = tmp_path / "copy.sqlite"
        shutil.copy(small, copy)
        with pytest.raises(ValueError, match="already registered for"):
            oracle.register(copy, **kwargs)
        assert str(copy) not in oracle.registered()

    def test_registering_again_replaces_the_names(self, small):
        assert oracle.register(small, sid="QZNEW") == ("QZNEW", "qzsmall")
        with connect(sid_dsn("QZNEW")) as conn:
            assert conn.path == small
        with pytest.raises(oracle.DatabaseError, match="^ORA-12505"):
            connect(sid_dsn("QZSMALL"))

    def test_file_without_names(self, tmp_path):
        path = tmp_path / "plain.sqlite"
        with contextlib.closing(sqlite3.connect(path)) as db, db:
            db.execute('CREATE TABLE "T" ("A" VARCHAR2(4))')
        with pytest.raises(ValueError, match="declares no SID"):
            oracle.register(path)
        with pytest.raises(ValueError, match="declares no SID"):
            oracle.register(path, sid="QZPLAIN")
        oracle.register(path, sid="QZPLAIN", service_name="qzplain")
        try:
            with connect(service_dsn("qzplain")) as conn:
                assert conn.path == str(path)
        finally:
            oracle.unregister(path)

    @pytest.mark.parametrize(
        "make, kwargs, error, message",
        [(None, {}, FileNotFoundError, "no database file"),
         ("text", {}, ValueError, "not a SQLite database"),
         ("sample", {"sid": "has space"}, ValueError, "sid must be a name"),
         ("sample", {"sid": ""}, ValueError, "sid must be a name"),
         ("sample", {"service_name": "a(b"}, ValueError,
          "service_name must be a name"),
         ("sample", {"sid": 7}, ValueError, "sid must be a name")],
    )
    def test_bad_registrations(self, tmp_path, make, kwargs, error, message):
        path = tmp_path / "db.sqlite"
        if make == "text":
            path.write_text("not SQLite " * 100)
        elif make == "sample":
            sample.build(path, sid="QZBAD", service_name="qzbad", **SMALL)
        with pytest.raises(error, match=message):
            oracle.register(path, **kwargs)
        assert str(path) not in oracle.registered()

    def test_unregister_unknown_path(self, tmp_path):
        with pytest.raises(KeyError, match="not registered"):
            oracle.unregister(tmp_path / "never.sqlite")

    def test_registered_file_gone(self, small):
        shutil.move(small, small + ".moved")
        try:
            with pytest.raises(oracle.DatabaseError) as info:
                connect(sid_dsn("QZSMALL"))
            assert str(info.value).startswith("ORA-01034: ORACLE not available")
            assert code_of(info) == 1034
        finally:
            shutil.move(small + ".moved", small)


class TestEnvironment:
    @pytest.fixture
    def env_file(self, tmp_path, monkeypatch):
        path = tmp_path / "env.sqlite"
        sample.build(path, sid="QZENV", service_name="qzenv", **SMALL)
        monkeypatch.setenv(oracle.ENVIRONMENT_VARIABLE,
                           "%s%s%s" % (tmp_path / "missing.sqlite",
                                       os.pathsep, path))
        return str(path)

    def test_read_at_every_connect(self, env_file, monkeypatch):
        with connect(sid_dsn("QZENV")) as conn:
            assert conn.path == env_file
        with connect("h:1/qzenv") as conn:
            assert conn.path == env_file
        assert oracle.registered()[env_file] == ("QZENV", "qzenv")
        monkeypatch.delenv(oracle.ENVIRONMENT_VARIABLE)
        with pytest.raises(oracle.DatabaseError, match="^ORA-12505"):
            connect(sid_dsn("QZENV"))

    def test_broken_entry_is_named(self, env_file):
        with pytest.raises(oracle.DatabaseError) as info:
            connect(sid_dsn("NOSUCH"))
        assert "missing.sqlite: no such file" in str(info.value)

    def test_registration_wins(self, env_file, small, tmp_path):
        copy = tmp_path / "copy.sqlite"
        shutil.copy(small, copy)
        oracle.register(copy, sid="QZENV", service_name="qzenv2")
        try:
            with connect(sid_dsn("QZENV")) as conn:
                assert conn.path == str(copy)
            with connect(service_dsn("qzenv")) as conn:
                assert conn.path == env_file
        finally:
            oracle.unregister(copy)

    def test_subprocess_reaches_the_parents_databases(self, qz_sample_path):
        # the session sample is in QZDB_DATABASES (see qzdb.pytest_plugin)
        code = textwrap.dedent("""
            from qzdb import oracle, sample
            conn = oracle.connect(sample.DEFAULT_USER, sample.DEFAULT_PASSWORD,
                                  oracle.makedsn("h", 1, sample.DEFAULT_SID))
            print(conn.path)
            conn = oracle.connect(sample.DEFAULT_USER, sample.DEFAULT_PASSWORD,
                                  "h:1/" + sample.DEFAULT_SERVICE_NAME)
            print(conn.path)
        """)
        done = subprocess.run([sys.executable, "-c", code],
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        assert done.stdout.splitlines() == [qz_sample_path] * 2


class TestSQLAlchemy:
    @pytest.mark.parametrize(
        "tail",
        [sample.DEFAULT_SID, "?service_name=" + sample.DEFAULT_SERVICE_NAME])
    def test_url_by_sid_or_service_name(self, qz_sample_path, tail):
        url = "oracle+cx_oracle://%s:%s@localhost:1521/%s" % (
            sample.DEFAULT_USER,
            urllib.parse.quote(sample.DEFAULT_PASSWORD, safe=""), tail)
        with qzdb.use_as_cx_Oracle():
            engine = sqlalchemy.create_engine(url)
        try:
            with engine.connect() as conn:
                assert conn.exec_driver_sql(
                    "SELECT DUMMY FROM DUAL").scalar() == "X"
                assert conn.connection.dbapi_connection.path == qz_sample_path
        finally:
            engine.dispose()

    def test_unknown_sid_in_url(self, qz_sample_path):
        with qzdb.use_as_cx_Oracle():
            engine = sqlalchemy.create_engine(
                "oracle+cx_oracle://u:p@localhost:1521/NOSUCH")
        try:
            with pytest.raises(sqlalchemy.exc.DatabaseError, match="ORA-12505"):
                engine.connect()
        finally:
            engine.dispose()
