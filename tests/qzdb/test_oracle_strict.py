"""Every condition of every row is evaluated: Oracle may evaluate the terms
of a WHERE clause in any order and promises no shortcut, so a conversion
that fails on a row fails the statement whichever other term decides the
row."""

import sqlite3

import pytest

from qzdb import oracle, sample

ODD_TABLE = "QZDATA." + sample.ODD_STATION_TABLE


def fetch(cur, sql, params=None):
    cur.execute(sql, params) if params is not None else cur.execute(sql)
    return cur.fetchall()


def window(date_1, date_2):
    return ("STARTDATE>=TO_DATE('%s','yyyymmdd') AND "
            "STARTDATE<TO_DATE('%s','yyyymmdd')+1" % (date_1, date_2))


class TestTextColumnWithNumber:
    @pytest.mark.parametrize(
        "condition",
        [
            # the row of 37008A is decided by the first alternative
            "STATIONID='37008A' OR STATIONID=37008",
            "(STATIONID='37008A') OR (STATIONID=37008)",
            # an earlier term is false on every row
            "POINTID='9' AND STATIONID=37008",
            "POINTID='9' AND (STATIONID=37008 OR STATIONID=37001)",
            # the date window holds no row at all
            window("20100101", "20100131") + " AND (STATIONID=37008)",
            # a window without 37008A's rows on the stand-in's index
            window("20090105", "20090105") + " AND (STATIONID=37008)",
            "37008=STATIONID",
            "STATIONID IN (37001, 37008)",
            "STATIONID NOT IN (37008)",
            "NOT (POINTID='2' OR STATIONID=37008)",
            "POINTID IS NULL AND STATIONID>37000",
            "STATIONID='37008A' OR (POINTID='2' AND STATIONID+0=37008)",
        ],
    )
    def test_any_row_that_is_no_number_fails(self, cursor, condition):
        sql = "SELECT STATIONID FROM %s WHERE %s" % (ODD_TABLE, condition)
        with pytest.raises(oracle.DatabaseError) as info:
            fetch(cursor, sql)
        assert str(info.value).startswith("ORA-01722: invalid number")
        assert info.value.args[0].code == 1722

    @pytest.mark.parametrize(
        "condition, expected",
        [("STATIONID='37008'", {"37008"}),
         ("STATIONID='37008A'", {sample.ODD_STATION}),
         ("STATIONID IN ('37008', '37008A')", {"37008", sample.ODD_STATION}),
         ("STATIONID='37008' OR STATIONID='37008A'",
          {"37008", sample.ODD_STATION}),
         ("STATIONID LIKE '37008%'", {"37008", sample.ODD_STATION}),
         ("NOT (STATIONID<>'37008')", {"37008"}),
         (window("20100101", "20100131") + " AND (STATIONID='37008')", set())],
    )
    def test_quoted_comparisons_are_text_comparisons(self, cursor, raw_db,
                                                     condition, expected):
        rows = fetch(cursor, "SELECT STATIONID FROM %s WHERE %s"
                     % (ODD_TABLE, condition))
        assert {r[0] for r in rows} == expected
        if expected:
            count = raw_db.execute(
                'SELECT count(*) FROM "%s" WHERE STATIONID IN (%s)'
                % (sample.ODD_STATION_TABLE,
                   ",".join("'%s'" % c for c in expected))).fetchone()[0]
            assert len(rows) == count

    @pytest.mark.parametrize(
        "table",
        ["QZ_DICT_STATIONS", "QZ_DICT_STATIONPOINTS", "QZ_DICT_STATIONITEMS",
         sample.ODD_STATION_TABLE, sample.ODD_STATION_LOG],
    )
    def test_every_table_holding_the_code_fails(self, cursor, table):
        with pytest.raises(oracle.DatabaseError, match="^ORA-01722"):
            fetch(cursor, "SELECT STATIONID FROM QZDATA.%s WHERE "
                          "STATIONID=37005" % table)

    @pytest.mark.parametrize("table", ["QZ_321_DYS_60", "QZ_321_CP_90",
                                       sample.DEV_TABLE, "QZ_DLG_411"])
    def test_tables_without_the_code_compare_as_numbers(self, cursor, raw_db,
                                                        table):
        rows = fetch(cursor, "SELECT STATIONID FROM QZDATA.%s WHERE "
                             "STATIONID=37008 OR STATIONID=37005" % table)
        expected = raw_db.execute(
            'SELECT STATIONID FROM "%s" WHERE STATIONID IN (\'37008\', '
            '\'37005\')' % table).fetchall()
        assert rows == expected and rows

    def test_number_bind_converts_the_column(self, cursor):
        with pytest.raises(oracle.DatabaseError, match="^ORA-01722"):
            fetch(cursor, "SELECT STATIONID FROM %s WHERE POINTID='9' AND "
                          "STATIONID=:s" % ODD_TABLE, {"s": 37008})
        rows = fetch(cursor, "SELECT STATIONID FROM %s WHERE POINTID='9' AND "
                             "STATIONID=:s" % ODD_TABLE, {"s": "37008"})
        assert rows == []


@pytest.fixture(scope="module")
def small_conn(tmp_path_factory):
    """A file with a text column S and a number column N, and an empty table
    of the same columns."""
    path = tmp_path_factory.mktemp("strict") / "small.sqlite"
    db = sqlite3.connect(path)
    db.execute('CREATE TABLE "T" ("S" VARCHAR2(8), "N" NUMBER)')
    db.execute('CREATE TABLE "EMPTY" ("S" VARCHAR2(8), "N" NUMBER)')
    db.executemany('INSERT INTO "T" VALUES (?, ?)',
                   [("1", 1), ("x", 0), ("3", 3), ("20090105", 5)])
    db.commit()
    db.close()
    conn = oracle.connect("anyone", "anything", str(path))
    yield conn
    conn.close()


class TestOtherFailuresOnARow:
    @pytest.mark.parametrize(
        "condition, code",
        [("N=0 OR 1/N>0", "ORA-01476"),
         ("1/N>0 OR N=0", "ORA-01476"),
         ("N<>0 AND 1/N>0", "ORA-01476"),
         ("S<>'20090105' OR TO_DATE(S,'yyyymmdd') IS NOT NULL", "ORA-01840"),
         ("S='x' OR S=1", "ORA-01722"),
         ("S='x' OR SUBSTR(S,1,1)=1", "ORA-01722"),
         ("N<>1 OR S LIKE N || '%' ESCAPE S", "ORA-01425")],
    )
    def test_fails_whatever_decides_the_row(self, small_conn, condition,
                                            code):
        with small_conn.cursor() as cur:
            with pytest.raises(oracle.DatabaseError) as info:
                fetch(cur, "SELECT S FROM QZDATA.T WHERE " + condition)
        assert str(info.value).startswith(code)

    def test_select_list_is_computed_for_the_rows_returned(self, small_conn):
        # only the WHERE clause is evaluated on every row
        with small_conn.cursor() as cur:
            assert fetch(cur, "SELECT 1/N FROM QZDATA.T WHERE N<>0") == [
                (1,), (pytest.approx(1 / 3),), (pytest.approx(0.2),)]


class TestNumberColumnWithText:
    @pytest.mark.parametrize(
        "condition, expected",
        [("N='3'", [("3",)]), ("N=' 3 '", [("3",)]), ("N>'2.5'", [("3",),
                                                                  ("20090105",)]),
         ("N IN ('1', '3')", [("1",), ("3",)])],
    )
    def test_literal_is_converted(self, small_conn, condition, expected):
        with small_conn.cursor() as cur:
            assert fetch(cur, "SELECT S FROM QZDATA.T WHERE " + condition) == \
                expected

    @pytest.mark.parametrize("table", ["T", "EMPTY"])
    @pytest.mark.parametrize("condition, params",
                             [("N='abc'", None), ("N=:v", {"v": "abc"}),
                              ("S='1' OR N=:v", {"v": "3x"})])
    def test_text_that_is_no_number_fails_once(self, small_conn, table,
                                               condition, params):
        # the value is converted once, before any row is read: even a table
        # without rows fails
        with small_conn.cursor() as cur:
            with pytest.raises(oracle.DatabaseError, match="^ORA-01722"):
                fetch(cur, "SELECT S FROM QZDATA.%s WHERE %s"
                      % (table, condition), params)

    def test_bind_is_converted(self, small_conn):
        with small_conn.cursor() as cur:
            sql = "SELECT S FROM QZDATA.T WHERE N=:v"
            assert fetch(cur, sql, {"v": "3"}) == [("3",)]
            assert fetch(cur, sql, {"v": 5}) == [("20090105",)]
            assert fetch(cur, sql, {"v": ""}) == []  # empty text is NULL
