"""Statements at the scale Oracle accepts: IN lists up to 1000 expressions
(ORA-01795 beyond), OR chains of thousands of alternatives, UNION ALL of
more than a thousand blocks; and a station-name fragment that matches
hundreds of stations, end to end."""

import datetime
import re
import sqlite3
import time
import urllib.parse

import hypothesis
import hypothesis.strategies as st
import pytest

from qzdb import oracle, pytest_plugin, sample
from qzdb.oracle import values

WATER = "QZDATA." + sample.WATER_LEVEL_TABLE


def fetch(cur, sql, params=None):
    cur.execute(sql, params) if params is not None else cur.execute(sql)
    return cur.fetchall()


def as_stored(row):
    """A fetched row as the file stores it (dates as text)."""
    return tuple(v.isoformat(sep=" ") if isinstance(v, datetime.datetime)
                 else v for v in row)


def codes(n, start=30000):
    return ["%05d" % i for i in range(start, start + n)]


class TestInList:
    @pytest.mark.parametrize("negated", [False, True])
    @pytest.mark.parametrize("n", [1000, 999])
    def test_up_to_a_thousand(self, cursor, raw_db, n, negated):
        values = codes(n - 1) + ["37005"]
        sql = "SELECT STATIONID FROM %s WHERE STATIONID %sIN (%s)" % (
            WATER, "NOT " if negated else "",
            ",".join("'%s'" % c for c in values))
        rows = fetch(cursor, sql)
        expected = raw_db.execute(
            'SELECT STATIONID FROM "%s" WHERE STATIONID %s \'37005\''
            % (sample.WATER_LEVEL_TABLE, "<>" if negated else "=")).fetchall()
        assert rows == expected and rows

    @pytest.mark.parametrize("negated", [False, True])
    @pytest.mark.parametrize("kind", ["literals", "binds", "numbers"])
    @pytest.mark.parametrize("n", [1001, 5000])
    def test_more_than_a_thousand(self, cursor, n, kind, negated):
        values = codes(n)
        if kind == "literals":
            items, params = ",".join("'%s'" % c for c in values), None
        elif kind == "numbers":
            items, params = ",".join(values), None
        else:
            items = ",".join(":v%d" % i for i in range(n))
            params = {"v%d" % i: c for i, c in enumerate(values)}
        sql = "SELECT STATIONID FROM %s WHERE STATIONID %sIN (%s)" % (
            WATER, "NOT " if negated else "", items)
        with pytest.raises(oracle.DatabaseError) as info:
            fetch(cursor, sql, params)
        assert str(info.value).startswith(
            "ORA-01795: maximum number of expressions in a list is 1000")
        assert info.value.args[0].code == 1795


class TestOrChains:
    @pytest.mark.parametrize(
        "term",
        ["STATIONID='{}'", "STATIONID={}", "(STATIONID='{}')",
         "'{}'=STATIONID", "(STATIONID='{}' AND POINTID='h')",
         "STATIONID IN ('{}')"],
    )
    @pytest.mark.parametrize("n", [600, 5000])
    def test_thousands_of_alternatives(self, cursor, raw_db, n, term):
        values = codes(n - 1) + ["37005"]
        where = " OR ".join(term.format(c) for c in values)
        rows = fetch(cursor, "SELECT STATIONID, STARTDATE FROM %s WHERE (%s)"
                     % (WATER, where))
        expected = raw_db.execute(
            'SELECT STATIONID FROM "%s" WHERE STATIONID = \'37005\''
            % sample.WATER_LEVEL_TABLE).fetchall()
        assert [r[:1] for r in rows] == expected and rows

    def test_thousands_of_binds(self, cursor):
        values = codes(4999) + ["37005"]
        where = " OR ".join("STATIONID=:s%d" % i for i in range(len(values)))
        params = {"s%d" % i: c for i, c in enumerate(values)}
        rows = fetch(cursor, "SELECT STATIONID FROM %s WHERE %s"
                     % (WATER, where), params)
        assert rows and {r[0] for r in rows} == {"37005"}

    def test_alternatives_on_different_columns(self, cursor, raw_db):
        where = " OR ".join("STATIONID='%s' OR ITEMID='%s'" % (c, c)
                            for c in codes(2500)) + " OR ITEMID='4112'"
        rows = fetch(cursor, "SELECT ITEMID FROM %s WHERE %s" % (WATER, where))
        expected = raw_db.execute(
            'SELECT ITEMID FROM "%s" WHERE ITEMID = \'4112\''
            % sample.WATER_LEVEL_TABLE).fetchall()
        assert rows == expected and rows

    def test_thousands_of_and_terms(self, cursor, raw_db):
        where = " AND ".join("STATIONID<>'%s'" % c for c in codes(3000))
        rows = fetch(cursor, "SELECT STATIONID FROM %s WHERE %s"
                     % (WATER, where))
        expected = raw_db.execute('SELECT STATIONID FROM "%s"'
                                  % sample.WATER_LEVEL_TABLE).fetchall()
        assert rows == expected

    def test_conversion_in_a_long_chain_still_fails(self, cursor):
        where = " OR ".join("STATIONID='%s'" % c for c in codes(3000))
        sql = "SELECT STATIONID FROM QZDATA.%s WHERE %s OR STATIONID=37008" % (
            sample.ODD_STATION_TABLE, where)
        with pytest.raises(oracle.DatabaseError, match="^ORA-01722"):
            fetch(cursor, sql)

    @pytest.mark.parametrize("depth", [1, 100, 200])
    def test_nested_parentheses(self, cursor, raw_db, depth):
        sql = "SELECT STATIONID FROM %s WHERE %sSTATIONID='37005'%s" % (
            WATER, "(" * depth, ")" * depth)
        assert len(fetch(cursor, sql)) == raw_db.execute(
            'SELECT count(*) FROM "%s" WHERE STATIONID = \'37005\''
            % sample.WATER_LEVEL_TABLE).fetchone()[0]

    @pytest.mark.parametrize(
        "sql",
        ["SELECT STATIONID FROM %s WHERE %sSTATIONID='37005'%s" % (
            WATER, "(" * 2000, ")" * 2000),
         "SELECT STATIONID FROM %s WHERE %sSTATIONID='37005'" % (
            WATER, "NOT " * 3000),
         "SELECT %s FROM %s" % (" + ".join(["STATIONID"] * 3000), WATER)],
        ids=["parentheses", "not", "sum"],
    )
    def test_nesting_beyond_the_limits_gives_an_error(self, cursor, sql):
        with pytest.raises(oracle.DatabaseError, match="^QZDB-00001"):
            fetch(cursor, sql)


class TestExpressionChains:
    @pytest.mark.parametrize("n", [2, 60, 300])
    def test_concatenation(self, cursor, raw_db, n):
        rows = fetch(cursor, "SELECT %s FROM QZDATA.QZ_DICT_STATIONS"
                     % " || ".join(["STATIONID"] * n))
        assert rows == [(code * n,) for (code,) in raw_db.execute(
            'SELECT STATIONID FROM "QZ_DICT_STATIONS"')]

    @pytest.mark.parametrize("n", [2, 60, 300])
    def test_sums(self, cursor, n):
        sql = ("SELECT %s - STATIONID * 2 * 3 FROM %s WHERE STATIONID='37005'"
               % (" + ".join(["STATIONID"] * n), WATER))
        rows = fetch(cursor, sql)
        assert rows and set(rows) == {(37005 * n - 37005 * 6,)}

    @pytest.mark.parametrize("n", [60, 300])
    def test_pattern_of_many_pieces(self, cursor, n):
        sql = ("SELECT STATIONID FROM %s WHERE STATIONID LIKE %s || :tail"
               % (WATER, " || ".join(["'%'"] * n)))
        rows = fetch(cursor, sql, {"tail": "05"})
        assert rows and set(rows) == {("37005",)}


def block(i, table="QZ_DICT_STATIONS", where="STATIONID='37005'"):
    return "SELECT STATIONID, %d AS N FROM QZDATA.%s WHERE %s" % (i, table,
                                                                   where)


class TestUnionAll:
    @pytest.mark.parametrize("n", [499, 500, 501, 1000, 1234])
    def test_rows_in_block_order(self, cursor, n):
        rows = fetch(cursor, " UNION ALL ".join(block(i) for i in range(n)))
        assert rows == [("37005", i) for i in range(n)]
        assert [d[0] for d in cursor.description] == ["STATIONID", "N"]

    @pytest.mark.parametrize("size", [1, 7, 100, 333])
    def test_fetchmany_across_groups(self, cursor, size):
        cursor.execute(" UNION ALL ".join(block(i) for i in range(1050)))
        got = []
        while True:
            chunk = cursor.fetchmany(size)
            if not chunk:
                break
            assert len(chunk) <= size
            got.extend(chunk)
        assert got == [("37005", i) for i in range(1050)]
        assert cursor.rowcount == 1050

    def test_observation_blocks(self, cursor, raw_db):
        sql = " UNION ALL ".join(
            "SELECT * FROM %s WHERE STATIONID='%s'" % (WATER, c)
            for c in codes(1199) + ["37005"])
        rows = fetch(cursor, sql)
        expected = raw_db.execute(
            'SELECT * FROM "%s" WHERE STATIONID = \'37005\''
            % sample.WATER_LEVEL_TABLE).fetchall()
        assert [(r[0], r[4].read()) for r in rows] == [
            (r[0], r[4]) for r in expected]

    def test_checks_apply_to_every_block(self, cursor):
        blocks = [block(i) for i in range(1100)] + [
            block(1100, sample.ODD_STATION_TABLE, "STATIONID=37008")]
        with pytest.raises(oracle.DatabaseError, match="^ORA-01722"):
            fetch(cursor, " UNION ALL ".join(blocks))

    @pytest.mark.parametrize("bad, code", [
        (block(0, "NO_SUCH_TABLE"), "ORA-00942"),
        ("SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS", "ORA-01789"),
        ("SELECT STATIONID, STARTDATE FROM " + WATER, "ORA-01790")])
    def test_a_late_block_is_checked_before_any_row(self, cursor, bad, code):
        sql = " UNION ALL ".join([block(i) for i in range(1100)] + [bad])
        with pytest.raises(oracle.DatabaseError, match="^" + code):
            cursor.execute(sql)
        assert cursor.description is None


@pytest.fixture(scope="module")
def many_conn(qz_many_stations_path):
    conn = oracle.connect(sample.DEFAULT_USER, sample.DEFAULT_PASSWORD,
                          oracle.makedsn("localhost", 1521,
                                         pytest_plugin.MANY_STATIONS_SID))
    yield conn
    conn.close()


@pytest.fixture(scope="module")
def many_raw(qz_many_stations_path):
    db = sqlite3.connect("file:%s?mode=ro" % urllib.parse.quote(
        qz_many_stations_path), uri=True)
    yield db
    db.close()


class TestManyStations:
    FIND = ("SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS WHERE STATIONNAME "
            "LIKE '%' || :stationname || '%'")

    def test_fragment_matches_hundreds(self, many_conn):
        with many_conn.cursor() as cur:
            found = [r[0] for r in fetch(cur, self.FIND,
                                         {"stationname": "地震台"})]
        assert len(found) == 600
        assert sample.ODD_STATION in found and "37005" not in found

    @pytest.mark.parametrize("table", ["QZ_412_DYU_90", "QZ_411_DYU_60",
                                       "QZ_DLG_412"])
    @pytest.mark.parametrize("quote_all", [False, True])
    def test_read_every_matching_station(self, many_conn, many_raw, table,
                                         quote_all):
        with many_conn.cursor() as cur:
            found = [r[0] for r in fetch(cur, self.FIND,
                                         {"stationname": "地震台"})]
            terms = ["STATIONID=%s" % c if c.isdigit() and not quote_all
                     else "STATIONID='%s'" % c for c in found]
            sql = ("SELECT * FROM QZDATA.%s WHERE STARTDATE>=TO_DATE("
                   "'20090101','yyyymmdd') AND STARTDATE<TO_DATE('20090102',"
                   "'yyyymmdd')+1 AND (%s)" % (table, " OR ".join(terms)))
            cur.outputtypehandler = lambda c, name, t, *a: c.var(
                oracle.LONG_STRING, 0, c.arraysize) if t is oracle.CLOB \
                else None
            rows = fetch(cur, sql)
        expected = many_raw.execute(
            'SELECT * FROM "%s" WHERE STARTDATE < \'2009-01-03\' AND '
            'STATIONID <> \'37005\'' % table).fetchall()
        assert len({r[0] for r in rows}) > 100
        assert [as_stored(r) for r in rows] == expected

    def test_bare_numbers_fail_on_the_table_with_the_odd_code(self,
                                                              many_conn):
        with many_conn.cursor() as cur:
            found = [r[0] for r in fetch(cur, self.FIND,
                                         {"stationname": "地震台"})]
            terms = ["STATIONID=%s" % c for c in found if c.isdigit()]
            with pytest.raises(oracle.DatabaseError, match="^ORA-01722"):
                fetch(cur, "SELECT * FROM QZDATA.%s WHERE %s"
                      % (sample.ODD_STATION_TABLE, " OR ".join(terms)))


def like_reference(value, pattern, escape=None):
    """LIKE by a regular expression (fine for short texts)."""
    out = []
    i = 0
    while i < len(pattern):
        c = pattern[i]
        if escape is not None and c == escape:
            out.append(re.escape(pattern[i + 1]))
            i += 2
            continue
        out.append(".*" if c == "%" else "." if c == "_" else re.escape(c))
        i += 1
    return re.fullmatch("".join(out), value, re.S) is not None


class TestLikeMatching:
    @hypothesis.given(value=st.text("ab%_\n", max_size=12),
                      pattern=st.text("ab%_", max_size=8))
    @hypothesis.settings(max_examples=2000, deadline=None)
    def test_agrees_with_a_regular_expression(self, value, pattern):
        assert values._like(value or None, pattern or None) == (
            None if not value or not pattern
            else int(like_reference(value, pattern)))

    @hypothesis.given(value=st.text("ab%_!", max_size=10),
                      pattern=st.lists(st.sampled_from(
                          ["a", "b", "%", "_", "!%", "!_", "!!"]), max_size=6))
    @hypothesis.settings(max_examples=1000, deadline=None)
    def test_escapes_agree(self, value, pattern):
        pattern = "".join(pattern)
        if not value or not pattern:
            return
        assert values._like(value, pattern, "!") == int(
            like_reference(value, pattern, "!"))

    @pytest.mark.parametrize("pattern", ["%" * 300 + "b", "a%" * 200 + "b",
                                         "%a%a%a%a%a%a%a%a%a%a%a%b"])
    def test_patterns_of_many_pieces_take_no_time(self, pattern):
        started = time.perf_counter()
        assert values._like("a" * 5000, pattern) == 0
        assert values._like("a" * 5000 + "b", pattern) == 1
        assert time.perf_counter() - started < 2
