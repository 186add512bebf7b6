"""The second schema QZBAK through qzdb.oracle: its tables read as
QZBAK.<name>, ALL_TABLES lists them with their owner, and QZDATA does not
see them."""

import pytest

from qzdb import oracle, sample

BACKUP_TABLES = list(sample.BACKUP_COPIES) + [sample.BACKUP_ONLY_TABLE.name]


def fetch(cur, sql, params=None):
    cur.execute(sql, params) if params is not None else cur.execute(sql)
    return cur.fetchall()


@pytest.fixture
def text_cursor(ora_conn):
    """A cursor fetching CLOBs as text."""
    cur = ora_conn.cursor()
    cur.outputtypehandler = lambda c, name, t, *a: c.var(
        oracle.LONG_STRING, 0, c.arraysize) if t is oracle.CLOB else None
    yield cur
    cur.close()


class TestReading:
    @pytest.mark.parametrize("table", sample.BACKUP_COPIES)
    def test_copies_hold_the_same_rows(self, text_cursor, table):
        copy = fetch(text_cursor, "SELECT * FROM QZBAK.%s" % table)
        description = text_cursor.description
        original = fetch(text_cursor, "SELECT * FROM QZDATA.%s" % table)
        assert copy == original and copy
        assert description == text_cursor.description

    @pytest.mark.parametrize("table", BACKUP_TABLES)
    def test_rows_as_in_the_file(self, text_cursor, qz_sample_path, table):
        rows = fetch(text_cursor, "SELECT * FROM QZBAK.%s" % table)
        assert rows == list(sample.iter_rows(qz_sample_path, table, "QZBAK"))

    def test_table_of_its_own(self, text_cursor):
        old = fetch(text_cursor, "SELECT * FROM QZBAK.QZ_211_DYU_01_OLD "
                                 "WHERE STATIONID='37005'")
        new = fetch(text_cursor, "SELECT * FROM QZDATA.QZ_211_DYU_01 "
                                 "WHERE STATIONID='37005'")
        assert [r[:4] for r in old] == [r[:4] for r in new] and old
        assert all(a[4] != b[4] for a, b in zip(old, new)
                   if sample.EMPTY_ROW not in (a[4], b[4]))

    def test_union_across_schemas(self, cursor):
        sql = ("SELECT STATIONID FROM QZDATA.QZ_411_DYU_90 WHERE "
               "STATIONID='37005' UNION ALL SELECT STATIONID FROM "
               "QZBAK.QZ_411_DYU_90 WHERE STATIONID='37005'")
        rows = fetch(cursor, sql)
        assert len(rows) == 2 * len(fetch(
            cursor, "SELECT STATIONID FROM QZBAK.QZ_411_DYU_90 WHERE "
                    "STATIONID='37005'")) > 0

    @pytest.mark.parametrize(
        "name",
        ["QZDATA.QZ_211_DYU_01_OLD", "QZBAK.QZ_DICT_STATIONS",
         "QZBAK.QZ_211_DYS_01", 'QZDATA."QZDB_QZBAK$QZ_211_DYU_01"',
         "QZBAK.QZDB_USERS", '"QZBAK$QZ_211_DYU_01".X', "NOPE.QZ_211_DYU_01",
         "QZ_211_DYU_01_OLD"],
    )
    def test_other_names_do_not_exist(self, cursor, name):
        with pytest.raises(oracle.DatabaseError) as info:
            cursor.execute("SELECT * FROM %s" % name)
        assert str(info.value).startswith(
            "ORA-00942: table or view does not exist")


DISCOVERY = ("SELECT TABLE_NAME FROM ALL_TABLES WHERE OWNER=:owner AND "
             "TABLE_NAME LIKE '%' || :base_type_id || '%' AND TABLE_NAME LIKE "
             "'%' || :sample_rate_id || '%' AND TABLE_NAME LIKE '%' || "
             ":methodid || '%'")


class TestAllTables:
    @pytest.mark.parametrize(
        "owner, base, rate, method, expected",
        [("QZDATA", "DYU", "01", "211", ["QZ_211_DYU_01"]),
         ("QZBAK", "DYU", "01", "211", ["QZ_211_DYU_01", "QZ_211_DYU_01_OLD"]),
         ("QZDATA", "DYU", "90", "411", ["QZ_411_DYU_90"]),
         ("QZBAK", "DYU", "90", "411", ["QZ_411_DYU_90"]),
         ("QZBAK", "DYU", "60", "321", []),
         ("NOBODY", "DYU", "01", "211", [])],
    )
    def test_discovery_keeps_to_the_owner(self, cursor, owner, base, rate,
                                          method, expected):
        rows = fetch(cursor, DISCOVERY, {"owner": owner, "base_type_id": base,
                                         "sample_rate_id": rate,
                                         "methodid": method})
        assert [r[0] for r in rows] == expected

    def test_owners(self, cursor):
        rows = fetch(cursor, "SELECT OWNER, TABLE_NAME FROM ALL_TABLES WHERE "
                             "OWNER<>'QZDATA'")
        assert rows == [("QZBAK", n) for n in BACKUP_TABLES]
        assert cursor.description[0][0] == "OWNER"

    @pytest.mark.parametrize("schema, name, found",
                             [("QZBAK", "QZ_211_DYU_01_OLD", True),
                              ("QZDATA", "QZ_211_DYU_01_OLD", False),
                              ("QZBAK", "QZ_DLG_211", True),
                              ("QZBAK", "QZ_DLG_321", False)])
    def test_has_table_question(self, cursor, schema, name, found):
        sql = ("SELECT table_name FROM all_tables WHERE table_name = "
               "CAST(:name AS VARCHAR2(128)) AND owner = "
               "CAST(:schema_name AS VARCHAR2(128))")
        rows = fetch(cursor, sql, {"name": name, "schema_name": schema})
        assert rows == ([(name,)] if found else [])
