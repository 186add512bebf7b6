"""What the Oracle stand-in does over a session's life: LOB values are
locators that live as long as their connection, connections that the network
drops fail as a driver's do, round trips follow arraysize and prefetchrows,
and variables may be asked for with the real drivers' type objects."""

import contextlib
import sqlite3

import pytest

from qzdb import oracle, sample

DAY = ("SELECT * FROM QZDATA.QZ_411_DYU_90 WHERE "
       "STARTDATE<TO_DATE('20090103','yyyymmdd')")


def connect(path):
    return oracle.connect(user=sample.DEFAULT_USER,
                          password=sample.DEFAULT_PASSWORD, dsn=path)


def copy_of(sample_path, path, notes=False):
    """A copy of the sample of its own, so that dropping its connections
    leaves those of other tests alone; with ``notes`` a table whose text
    column is an NCLOB."""
    with contextlib.closing(sqlite3.connect(sample_path)) as src, contextlib.closing(sqlite3.connect(path)) as dst, dst:
        src.backup(dst)
        if notes:
            dst.execute('CREATE TABLE "QZ_NOTES" ("ID" VARCHAR2(4), '
                        '"TEXT" NCLOB)')
            dst.execute("INSERT INTO \"QZ_NOTES\" VALUES ('1', '停电，重启')")
    return str(path)


@pytest.fixture(scope="module")
def own_path(qz_sample_path, tmp_path_factory):
    return copy_of(qz_sample_path,
                   tmp_path_factory.mktemp("qzdb-own") / "own.sqlite")


@pytest.fixture(scope="module")
def national_path(qz_sample_path, tmp_path_factory):
    return copy_of(qz_sample_path,
                   tmp_path_factory.mktemp("qzdb-nclob") / "nclob.sqlite",
                   notes=True)


@pytest.fixture
def conn(own_path):
    c = connect(own_path)
    yield c
    if c._db is not None:
        c.close()


class TestLobsLiveWithTheirConnection:
    @pytest.mark.parametrize("table, value", [
        ("QZ_411_DYU_90", str), ("QZ_312_DYS_02", bytes)])
    def test_usable_while_open_and_refused_after_close(self, conn, table,
                                                       value):
        cur = conn.cursor()
        cur.execute("SELECT OBSVALUE FROM QZDATA.%s" % table)
        lobs = [r[0] for r in cur.fetchmany(3)]
        assert all(isinstance(lob, oracle.LOB) for lob in lobs)
        assert isinstance(lobs[0].read(), value) and lobs[0].size() > 0
        conn.close()
        uses = [lambda lob: lob.read(), lambda lob: lob.size()]
        for use in uses + ([str] if value is str else []):
            with pytest.raises(oracle.InterfaceError, match="not connected"):
                use(lobs[1])

    def test_every_read_is_a_round_trip(self, conn):
        cur = conn.cursor()
        cur.execute(DAY)
        lob = cur.fetchall()[0][4]
        before = conn.round_trips
        lob.read(), lob.size(), str(lob)
        assert conn.round_trips == before + 3

    def test_nclob_columns_are_described_as_nclob(self, national_path):
        c = connect(national_path)
        try:
            cur = c.cursor()
            cur.execute("SELECT TEXT FROM QZDATA.QZ_NOTES")
            assert cur.description[0][1] is oracle.DB_TYPE_NCLOB
            (lob,), = cur.fetchall()
            assert lob.type is oracle.DB_TYPE_NCLOB and lob.read() == "停电，重启"
        finally:
            c.close()


class TestDroppedConnections:
    def test_a_dropped_connection_fails_as_the_driver_reports_it(
            self, conn, own_path):
        other = connect(own_path)
        cur = conn.cursor()
        cur.execute(DAY)
        assert oracle.drop_connections(own_path) == 2
        with pytest.raises(oracle.DatabaseError) as first:
            cur.fetchall()
        assert first.value.args[0].code == 3113
        assert str(first.value).startswith(
            "ORA-03113: end-of-file on communication channel")
        for use in (conn.ping, lambda: conn.cursor().execute(DAY)):
            with pytest.raises(oracle.DatabaseError, match="^DPI-01080"):
                use()
        conn.rollback()  # no transaction to end: nothing is sent
        conn.close()  # closing a dead connection is quiet
        with pytest.raises(oracle.DatabaseError, match="^ORA-03113"):
            other.ping()
        other.close()

    def test_only_connections_to_the_named_file_and_open_ones(
            self, conn, own_path, national_path):
        elsewhere = connect(national_path)
        closed = connect(own_path)
        closed.close()
        try:
            assert oracle.drop_connections(national_path) == 1
            conn.ping()  # untouched
            with pytest.raises(oracle.DatabaseError, match="ORA-03113"):
                elsewhere.cursor().execute(DAY)
            assert oracle.drop_connections(national_path) == 0
        finally:
            elsewhere.close()

    def test_a_new_connection_works(self, conn, own_path):
        assert oracle.drop_connections(own_path) == 1
        fresh = connect(own_path)
        try:
            assert fresh.cursor().execute(DAY).fetchall()
        finally:
            fresh.close()


class TestRoundTrips:
    @pytest.mark.parametrize("arraysize, prefetchrows, fetch, trips", [
        # 14 rows: the execute brings the first prefetchrows
        (100, 2, "all", 2),      # 2 with the execute, 12 more (fewer than 100)
        (5, 2, "all", 1 + 3),    # 2, then 5 + 5 + 2
        (4, 2, "all", 1 + 3 + 1),  # 2, then 4 + 4 + 4, and one to learn the end
        (1000, 1000, "all", 1),  # everything with the execute
        (100, 0, "all", 2),
        (5, 2, "one", 1),        # the first row came with the execute
        (5, 2, "many", 1 + 2),   # fetchmany(10): 2, then 5 + 5 (3 left)
    ])
    def test_rows_come_by_arraysize_after_the_prefetched_ones(
            self, conn, arraysize, prefetchrows, fetch, trips):
        cur = conn.cursor()
        cur.arraysize, cur.prefetchrows = arraysize, prefetchrows
        before = conn.round_trips
        cur.execute(DAY)
        rows = {"all": cur.fetchall, "one": lambda: [cur.fetchone()],
                "many": lambda: cur.fetchmany(10)}[fetch]()
        assert len(rows) == {"all": 14, "one": 1, "many": 10}[fetch]
        assert conn.round_trips - before == trips


class TestDriversTypeObjects:
    @pytest.mark.parametrize("driver", ["oracledb", "cx_Oracle"])
    def test_variables_of_a_real_drivers_types(self, conn, driver):
        real = pytest.importorskip(driver)

        def handler(cursor, name, default_type, size, precision, scale):
            if default_type is oracle.DB_TYPE_CLOB:
                return cursor.var(real.DB_TYPE_LONG,
                                  arraysize=cursor.arraysize)
            if default_type is oracle.DB_TYPE_BLOB:
                return cursor.var(real.DB_TYPE_LONG_RAW,
                                  arraysize=cursor.arraysize)
            return None

        conn.outputtypehandler = handler
        cur = conn.cursor()
        text = cur.execute(DAY).fetchall()[0][4]
        raw = cur.execute("SELECT OBSVALUE FROM QZDATA.QZ_312_DYS_02"
                          ).fetchone()[0]
        assert type(text) is str and type(raw) is bytes

    def test_other_objects_are_no_types(self, cursor):
        class DbType:
            name = "DB_TYPE_NO_SUCH_TYPE"

        for typ in (DbType(), "DB_TYPE_LONG", None):
            with pytest.raises(TypeError, match="expecting type"):
                cursor.var(typ)
