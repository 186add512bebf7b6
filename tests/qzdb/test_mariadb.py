"""The private MariaDB server: life cycle, the loaded sample, and the MySQL
statements of the observation fetch."""

import os
import socket

import pymysql
import pytest

from qzdb import mariadb, sample

TABLES = (list(sample.DICTIONARY_TABLES)
          + [t.name for t in sample.OBSERVATION_TABLES]
          + [name for name, _ in sample.LOG_TABLES])
BACKUP_TABLES = list(sample.BACKUP_COPIES) + [sample.BACKUP_ONLY_TABLE.name]


def ordered(rows):
    return sorted(rows, key=lambda r: tuple(map(repr, r)))


@pytest.fixture(scope="module")
def my_conn(qz_mariadb):
    conn = qz_mariadb.connect()
    yield conn
    conn.close()


def fetch(conn, sql, params=None):
    with conn.cursor() as cur:
        cur.execute(sql, params)
        return [d[0] for d in cur.description], list(cur.fetchall())


class TestServer:
    def test_settings(self, qz_mariadb):
        assert qz_mariadb.host == "127.0.0.1"
        assert isinstance(qz_mariadb.port, int)
        assert qz_mariadb.database == "QZDATA"
        assert "%" in qz_mariadb.password and "@" in qz_mariadb.password
        assert os.path.exists(qz_mariadb.socket)
        assert qz_mariadb.running
        assert qz_mariadb.conf_section() == {
            "HOST": "127.0.0.1", "PORT": str(qz_mariadb.port),
            "USERNAME": qz_mariadb.user, "PASSWORD": qz_mariadb.password,
            "TNSNAME": "QZDATA"}

    def test_user_reads_but_cannot_write(self, my_conn):
        assert fetch(my_conn, "SELECT DATABASE(), CURRENT_USER()")[1][0][0] == \
            "QZDATA"
        with pytest.raises(pymysql.err.OperationalError) as info:
            fetch(my_conn, "DELETE FROM QZDATA.QZ_DICT_ITEMS")
        assert info.value.args[0] == 1142

    def test_wrong_password(self, qz_mariadb):
        with pytest.raises(pymysql.err.OperationalError) as info:
            qz_mariadb.connect(password="wrong")
        assert info.value.args[0] == 1045

    def test_utf8mb4(self, my_conn):
        assert fetch(my_conn, "SELECT @@character_set_server")[1] == [
            ("utf8mb4",)]


class TestLoadedSample:
    def test_same_tables(self, my_conn):
        _, found = fetch(my_conn, "SELECT TABLE_NAME FROM information_schema."
                                  "tables WHERE TABLE_SCHEMA = 'QZDATA'")
        assert sorted(r[0] for r in found) == sorted(TABLES)

    @pytest.mark.parametrize("table", TABLES)
    def test_same_rows(self, my_conn, qz_sample_path, table):
        columns, found = fetch(my_conn, "SELECT * FROM QZDATA.%s" % table)
        definition = next(t for t in sample.read_tables(qz_sample_path)
                          if t.name == table)
        assert columns == [c.name for c in definition.columns]
        expected = list(sample.iter_rows(qz_sample_path, definition))
        assert ordered(found) == ordered(expected)
        assert len(found) > 0


class TestFetchStatements:
    SQL = ("SELECT TABLE_SCHEMA, TABLE_NAME FROM information_schema.tables "
           "WHERE TABLE_NAME LIKE %s AND TABLE_NAME LIKE %s AND TABLE_NAME "
           "LIKE %s ")

    @pytest.mark.parametrize(
        "base, rate, method",
        [(b, r, m) for b in ("DYS", "DYU", "CP") for r in sample.RATES
         for m, _ in sample.METHODS])
    def test_table_discovery(self, my_conn, base, rate, method):
        params = ["%%" + base + "%%", "%%" + rate + "%%", "%%" + method + "%%"]
        _, found = fetch(my_conn, self.SQL, params)
        designed = [("QZDATA", t.name) for t in sample.OBSERVATION_TABLES
                    if (t.base, t.rate, t.method) == (base, rate, method)]
        backup = [("QZBAK", n) for n in BACKUP_TABLES
                  if base in n and rate in n and method in n]
        assert sorted(found) == sorted(designed + backup)
        _, owned = fetch(my_conn, self.SQL + "AND TABLE_SCHEMA = 'QZDATA'",
                         params)
        assert sorted(owned) == sorted(designed)

    @pytest.mark.parametrize(
        "sql, fragment, expected",
        [("SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS WHERE STATIONNAME "
          "LIKE %s ", "郯城", [("37005",)]),
         ("SELECT METHODID FROM QZDATA.QZ_DICT_METHODS WHERE METHODNAME "
          "LIKE %s ", "水位", [("411",)]),
         ("SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME LIKE %s ",
          "地电阻率", [("3211",), ("3212",)])],
    )
    def test_name_lookup(self, my_conn, sql, fragment, expected):
        _, found = fetch(my_conn, sql, ["%%" + fragment + "%%"])
        assert sorted(found) == expected

    @pytest.mark.parametrize(
        "date_1, date_2, filters",
        [("20090101", "20090131", " AND (STATIONID=37005)"),
         ("20090105", "20090105", ""),
         ("20090110", "20090103", "")],
    )
    def test_observation_rows(self, my_conn, qz_sample_path, date_1, date_2,
                              filters):
        table = sample.WATER_LEVEL_TABLE
        sql = ("SELECT * FROM QZDATA." + table + " WHERE STARTDATE >= "
               + date_1 + " AND STARTDATE <= " + date_2 + filters)
        columns, found = fetch(my_conn, sql)
        assert columns == ["STATIONID", "POINTID", "ITEMID", "STARTDATE",
                           "OBSVALUE", "UNIT"]
        lo, hi = (sample._parse_start(d) for d in (date_1, date_2))
        expected = [r for r in sample.iter_rows(qz_sample_path, table)
                    if lo <= r[3].date() <= hi
                    and (not filters or r[0] == "37005")]
        assert ordered(found) == ordered(expected)
        assert (len(found) > 0) == (lo <= hi)


def port_open(port):
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex(("127.0.0.1", port)) == 0


class TestLifeCycle:
    @pytest.mark.parametrize("round_", [1, 2])
    def test_start_and_stop(self, tmp_path, round_):
        server = mariadb.MariaDBServer(base_dir=str(tmp_path))
        server.start()
        try:
            directory, port = server.directory, server.port
            assert server.running and port_open(port)
            conn = server.connect()
            assert fetch(conn, "SELECT 1")[1] == [(1,)]
            conn.close()
        finally:
            status = server.stop()
        assert status == 0
        assert not server.running
        assert not os.path.exists(directory)
        assert not port_open(port)

    def test_context_manager(self, tmp_path, qz_sample_path):
        with mariadb.MariaDBServer(base_dir=str(tmp_path)) as server:
            counts = server.load_sample(qz_sample_path)
            assert counts == sample.row_counts(qz_sample_path)
            directory = server.directory
        assert server.returncode == 0
        assert not os.path.exists(directory)

    def test_long_folder_name(self, tmp_path):
        base = tmp_path / ("long" * 25)
        base.mkdir()
        with mariadb.MariaDBServer(base_dir=str(base)) as server:
            assert len(server.socket) <= 100
            socket_path = server.socket
            conn = server.connect()
            assert fetch(conn, "SELECT 1")[1] == [(1,)]
            conn.close()
        assert server.returncode == 0
        assert not os.path.exists(socket_path)

    def test_installed(self):
        assert mariadb.ensure_installed(install=False) is None
        assert mariadb.find_server() and mariadb.find_install_db()


class TestBackupSchema:
    def test_listed_by_information_schema(self, my_conn):
        _, found = fetch(my_conn, "SELECT TABLE_NAME FROM information_schema."
                                  "tables WHERE TABLE_SCHEMA = 'QZBAK'")
        assert sorted(r[0] for r in found) == sorted(BACKUP_TABLES)

    @pytest.mark.parametrize("table", BACKUP_TABLES)
    def test_same_rows_as_the_file(self, my_conn, qz_sample_path, table):
        columns, found = fetch(my_conn, "SELECT * FROM QZBAK.%s" % table)
        definition = next(t for t in sample.read_tables(qz_sample_path,
                                                        "QZBAK")
                          if t.name == table)
        assert columns == [c.name for c in definition.columns]
        expected = list(sample.iter_rows(qz_sample_path, definition))
        assert ordered(found) == ordered(expected) and found

    @pytest.mark.parametrize("table", sample.BACKUP_COPIES)
    def test_copies_equal_their_originals(self, my_conn, table):
        _, copy = fetch(my_conn, "SELECT * FROM QZBAK.%s" % table)
        _, original = fetch(my_conn, "SELECT * FROM QZDATA.%s" % table)
        assert ordered(copy) == ordered(original)

    def test_user_cannot_write(self, my_conn):
        with pytest.raises(pymysql.err.OperationalError) as info:
            fetch(my_conn, "DELETE FROM QZBAK.%s" % BACKUP_TABLES[0])
        assert info.value.args[0] == 1142


class TestOddStationCode:
    """MySQL compares a text column with a number as numbers, taking the
    leading digits of '37008A': the bare number reads 37008A's rows too."""

    SQL = ("SELECT DISTINCT STATIONID FROM QZDATA.%s WHERE STARTDATE >= "
           "20090101 AND STARTDATE <= 20090131" % sample.ODD_STATION_TABLE)

    @pytest.mark.parametrize(
        "condition, expected",
        [(" AND (STATIONID=37008)", ["37008", "37008A"]),
         (" AND (STATIONID='37008')", ["37008"]),
         (" AND (STATIONID='37008A')", ["37008A"])],
    )
    def test_station_filter(self, my_conn, condition, expected):
        _, found = fetch(my_conn, self.SQL + condition)
        assert sorted(r[0] for r in found) == expected


@pytest.fixture(scope="module")
def lower_conn(qz_mariadb_lower):
    conn = qz_mariadb_lower.connect()
    yield conn
    conn.close()


class TestLowerCaseTableNames:
    def test_setting(self, lower_conn, qz_mariadb_lower):
        assert qz_mariadb_lower.lower_case_table_names == 1
        assert fetch(lower_conn, "SELECT @@lower_case_table_names")[1] == [
            (1,)]

    @pytest.mark.parametrize(
        "base, rate, method",
        [("DYU", "01", "211"), ("DYU", "90", "411"), ("DYU", "60", "321"),
         ("DYS", "02", "312")])
    def test_discovery_gives_lower_case_names(self, lower_conn, base, rate,
                                              method):
        params = ["%%" + base + "%%", "%%" + rate + "%%", "%%" + method + "%%"]
        _, found = fetch(lower_conn, TestFetchStatements.SQL, params)
        designed = [("qzdata", t.name.lower())
                    for t in sample.OBSERVATION_TABLES
                    if (t.base, t.rate, t.method) == (base, rate, method)]
        backup = [("qzbak", n.lower()) for n in BACKUP_TABLES
                  if base in n and rate in n and method in n]
        assert designed
        assert sorted(found) == sorted(designed + backup)

    @pytest.mark.parametrize("schema, table",
                             [("QZDATA", t) for t in TABLES]
                             + [("QZBAK", t) for t in BACKUP_TABLES])
    def test_lower_case_names_read(self, lower_conn, my_conn, schema, table):
        columns, found = fetch(lower_conn, "SELECT * FROM %s.%s"
                               % (schema, table.lower()))
        _, expected = fetch(my_conn, "SELECT * FROM %s.%s" % (schema, table))
        assert columns[0] == "STATIONID" or table.startswith("QZ_DICT_")
        assert ordered(found) == ordered(expected) and found
