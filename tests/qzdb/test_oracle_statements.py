"""The Oracle statement forms the fetch modules send, answered by qzdb.oracle
and checked against the sample file read directly with sqlite3."""

import datetime
import itertools

import pytest

from qzdb import oracle, sample

LIKE = "'%' || :{0} || '%'"


def fetch(cur, sql, params=None):
    cur.execute(sql, params) if params is not None else cur.execute(sql)
    return cur.fetchall()


def day(text):
    return datetime.datetime.strptime(text, "%Y%m%d")


def window(date_1, date_2):
    return ("STARTDATE>=TO_DATE('%s','yyyymmdd') AND "
            "STARTDATE<TO_DATE('%s','yyyymmdd')+1" % (date_1, date_2))


class TestDictionaries:
    @pytest.mark.parametrize(
        "sql, table, columns",
        [("SELECT STATIONID,STATIONNAME FROM QZDATA.QZ_DICT_STATIONS",
          "QZ_DICT_STATIONS", ["STATIONID", "STATIONNAME"]),
         ("SELECT STATIONID,POINTID,POINTNAME FROM QZDATA.QZ_DICT_STATIONPOINTS",
          "QZ_DICT_STATIONPOINTS", ["STATIONID", "POINTID", "POINTNAME"]),
         ("SELECT ITEMID,ITEMNAME,UNIT FROM QZDATA.QZ_DICT_ITEMS",
          "QZ_DICT_ITEMS", ["ITEMID", "ITEMNAME", "UNIT"]),
         ("SELECT METHODID FROM QZDATA.QZ_DICT_METHODS",
          "QZ_DICT_METHODS", ["METHODID"])],
    )
    def test_plain_reads(self, cursor, raw_db, sql, table, columns):
        rows = fetch(cursor, sql)
        assert [d[0] for d in cursor.description] == columns
        expected = raw_db.execute(
            "SELECT %s FROM \"%s\"" % (",".join(columns), table)).fetchall()
        assert rows == expected and rows

    @pytest.mark.parametrize("digit", ["2", "3", "4"])
    def test_discipline_method_codes(self, cursor, raw_db, digit):
        sql = ("SELECT SUBSTR(ITEMID,1,3) FROM QZDATA.QZ_DICT_STATIONITEMS "
               "WHERE SUBSTR(ITEMID,1,1)=%s" % digit)
        rows = fetch(cursor, sql)
        assert cursor.description[0][0] == "SUBSTR(ITEMID,1,3)"
        expected = [(item[:3],) for (item,) in raw_db.execute(
            'SELECT ITEMID FROM "QZ_DICT_STATIONITEMS"') if item[0] == digit]
        assert rows == expected and rows

    def test_all_disciplines(self, cursor, raw_db):
        rows = fetch(cursor, "SELECT SUBSTR(ITEMID,1,3) FROM "
                             "QZDATA.QZ_DICT_STATIONITEMS")
        expected = [(item[:3],) for (item,) in raw_db.execute(
            'SELECT ITEMID FROM "QZ_DICT_STATIONITEMS"')]
        assert rows == expected

    def test_number_comparison_converts_text(self, cursor):
        # Oracle compares text with a number as numbers: " 37005" and
        # "037005" would both equal 37005; 'h' cannot be converted
        rows = fetch(cursor, "SELECT STATIONID FROM QZDATA.QZ_411_DYU_90 "
                             "WHERE STATIONID=037005.0")
        assert rows and set(rows) == {("37005",)}
        with pytest.raises(oracle.DatabaseError, match="^ORA-01722"):
            fetch(cursor, "SELECT POINTID FROM QZDATA.QZ_DICT_STATIONPOINTS "
                          "WHERE POINTID=1")

    @pytest.mark.parametrize(
        "table, column, key, bind, fragment",
        [("QZ_DICT_METHODS", "METHODNAME", "METHODID", "methodname", "水位"),
         ("QZ_DICT_METHODS", "METHODNAME", "METHODID", "methodname",
          "直流单装置地电阻率"),
         ("QZ_DICT_METHODS", "METHODNAME", "METHODID", "methodname", "水"),
         ("QZ_DICT_METHODS", "METHODNAME", "METHODID", "methodname", "无此方法"),
         ("QZ_DICT_STATIONS", "STATIONNAME", "STATIONID", "stationname", "郯城"),
         ("QZ_DICT_STATIONS", "STATIONNAME", "STATIONID", "stationname", "地震台"),
         ("QZ_DICT_ITEMS", "ITEMNAME", "ITEMID", "itemname", "水位"),
         ("QZ_DICT_ITEMS", "ITEMNAME", "ITEMID", "itemname", "H"),
         ("QZ_DICT_ITEMS", "ITEMNAME", "ITEMID", "itemname", "h"),
         ("QZ_DICT_ITEMS", "ITEMNAME", "ITEMID", "itemname", "NS"),
         ("QZ_DICT_ITEMS", "ITEMNAME", "ITEMID", "itemname", "ns")],
    )
    def test_name_lookup(self, cursor, raw_db, table, column, key, bind,
                         fragment):
        sql = "SELECT %s FROM QZDATA.%s WHERE %s LIKE %s" % (
            key, table, column, LIKE.format(bind))
        rows = fetch(cursor, sql, {bind: fragment})
        # case-sensitive containment, as Oracle's LIKE
        expected = [(k,) for k, name in raw_db.execute(
            'SELECT %s, %s FROM "%s"' % (key, column, table)) if fragment in name]
        assert rows == expected

    def test_like_is_case_sensitive(self, cursor):
        sql = ("SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME LIKE "
               + LIKE.format("itemname"))
        assert fetch(cursor, sql, {"itemname": "H"}) == [("3122",)]
        assert fetch(cursor, sql, {"itemname": "h"}) == []

    @pytest.mark.parametrize(
        "pattern, expected",
        [("地_阻", ["3211", "3212"]), ("地%NS", ["3211", "3311"]),
         ("水%量", ["2111", "2112", "3122"]), ("_", None)],
    )
    def test_like_wildcards_inside_the_value(self, cursor, raw_db, pattern,
                                             expected):
        sql = ("SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME LIKE "
               + LIKE.format("itemname"))
        rows = [r[0] for r in fetch(cursor, sql, {"itemname": pattern})]
        if expected is None:
            expected = [r[0] for r in raw_db.execute(
                'SELECT ITEMID FROM "QZ_DICT_ITEMS"')]
        assert rows == expected

    def test_item_list(self, cursor):
        sql = ("SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME IN "
               "('地电阻率NS','地电阻率EW')")
        assert fetch(cursor, sql) == [("3211",), ("3212",)]


DISCOVERY = ("SELECT TABLE_NAME FROM ALL_TABLES WHERE TABLE_NAME LIKE '%' || "
             ":base_type_id || '%' AND TABLE_NAME LIKE '%' || :sample_rate_id "
             "|| '%' AND TABLE_NAME LIKE '%' || :methodid || '%'")
LOG_DISCOVERY = ("SELECT TABLE_NAME FROM ALL_TABLES WHERE TABLE_NAME LIKE '%' "
                 "|| :base_type_id || '%' AND TABLE_NAME LIKE '%' || :methodid "
                 "|| '%'")


BACKUP_TABLES = list(sample.BACKUP_COPIES) + [sample.BACKUP_ONLY_TABLE.name]


def qzdata_tables(raw_db):
    """The tables of QZDATA in the file, in the order they were written."""
    return [n for (n,) in raw_db.execute(
        "SELECT name FROM sqlite_master WHERE type='table' ORDER BY rowid")
        if not n.startswith("QZDB_")]


class TestCatalogue:
    @pytest.mark.parametrize(
        "base, rate, method",
        list(itertools.product(["DYS", "DYU", "CP"], ["02", "01", "60", "90"],
                               [m for m, _ in sample.METHODS])),
    )
    def test_discovery(self, cursor, raw_db, base, rate, method):
        rows = fetch(cursor, DISCOVERY + " AND OWNER='QZDATA'",
                     {"base_type_id": base, "sample_rate_id": rate,
                      "methodid": method})
        names = [r[0] for r in rows]
        in_file = [n for n in qzdata_tables(raw_db)
                   if base in n and rate in n and method in n]
        designed = [t.name for t in sample.OBSERVATION_TABLES
                    if (t.base, t.rate, t.method) == (base, rate, method)]
        assert names == in_file == designed

    @pytest.mark.parametrize(
        "base, rate, method, backup",
        [("DYU", "01", "211", ["QZ_211_DYU_01", "QZ_211_DYU_01_OLD"]),
         ("DYU", "90", "411", ["QZ_411_DYU_90"]),
         ("DYU", "60", "321", []), ("DYS", "01", "211", [])],
    )
    def test_discovery_without_owner_sees_every_schema(self, cursor, base,
                                                       rate, method, backup):
        sql = DISCOVERY.replace("SELECT TABLE_NAME", "SELECT OWNER, TABLE_NAME")
        rows = fetch(cursor, sql, {"base_type_id": base,
                                   "sample_rate_id": rate,
                                   "methodid": method})
        designed = [t.name for t in sample.OBSERVATION_TABLES
                    if (t.base, t.rate, t.method) == (base, rate, method)]
        assert rows == [("QZDATA", n) for n in designed] + [
            ("QZBAK", n) for n in backup]

    @pytest.mark.parametrize("method", [m for m, _ in sample.METHODS])
    def test_log_discovery(self, cursor, method):
        rows = fetch(cursor, LOG_DISCOVERY + " AND OWNER='QZDATA'",
                     {"base_type_id": "DLG", "methodid": method})
        assert [r[0] for r in rows] == [
            name for name, m in sample.LOG_TABLES if m == method]
        everywhere = fetch(cursor, LOG_DISCOVERY, {"base_type_id": "DLG",
                                                   "methodid": method})
        copied = ["QZ_DLG_%s" % method] if "QZ_DLG_%s" % method in \
            sample.BACKUP_COPIES else []
        assert everywhere == rows + [(n,) for n in copied]

    def test_lists_tables_but_not_internal_ones(self, cursor, raw_db):
        rows = fetch(cursor, "SELECT TABLE_NAME, OWNER FROM ALL_TABLES")
        assert rows == [(n, "QZDATA") for n in qzdata_tables(raw_db)] + [
            (n, "QZBAK") for n in BACKUP_TABLES]
        names = [r[0] for r in rows]
        for internal in (sample.USERS_TABLE, sample.INSTANCE_TABLE):
            assert internal not in names
            with pytest.raises(oracle.DatabaseError, match="^ORA-00942"):
                cursor.execute("SELECT * FROM QZDATA.%s" % internal)

    def test_has_table_question(self, cursor):
        sql = ("SELECT table_name FROM all_tables WHERE table_name = "
               "CAST(:name AS VARCHAR2(128)) AND owner = "
               "CAST(:schema_name AS VARCHAR2(128))")
        question = "SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS"
        assert fetch(cursor, sql, {"name": question,
                                   "schema_name": "QZREADER"}) == []
        assert fetch(cursor, sql, {"name": "QZ_DICT_ITEMS",
                                   "schema_name": "QZDATA"}) == [
            ("QZ_DICT_ITEMS",)]

    def test_current_schema(self, cursor):
        assert fetch(cursor, "select sys_context( 'userenv', "
                             "'current_schema' ) from dual") == [
            (sample.DEFAULT_USER.upper(),)]


class TestDates:
    @pytest.mark.parametrize(
        "text, days, expected",
        [("20090131", "1", datetime.datetime(2009, 2, 1)),
         ("20090228", "1", datetime.datetime(2009, 3, 1)),
         ("20120228", "1", datetime.datetime(2012, 2, 29)),
         ("20120229", "1", datetime.datetime(2012, 3, 1)),
         ("20000228", "1", datetime.datetime(2000, 2, 29)),
         ("21000228", "1", datetime.datetime(2100, 3, 1)),
         ("20091231", "1", datetime.datetime(2010, 1, 1)),
         ("20090430", "1", datetime.datetime(2009, 5, 1)),
         ("20120301", "-1", datetime.datetime(2012, 2, 29)),
         ("20090101", "0.5", datetime.datetime(2009, 1, 1, 12)),
         ("20090101", "31", datetime.datetime(2009, 2, 1))],
    )
    def test_day_arithmetic(self, cursor, text, days, expected):
        sql = "SELECT TO_DATE('%s','yyyymmdd')+%s FROM DUAL" % (text, days)
        assert fetch(cursor, sql) == [(expected,)]
        assert cursor.description[0][1] is oracle.DB_TYPE_DATE

    def test_day_arithmetic_on_a_bind(self, cursor):
        sql = "SELECT TO_DATE(:d,'yyyymmdd')+1 FROM DUAL"
        assert fetch(cursor, sql, {"d": "20120228"}) == [
            (datetime.datetime(2012, 2, 29),)]

    @pytest.mark.parametrize(
        "text, code",
        [("20090230", "ORA-01839"), ("20090229", "ORA-01839"),
         ("20091301", "ORA-01843"), ("20090100", "ORA-01847"),
         ("200901", "ORA-01840"), ("200901011", "ORA-01830"),
         ("2009AB01", "ORA-01858"), ("00000101", "ORA-01841")],
    )
    def test_invalid_dates(self, cursor, text, code):
        with pytest.raises(oracle.DatabaseError, match="^" + code):
            cursor.execute("SELECT TO_DATE('%s','yyyymmdd') FROM DUAL" % text)
        with pytest.raises(oracle.DatabaseError, match="^" + code):
            cursor.execute("SELECT TO_DATE(:d,'yyyymmdd') FROM DUAL",
                           {"d": text})
            cursor.fetchall()

    @pytest.mark.parametrize(
        "date_1, date_2, expected",
        [("20120228", "20120229", ["20120228", "20120229"]),
         ("20120229", "20120229", ["20120229"]),
         ("20120229", "20120301", ["20120229", "20120301"]),
         ("20120227", "20120301", ["20120227", "20120228", "20120229",
                                   "20120301"]),
         ("20120301", "20120228", []),
         ("20120302", "20120331", [])],
    )
    def test_whole_day_window(self, leap_conn, date_1, date_2, expected):
        with leap_conn.cursor() as cur:
            rows = fetch(cur, "SELECT * FROM QZDATA.QZ_411_DYU_90 WHERE "
                         + window(date_1, date_2) + " AND (STATIONID=37008)")
            rows_all = fetch(cur, "SELECT * FROM QZDATA.QZ_411_DYU_90 WHERE "
                             + window(date_1, date_2))
        # 37008 has no water level; the other rows fall on the expected days
        assert rows == []
        assert sorted({r[3] for r in rows_all}) == [day(d) for d in expected]

    @pytest.mark.parametrize(
        "date_1, date_2",
        [("20120227", "20120227"), ("20120228", "20120229"),
         ("20120229", "20120301"), ("20120301", "20120301")],
    )
    def test_window_on_times_of_day(self, leap_conn, leap_sample_path,
                                    date_1, date_2):
        with leap_conn.cursor() as cur:
            rows = fetch(cur, "SELECT * FROM QZDATA.QZ_DLG_412 WHERE "
                         + window(date_1, date_2))
        start, end = day(date_1), day(date_2) + datetime.timedelta(days=1)
        expected = [r for r in sample.iter_rows(leap_sample_path, "QZ_DLG_412")
                    if start <= r[3] < end]
        assert rows == expected


def obs_statement(table, date_1, date_2, stations="", items="", point=""):
    return ("SELECT * FROM QZDATA." + table + " WHERE " + window(date_1, date_2)
            + stations + items + point)


class TestObservationStatements:
    def test_single_table(self, cursor, qz_sample_path):
        rows = fetch(cursor, obs_statement("QZ_411_DYU_90", "20090101",
                                           "20090110"))
        expected = [r for r in sample.iter_rows(qz_sample_path, "QZ_411_DYU_90")
                    if day("20090101") <= r[3] < day("20090111")]
        assert [(r[:4], r[4].read(), r[5]) for r in rows] == [
            (r[:4], r[4], r[5]) for r in expected]
        assert rows

    def test_filters_and_union(self, cursor, qz_sample_path):
        stations = " AND (STATIONID='37008' OR STATIONID='37001')"
        items = " AND (ITEMID='3211' OR ITEMID='3212')"
        point = " AND (POINTID='2')"
        tables = ["QZ_321_DYU_60", "QZ_321_DYS_60"]
        sql = " UNION ALL ".join(
            obs_statement(t, "20090105", "20090106", stations, items, point)
            for t in tables)
        rows = fetch(cursor, sql)
        expected = []
        for t in tables:
            expected += [r for r in sample.iter_rows(qz_sample_path, t)
                         if r[0] in ("37008", "37001")
                         and r[2] in ("3211", "3212") and r[1] == "2"
                         and day("20090105") <= r[3] < day("20090107")]
        assert [r[:4] + (r[4].read(),) for r in rows] == [
            r[:5] for r in expected]
        assert {r[0] for r in rows} >= {"37008"}

    def test_empty_station_list_is_a_syntax_error(self, cursor):
        sql = obs_statement("QZ_411_DYU_90", "20090101", "20090102",
                            stations=" AND ()")
        with pytest.raises(oracle.DatabaseError, match="^ORA-00936"):
            cursor.execute(sql)

    def test_union_of_different_columns(self, cursor):
        sql = (obs_statement("QZ_411_DYU_90", "20090101", "20090102")
               + " UNION ALL " + obs_statement("QZ_DLG_411", "20090101",
                                               "20090102"))
        with pytest.raises(oracle.DatabaseError, match="^ORA-01789"):
            cursor.execute(sql)

    def test_union_of_clob_and_blob(self, cursor):
        sql = (obs_statement("QZ_312_DYU_02", "20090101", "20090102")
               + " UNION ALL " + obs_statement("QZ_312_DYS_02", "20090101",
                                               "20090102"))
        with pytest.raises(oracle.DatabaseError, match="^ORA-01790"):
            cursor.execute(sql)


class TestLogStatements:
    @pytest.mark.parametrize("evt_id", ["313", "311", "316", "999"])
    def test_event_type(self, cursor, qz_sample_path, evt_id):
        tables = [name for name, _ in sample.LOG_TABLES[:2]]
        sql = " UNION ALL ".join(
            "SELECT * FROM QZDATA." + t + " WHERE " + window("20090101",
                                                             "20090131")
            + " AND EVTID IN (:evt_id)" for t in tables)
        rows = fetch(cursor, sql, {"evt_id": evt_id})
        expected = []
        for t in tables:
            expected += [r for r in sample.iter_rows(qz_sample_path, t)
                         if r[5] == evt_id
                         and day("20090101") <= r[3] < day("20090201")]
        assert rows == expected
        assert (len(rows) > 0) == (evt_id != "999")

    def test_station_and_item_filters(self, cursor, qz_sample_path):
        sql = ("SELECT * FROM QZDATA.QZ_DLG_321 WHERE " + window("20090101",
                                                                 "20090131")
               + " AND EVTID IN (:evt_id) AND (STATIONID='37008') AND "
                 "(ITEMID='3211' OR ITEMID='3212')")
        rows = fetch(cursor, sql, {"evt_id": "313"})
        expected = [r for r in sample.iter_rows(qz_sample_path, "QZ_DLG_321")
                    if r[0] == "37008" and r[2] in ("3211", "3212")
                    and r[5] == "313"]
        assert rows == expected and rows


class TestRejected:
    @pytest.mark.parametrize(
        "sql, start",
        [("SELECT * FROM QZDATA.QZ_DICT_ITEMS WHERE ()", "ORA-00936"),
         ("SELECT * FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMID=", "ORA-00936"),
         ("SELECT * FROM QZDATA.QZ_DICT_ITEMS;", "ORA-00911"),
         ("SELECT * FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMID", "ORA-00920"),
         ("SELECT ITEMID QZDATA.QZ_DICT_ITEMS", "ORA-00923"),
         ("SELECT * FROM QZDATA.QZ_DICT_ITEMS X Y", "QZDB-00001"),
         ("SELECT * FROM QZ_DICT_ITEMS", "ORA-00942"),
         ("SELECT * FROM QZDATA.NO_SUCH_TABLE", "ORA-00942"),
         ("SELECT NOPE FROM QZDATA.QZ_DICT_ITEMS", 'ORA-00904: "NOPE"'),
         ("QZ_DICT_ITEMS", "ORA-00900"),
         ("SELECT * FROM QZDATA.QZ_DICT_ITEMS ORDER BY ITEMID", "QZDB-00001"),
         ("SELECT UPPER(ITEMID) FROM QZDATA.QZ_DICT_ITEMS", "QZDB-00001"),
         ("SELECT DISTINCT ITEMID FROM QZDATA.QZ_DICT_ITEMS", "QZDB-00001"),
         ("SELECT * FROM QZDATA.QZ_DICT_ITEMS UNION "
          "SELECT * FROM QZDATA.QZ_DICT_ITEMS", "QZDB-00001"),
         ("SELECT * FROM QZDATA.QZ_DICT_ITEMS, QZDATA.QZ_DICT_METHODS",
          "QZDB-00001"),
         ("SELECT * FROM ALL_TABLES", "QZDB-00001"),
         ("SELECT value FROM v$parameter WHERE name = 'compatible'",
          "ORA-00942"),
         ("begin :x := 1; end;", "QZDB-00001"),
         ("SELECT * FROM QZDATA.QZ_411_DYU_90 WHERE STARTDATE>='2009-01-01'",
          "QZDB-00001"),
         ("SELECT * FROM QZDATA.QZ_411_DYU_90 WHERE STARTDATE>=20090101",
          "ORA-00932"),
         ("SELECT * FROM QZDATA.QZ_411_DYU_90 WHERE OBSVALUE='1'",
          "ORA-00932"),
         ("SELECT TO_DATE('20090101','yyyymmdd')+TO_DATE('20090101',"
          "'yyyymmdd') FROM DUAL", "ORA-00975"),
         ("SELECT TO_DATE('2009','RR') FROM DUAL", "QZDB-00001"),
         ("SELECT 'abc FROM DUAL", "ORA-01756")],
    )
    def test_error(self, cursor, sql, start):
        with pytest.raises(oracle.DatabaseError) as info:
            cursor.execute(sql)
        assert str(info.value).startswith(start)
        assert str(info.value).endswith("qzdb statement: " + sql)
