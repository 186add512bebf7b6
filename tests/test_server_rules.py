"""The rules of a production Oracle or MySQL server, checked by what is read:
quoted station codes, discovery in the schema that is read, plain table names,
item lists beyond Oracle's 1,000 values, development tables in any case,
compressed values on MySQL, passwords kept out of errors, service names."""
import contextlib
import configparser
import contextlib
import datetime
import re
import shutil
import sqlite3

import pandas as pd
import pandas.testing as tm
import pytest

import expected
import qzdb.oracle
import qzdb.sample
import velmora.bisource as bisource
import velmora.fetching as fetching
from helpers import SECTION, FixedClock, assert_observations, conf_text, oracle_options, quietly

pytestmark = pytest.mark.filterwarnings("ignore:pandas only supports SQLAlchemy connectable:UserWarning")

FIRST, LAST = "20090103", "20090105"
ALL = "全部"
BASE_NAMES = {code: name for name, code in qzdb.sample.BASES.items()}
RATE_NAMES = {"02": "秒钟值", "01": "分钟值", "60": "小时值", "90": "日均值"}
TABLE = re.compile(r"QZ_(\d{3})_([A-Z]+)_(\d{2})")


def request_of(table):
    """The method code, data-base name and rate name that find `table`."""
    method, base, rate = TABLE.fullmatch(table).groups()
    return method, BASE_NAMES[base], RATE_NAMES[rate], rate


def method_name(path, method):
    methods = expected.dictionary(path, "QZ_DICT_METHODS")
    return methods.loc[methods["METHODID"] == method, "METHODNAME"].item()


def station_name(path, code):
    stations = expected.dictionary(path, "QZ_DICT_STATIONS")
    return stations.loc[stations["STATIONID"] == code, "STATIONNAME"].item()


def catalogue(path, owner):
    """Table names of one schema as the Oracle stand-in lists them."""
    conn = qzdb.oracle.connect(user=qzdb.sample.DEFAULT_USER, password=qzdb.sample.DEFAULT_PASSWORD, dsn=path)
    try:
        cursor = conn.cursor()
        cursor.execute("SELECT TABLE_NAME FROM ALL_TABLES WHERE OWNER=:owner", owner=owner)
        return {name for (name,) in cursor.fetchall()}
    finally:
        conn.close()


@pytest.fixture(scope="module")
def odd_station(qz_sample_path):
    """A station whose code is not a number, the observation table holding its
    rows, and a station with a number code in the same table."""
    codes = expected.dictionary(qz_sample_path, "QZ_DICT_STATIONS")["STATIONID"]
    (odd,) = [c for c in codes if not c.isdigit()]
    with contextlib.closing(sqlite3.connect(f"file:{qz_sample_path}?mode=ro", uri=True)) as con, con:
        (table,) = [t for t in expected.table_names(qz_sample_path) if TABLE.fullmatch(t)
                    and con.execute(f'SELECT 1 FROM "{t}" WHERE STATIONID=?', (odd,)).fetchone()]
        neighbour = con.execute(f'SELECT MIN(STATIONID) FROM "{table}" WHERE STATIONID=?',
                                (re.match(r"\d+", odd).group(),)).fetchone()[0]
    assert neighbour is not None  # the number that MySQL would take the odd code for
    return odd, table, neighbour


def fetchers(engine, mysql):
    return [(fetching.fetching_data, engine), (bisource.fetching_data, mysql)]


class TestStationCodes:
    def test_a_code_that_is_no_number_neither_fails_nor_is_read_for_another(self, engine, mysql, qz_sample_path,
                                                                          odd_station):
        odd, table, neighbour = odd_station
        method, base_type, data_type, rate = request_of(table)
        name = station_name(qz_sample_path, neighbour)
        want = expected.observations(qz_sample_path, [table], FIRST, LAST, rate, stations=[neighbour])
        assert not want.empty
        for fetch, conn in fetchers(engine, mysql):
            result = quietly(fetch, conn, FIRST, LAST, method_name(qz_sample_path, method), name, data_type,
                             base_type)[0]
            assert_observations(result, want)

    def test_the_odd_station_itself(self, engine, mysql, qz_sample_path, odd_station):
        odd, table, _ = odd_station
        method, base_type, data_type, rate = request_of(table)
        want = expected.observations(qz_sample_path, [table], FIRST, LAST, rate, stations=[odd])
        assert not want.empty
        for fetch, conn in fetchers(engine, mysql):
            result = quietly(fetch, conn, FIRST, LAST, method_name(qz_sample_path, method),
                             station_name(qz_sample_path, odd), data_type, base_type)[0]
            assert_observations(result, want)

    def test_logs_of_a_station(self, engine, qz_sample_path, odd_station):
        _, _, neighbour = odd_station
        result = quietly(fetching.fetching_dialog, engine, "20090101", "20090131", ALL,
                         station_name(qz_sample_path, neighbour))[0]
        assert len(result) > 0 and set(result["stationid"]) == {neighbour}


class TestCodesWithABackslashAndAQuoteOnMySQL:
    """Codes read from the dictionaries go into the statement as literals; on
    MySQL a backslash escapes in a literal, so it is doubled with the quote."""

    CODE = "37\\'05"  # 3, 7, a backslash, a quote, 0, 5

    @contextlib.contextmanager
    def copied(self, server, dictionary, values, column, code):
        """`values` as a row of `dictionary`, and the water levels of station
        37005 / item 4112 of the period copied with `column` = the code."""
        root = server.root_connect()
        try:
            with root.cursor() as cursor:
                cursor.execute(f"INSERT INTO QZDATA.{dictionary} VALUES (%s, %s{', %s' * (len(values) - 2)})", values)
                cursor.execute("INSERT INTO QZDATA.QZ_411_DYU_90 (STATIONID, POINTID, ITEMID, STARTDATE, OBSVALUE) "
                               f"SELECT {'%s' if column == 'STATIONID' else 'STATIONID'}, POINTID, "
                               f"{'%s' if column == 'ITEMID' else 'ITEMID'}, STARTDATE, OBSVALUE "
                               "FROM QZDATA.QZ_411_DYU_90 WHERE STATIONID='37005' AND ITEMID='4112' "
                               "AND STARTDATE >= %s AND STARTDATE <= %s", (code, FIRST, LAST))
            root.commit()
            yield
        finally:
            with root.cursor() as cursor:
                cursor.execute(f"DELETE FROM QZDATA.{dictionary} WHERE {column}=%s", (code,))
                cursor.execute(f"DELETE FROM QZDATA.QZ_411_DYU_90 WHERE {column}=%s", (code,))
            root.commit()
            root.close()

    def water_levels(self, conn, station=ALL, item=ALL):
        return quietly(bisource.fetching_data, conn, FIRST, LAST, "水位", station, "日均值", "预处理库", item)[0]

    def test_a_station_code(self, qz_mariadb):
        conn = qz_mariadb.connect()
        try:
            want = self.water_levels(conn, "郯城马陵山", "静水位")
            assert len(want) > 0 and set(want["STATIONID"]) == {"37005h"}
            want["STATIONID"] = self.CODE + "h"
            with self.copied(qz_mariadb, "QZ_DICT_STATIONS", (self.CODE, "反斜杠引号台"), "STATIONID", self.CODE):
                conn.commit()
                tm.assert_frame_equal(self.water_levels(conn, "反斜杠引号台"), want)
        finally:
            conn.close()

    def test_an_item_code(self, qz_mariadb):
        conn = qz_mariadb.connect()
        try:
            want = self.water_levels(conn, "郯城马陵山", "静水位")
            want["ITEMID"] = self.CODE
            with self.copied(qz_mariadb, "QZ_DICT_ITEMS", (self.CODE, "反斜杠引号项", "m"), "ITEMID", self.CODE):
                conn.commit()
                got = self.water_levels(conn, item="反斜杠引号项")
                tm.assert_frame_equal(got, want)
        finally:
            conn.close()


@pytest.fixture(scope="module")
def backup(qz_sample_path):
    """Tables of the backup schema QZBAK: (copies of QZDATA tables under the
    same names, tables QZDATA lacks)."""
    backup, data = catalogue(qz_sample_path, "QZBAK"), catalogue(qz_sample_path, "QZDATA")
    return backup & data, backup - data


class TestOneSchema:
    """Neither the backup schema's copies nor its own tables may be read."""

    def test_copies_and_foreign_tables_are_not_read(self, engine, mysql, qz_sample_path, backup):
        copies, foreign = backup
        table = min(t for t in copies if TABLE.fullmatch(t))
        method, base, rate = TABLE.fullmatch(table).groups()
        # the same request would find a name that only QZBAK has
        assert any(method in f and base in f and rate in f for f in foreign)
        tables = expected.observation_tables(qz_sample_path, [method], base, rate)
        want = expected.observations(qz_sample_path, tables, FIRST, LAST, rate)
        for fetch, conn in fetchers(engine, mysql):
            result = quietly(fetch, conn, FIRST, LAST, method_name(qz_sample_path, method), ALL, RATE_NAMES[rate],
                             BASE_NAMES[base])[0]
            assert_observations(result, want)

    def test_water_level_loader_with_a_backup_copy(self, engine, mysql, backup, monkeypatch):
        assert "QZ_411_DYU_90" in backup[0]
        for module, conn in [(fetching, engine), (bisource, mysql)]:
            monkeypatch.setattr(module, "dt", FixedClock(datetime.datetime(2009, 1, 31, 6, 0)))
            result = quietly(module.load_Oracle_data_water_year, conn)[0]
            assert set(result["STATIONID"]) == {"37005H"}
            tm.assert_index_equal(result.index, pd.date_range("2009-01-01", "2009-01-31", name="STARTDATE",
                                                              freq="D"), check_names=False)

    def test_logs_of_a_copied_log_table(self, engine, qz_sample_path, backup):
        (table,) = [t for t in backup[0] if "DLG" in t][:1]
        method = table.rsplit("_", 1)[1]
        result = quietly(fetching.fetching_dialog, engine, "20090101", "20090131",
                         method_name(qz_sample_path, method))[0]
        logs = expected.dictionary(qz_sample_path, table)
        assert len(result) == (logs["EVTID"] == "313").sum() > 0


class TestTableNames:
    BAD = ["QZ_211_DYU_01 X", "QZ_211_DYU_01;X", "QZ_211_DYU_01 UNION SELECT 1"]

    @pytest.mark.parametrize("bad", BAD)
    def test_oracle_refuses_a_name_that_is_no_identifier(self, dirs, qz_sample_path, qz_cx_oracle,
                                                        qz_statement_log, bad):
        tampered = dirs.work / "tampered.sqlite"
        shutil.copy(qz_sample_path, tampered)
        with contextlib.closing(sqlite3.connect(tampered)) as db, db:
            db.execute(f'CREATE TABLE "{bad}" AS SELECT * FROM QZ_211_DYU_01')
            db.execute(f'CREATE TABLE "{bad.replace("_DYU_01", "_DLG")}" AS SELECT * FROM QZ_DLG_211')
        (dirs.work / "default.conf").write_text(conf_text(**oracle_options(tampered)), encoding="utf-8")
        engine = quietly(fetching.conn_to_Oracle, SECTION)[0]
        try:
            with pytest.raises(ValueError, match=re.escape(repr(bad))):
                quietly(fetching.fetching_data, engine, FIRST, LAST, "水平摆", ALL, "分钟值", "预处理库")
            with pytest.raises(ValueError, match="not a plain identifier"):
                quietly(fetching.fetching_dialog, engine, FIRST, LAST, "水平摆")
            assert not [s for s, _ in qz_statement_log if s.startswith("SELECT * FROM")]
        finally:
            engine.dispose()

    @pytest.mark.parametrize("bad", BAD + ["QZ_211_DYU_01#X"])
    def test_mysql_refuses_a_name_that_is_no_identifier(self, mysql_server, mysql, bad, capsys):
        root = mysql_server.root_connect()
        try:
            with root.cursor() as cursor:
                cursor.execute(f"CREATE TABLE QZDATA.`{bad}` LIKE QZDATA.QZ_211_DYU_01")
            with pytest.raises(ValueError, match=re.escape(repr(bad.lower() if mysql_server.lower_case_table_names else bad))):
                bisource.fetching_data(mysql, FIRST, LAST, "水平摆", ALL, "分钟值", "预处理库")
            assert "data fetched..." not in capsys.readouterr().out
        finally:
            with root.cursor() as cursor:
                cursor.execute(f"DROP TABLE QZDATA.`{bad}`")
            root.close()


def test_item_lists_longer_than_oracle_takes_in_one_list(engine, mysql, qz_sample_path):
    names = ["水平摆北南分量"] + [f"没有这个测项{i}" for i in range(2500)]
    want = expected.observations(qz_sample_path, ["QZ_211_DYU_01"], FIRST, FIRST, "01", items=["2111"])
    assert not want.empty
    for fetch, conn in fetchers(engine, mysql):
        result = quietly(fetch, conn, FIRST, FIRST, "水平摆", ALL, "分钟值", "预处理库", itemname=names)[0]
        assert_observations(result, want)
    assert len(names) == 2501  # the caller's list stays as it was


def test_a_name_fragment_that_matches_hundreds_of_stations(dirs, qz_many_stations_path, qz_cx_oracle):
    path = qz_many_stations_path
    stations = expected.codes_named(path, "QZ_DICT_STATIONS", "STATIONID", "STATIONNAME", "地震台")
    assert len(stations) >= 500
    (dirs.work / "default.conf").write_text(conf_text(**oracle_options(path)), encoding="utf-8")
    engine = quietly(fetching.conn_to_Oracle, SECTION)[0]
    try:
        first = "20090101"
        result = quietly(fetching.fetching_data, engine, first, first, "流体", "地震台", "日值", "预处理库")[0]
        tables = expected.observation_tables(path, expected.methods_of_discipline(path, "4"), "DYU", "90")
        want = expected.observations(path, tables, first, first, "90", stations=stations)
        assert want["STATIONID"].nunique() >= 100
        assert_observations(result, want)
        logs = quietly(fetching.fetching_dialog, engine, "20090101", "20090103", ALL, "地震台")[0]
        assert len(logs) > 0 and set(logs["stationid"]) <= set(stations)
    finally:
        engine.dispose()


def test_development_tables_in_lower_case_are_not_read(qz_mariadb_lower, dirs, qz_sample_path):
    (dirs.work / "default.conf").write_text(conf_text(**qz_mariadb_lower.conf_section()), encoding="utf-8")
    conn = bisource.conn_to_MySQL(SECTION)
    try:
        tables = expected.observation_tables(qz_sample_path, ["321"], "DYU", "60")
        assert "QZ_321_DEV_DYU_60" in expected.table_names(qz_sample_path)
        result = quietly(bisource.fetching_data, conn, FIRST, LAST, "直流单装置地电阻率", ALL, "小时值", "预处理库",
                         my_split_lines=False)[0]
        want = expected.observations(qz_sample_path, tables, FIRST, LAST, "60", split=False)
        assert_observations(result, want, split=False)
    finally:
        conn.close()


class TestCompressedValuesOnMySQL:
    # text values pass unchanged: test_bisource.py, test_gzip_flag_on_text_changes_nothing
    def test_bytes_are_decompressed(self, mysql, qz_sample_path):
        result = quietly(bisource.fetching_data, mysql, "20090101", "20090101", "磁通门", ALL, "秒钟值", "原始库",
                         gzip_flag=True)[0]
        want = expected.observations(qz_sample_path, ["QZ_312_DYS_02"], "20090101", "20090101", "02",
                                     compressed=True)
        assert len(want) > 86400
        assert_observations(result, want)


    def test_bytearray_values_are_decompressed_as_bytes_are(self, mysql, monkeypatch):
        args = ("20090101", "20090101", "磁通门", ALL, "秒钟值", "原始库")
        want = quietly(bisource.fetching_data, mysql, *args, gzip_flag=True)[0]
        real = pd.read_sql

        def as_bytearrays(sql, con=None, params=None):
            df = real(sql, con=con, params=params)
            if sql.startswith("SELECT * "):
                assert all(isinstance(v, bytes) for v in df["OBSVALUE"])
                df["OBSVALUE"] = [bytearray(v) for v in df["OBSVALUE"]]
            return df

        monkeypatch.setattr(bisource, "pd", type("P", (), {"read_sql": staticmethod(as_bytearrays),
                                                          "__getattr__": lambda s, n: getattr(pd, n)})())
        got = quietly(bisource.fetching_data, mysql, *args, gzip_flag=True)[0]
        assert len(got) > 86400
        tm.assert_frame_equal(got, want)


class TestPasswordsInErrors:
    @pytest.mark.parametrize("password,error", [
        ("s3cr%et!", configparser.InterpolationSyntaxError),
        ("s3cr%(nokey)s!", configparser.InterpolationMissingOptionError),
    ])
    def test_bisource_hides_the_password_in_the_parser_error(self, dirs, monkeypatch, password, error):
        monkeypatch.setattr(bisource, "orcl", qzdb.oracle)
        (dirs.work / "default.conf").write_text(
            conf_text(HOST="h", PORT="1", TNSNAME="t", USERNAME="u", PASSWORD=password), encoding="utf-8")
        with pytest.raises(error) as raised:
            bisource.conn_to_Oracle(SECTION)
        shown = str(raised.value) + repr(raised.value.args) + repr(vars(raised.value))
        for piece in ("s3cr", "%et!", "nokey"):
            assert piece not in shown
        assert "***" in str(raised.value)
        assert raised.value.__context__ is None and raised.value.__cause__ is None


class TestServiceNames:
    def options(self, qz_sample_path, **changes):
        return oracle_options(qz_sample_path, **{"TNSNAME": None, "SERVICE_NAME": qzdb.sample.DEFAULT_SERVICE_NAME,
                                                 **changes})

    def test_fetching_reaches_a_pluggable_database_by_service_name(self, dirs, qz_sample_path, qz_cx_oracle):
        (dirs.work / "default.conf").write_text(conf_text(**self.options(qz_sample_path)), encoding="utf-8")
        engine, lines = quietly(fetching.conn_to_Oracle, SECTION)
        try:
            assert lines == ["localhost connected..."]
            assert str(engine.url).endswith(f":1521/?service_name={qzdb.sample.DEFAULT_SERVICE_NAME}")
            stations = fetching.timeseries_info(engine)[0]
            assert len(stations) == len(expected.dictionary(qz_sample_path, "QZ_DICT_STATIONS"))
        finally:
            engine.dispose()

    def test_the_service_name_is_percent_encoded_and_tnsname_ignored(self, dirs, qz_sample_path, qz_cx_oracle):
        (dirs.work / "default.conf").write_text(
            conf_text(**self.options(qz_sample_path, SERVICE_NAME="qz pdb/a&b+c", TNSNAME="ignored")),
            encoding="utf-8")
        engine = quietly(fetching.conn_to_Oracle, SECTION)[0]
        assert engine.url.query == {"service_name": "qz pdb/a&b+c"} and engine.url.database in ("", None)
        with pytest.raises(Exception, match="ORA-12514"):
            pd.read_sql("SELECT 1 FROM DUAL", con=engine)
        engine.dispose()

    def test_bisource_reaches_it_by_service_name(self, dirs, qz_sample_path, monkeypatch):
        monkeypatch.setattr(bisource, "orcl", qzdb.oracle)
        (dirs.work / "default.conf").write_text(conf_text(**self.options(qz_sample_path)), encoding="utf-8")
        conn, lines = quietly(bisource.conn_to_Oracle, SECTION)
        try:
            assert lines == ["localhost connected..."]
            result = quietly(bisource.fetching_dialog, conn, "20090101", "20090131", "水位")[0]
            assert len(result) > 0
        finally:
            conn.close()

    def test_an_empty_service_name_is_no_service_name(self, dirs, qz_sample_path, qz_cx_oracle):
        (dirs.work / "default.conf").write_text(conf_text(**oracle_options(qz_sample_path, SERVICE_NAME="")),
                                                encoding="utf-8")
        engine = quietly(fetching.conn_to_Oracle, SECTION)[0]
        assert engine.url.database == oracle_options(qz_sample_path)["TNSNAME"] and not engine.url.query
        assert len(fetching.timeseries_info(engine)[0]) > 0
        engine.dispose()
        quietly(bisource.conn_to_Oracle, SECTION)[0].close()

    def test_a_sid_is_no_service_name(self, dirs, qz_sample_path, monkeypatch):
        monkeypatch.setattr(bisource, "orcl", qzdb.oracle)
        sid = oracle_options(qz_sample_path)["TNSNAME"]
        (dirs.work / "default.conf").write_text(conf_text(**self.options(qz_sample_path, SERVICE_NAME=sid)),
                                                encoding="utf-8")
        with pytest.raises(qzdb.oracle.DatabaseError, match="ORA-12514"):
            bisource.conn_to_Oracle(SECTION)
