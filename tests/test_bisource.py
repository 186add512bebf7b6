"""velmora.bisource end to end: observations, dictionaries and loaders on the
private MariaDB server through conn_to_MySQL; connections and event logs on
the Oracle stand-in placed as the module's `orcl`."""
import contextlib
import configparser
import datetime
import sqlite3

import numpy as np
import pandas as pd
import pandas.testing as tm
import pytest

import expected
import qzdb.oracle
import velmora.bisource as bisource
import velmora.fetching as fetching
from helpers import assert_observations, SECTION, FixedClock, ReadSqlRecorder, conf_text, oracle_options, quietly

# pandas 1.5 warns on every read through a driver connection that it tests
# SQLAlchemy and sqlite3 connections only; bisource reads through the drivers.
pytestmark = pytest.mark.filterwarnings("ignore:pandas only supports SQLAlchemy connectable:UserWarning")

FIRST, LAST = "20090103", "20090105"
ALL = "全部"


@pytest.fixture
def oracle(dirs, qz_sample_path, monkeypatch):
    monkeypatch.setattr(bisource, "orcl", qzdb.oracle)
    (dirs.work / "default.conf").write_text(conf_text(**oracle_options(qz_sample_path)), encoding="utf-8")
    conn, lines = quietly(bisource.conn_to_Oracle, SECTION)
    assert lines == ["localhost connected..."]
    yield conn
    conn.close()


@pytest.fixture
def recorder(monkeypatch):
    spy = ReadSqlRecorder()
    monkeypatch.setattr(bisource, "pd", spy)
    return spy


def fetch(conn, *args, **kwargs):
    return quietly(bisource.fetching_data, conn, *args, **kwargs)


class TestConnections:
    def test_mysql_with_percent_and_at_in_the_password(self, dirs, qz_mariadb, capsys):
        assert "%" in qz_mariadb.password and "@" in qz_mariadb.password
        options = {k.lower(): v for k, v in qz_mariadb.conf_section().items()}
        options["port"] = f"  {options['port']} "
        (dirs.work / "default.conf").write_text(conf_text(**options), encoding="utf-8")
        conn = bisource.conn_to_MySQL(SECTION)
        try:
            assert capsys.readouterr().out == ""
            with conn.cursor() as cursor:
                cursor.execute("SELECT DATABASE()")
                assert cursor.fetchone() == ("QZDATA",)
        finally:
            conn.close()

    @pytest.mark.parametrize("connect", [bisource.conn_to_MySQL, bisource.conn_to_Oracle])
    def test_no_file_or_no_section_is_a_key_error(self, dirs, connect, capsys):
        (dirs.home / "default.conf").write_text(conf_text(HOST="h"), encoding="utf-8")
        with pytest.raises(KeyError, match=SECTION):
            connect(SECTION)
        (dirs.work / "default.conf").write_text(conf_text("QZ", HOST="h"), encoding="utf-8")
        with pytest.raises(KeyError, match=SECTION):
            connect(SECTION)
        assert capsys.readouterr().out == ""

    def test_missing_key_and_bad_port(self, dirs):
        (dirs.work / "default.conf").write_text(conf_text(HOST="h", PORT="33o6", TNSNAME="d", USERNAME="u",
                                                          PASSWORD="p"), encoding="utf-8")
        with pytest.raises(ValueError):
            bisource.conn_to_MySQL(SECTION)
        (dirs.work / "default.conf").write_text(conf_text(HOST="h", PORT="1"), encoding="utf-8")
        with pytest.raises(KeyError, match="TNSNAME"):
            bisource.conn_to_MySQL(SECTION)

    def test_single_percent_sign_fails_only_for_oracle(self, dirs, monkeypatch):
        monkeypatch.setattr(bisource, "orcl", qzdb.oracle)
        (dirs.work / "default.conf").write_text(conf_text(HOST="h", PORT="1", TNSNAME="d", USERNAME="u",
                                                          PASSWORD="50%off"), encoding="utf-8")
        with pytest.raises(configparser.InterpolationSyntaxError):
            bisource.conn_to_Oracle(SECTION)

    def test_oracle_login_refused_prints_nothing(self, dirs, qz_sample_path, monkeypatch, capsys):
        monkeypatch.setattr(bisource, "orcl", qzdb.oracle)
        (dirs.work / "default.conf").write_text(
            conf_text(**oracle_options(qz_sample_path, PASSWORD="wrong")), encoding="utf-8")
        with pytest.raises(qzdb.oracle.DatabaseError, match="ORA-01017"):
            bisource.conn_to_Oracle(SECTION)
        assert capsys.readouterr().out == ""


class TestObservations:
    @pytest.mark.parametrize("methodname,digit", [("形变", "2"), ("电磁", "3"), ("流体", "4"), (ALL, None)])
    def test_disciplines(self, mysql, qz_sample_path, methodname, digit):
        result, lines = fetch(mysql, FIRST, LAST, methodname, ALL, "分钟值", "预处理库")
        tables = expected.observation_tables(
            qz_sample_path, expected.methods_of_discipline(qz_sample_path, digit), "DYU", "01")
        assert_observations(result, expected.observations(qz_sample_path, tables, FIRST, LAST, "01"))
        assert lines == ["fetching data...", "splitting data...", "data fetched..."]

    @pytest.mark.parametrize("base_type,base", [("原始库", "DYS"), ("预处理库", "DYU"), ("产品库", "CP")])
    @pytest.mark.parametrize("data_type,rate", [("日值", "90"), ("整点值", "60"), ("分值", "01")])
    def test_methods_rates_and_data_bases(self, mysql, qz_sample_path, base_type, base, data_type, rate):
        result = fetch(mysql, FIRST, LAST, "水位", ALL, data_type, base_type)[0]
        tables = expected.observation_tables(qz_sample_path, ["411"], base, rate)
        if not tables:
            assert result is None
            return
        assert_observations(result, expected.observations(qz_sample_path, tables, FIRST, LAST, rate))

    def test_seconds_split_into_samples(self, mysql, qz_sample_path):
        result = fetch(mysql, "20090101", "20090101", "磁通门", ALL, "秒钟值", "预处理库")[0]
        assert len(result) > 86400
        assert_observations(result, expected.observations(qz_sample_path, ["QZ_312_DYU_02"], "20090101",
                                                          "20090101", "02"))

    def test_filters_and_item_lists(self, mysql, qz_sample_path):
        names = ["地电阻率NS"]
        result = fetch(mysql, FIRST, LAST, "直流单装置地电阻率", "嘉祥", "小时值", "预处理库",
                       itemname=names, pointid="2")[0]
        assert names == ["地电阻率NS"]
        want = expected.observations(qz_sample_path, ["QZ_321_DYU_60"], FIRST, LAST, "60",
                                     stations=["37008"], items=["3211"], point="2")
        assert not want.empty
        assert_observations(result, want)

    def test_without_split_the_table_is_returned_as_read(self, mysql, qz_sample_path):
        result, lines = fetch(mysql, FIRST, LAST, "水位", ALL, "小时值", "预处理库", my_split_lines=False)
        assert lines == ["fetching data...", "data fetched..."]
        assert_observations(result, expected.observations(qz_sample_path, ["QZ_411_DYU_60"], FIRST, LAST, "60",
                                                          split=False), split=False)

    def test_gzip_flag_on_text_changes_nothing(self, mysql):
        a = fetch(mysql, FIRST, FIRST, "水位", ALL, "日值", "预处理库", gzip_flag=True)[0]
        b = fetch(mysql, FIRST, FIRST, "水位", ALL, "日值", "预处理库")[0]
        tm.assert_frame_equal(a, b)

    def test_eight_digit_integer_dates(self, mysql, recorder):
        a = fetch(mysql, 20090103, np.int64(20090105), "水位", ALL, "日值", "预处理库")[0]
        assert recorder.statements[-1].endswith("STARTDATE >= 20090103 AND STARTDATE <= 20090105")
        tm.assert_frame_equal(a, fetch(mysql, FIRST, LAST, "水位", ALL, "日值", "预处理库")[0])

    @pytest.mark.parametrize("first", [18991231, 18500101, np.int64(18991231)])
    def test_integer_dates_near_the_low_end(self, mysql, recorder, first):
        got = fetch(mysql, first, np.int64(20090105), "水位", ALL, "日值", "预处理库")[0]
        assert recorder.statements[-1].endswith(f"STARTDATE >= {int(first)} AND STARTDATE <= 20090105")
        tm.assert_frame_equal(got, fetch(mysql, "20090101", LAST, "水位", ALL, "日值", "预处理库")[0])

    def test_empty_period(self, mysql):
        result, lines = fetch(mysql, "20200101", "20200102", "水位", ALL, "日值", "预处理库")
        assert result.empty and result.columns.tolist() == ["STATIONID", "ITEMID", "OBSVALUE"]
        assert isinstance(result.index, pd.DatetimeIndex) and result.index.name == "STARTDATE"
        assert lines == ["fetching data...", "data fetched..."]

    @pytest.mark.parametrize("methodname", ["不存在的方法", "绝对重力"])
    def test_no_table_returns_none(self, mysql, methodname):
        assert fetch(mysql, FIRST, LAST, methodname, ALL, "分钟值", "预处理库") == (
            None, ["fetching data...", "no table name selected!"])

    def test_unknown_rate_raises(self, mysql, capsys):
        with pytest.raises(ValueError, match="unknown data_type '毫秒值'"):
            bisource.fetching_data(mysql, FIRST, LAST, "水位", ALL, "毫秒值", "预处理库")
        assert capsys.readouterr().out.splitlines()[-1] == "no database type selected!"


class TestStatements:
    def test_texts_and_bind_values(self, mysql_server, mysql, recorder):
        fetch(mysql, "20090101", "20090131", "水位", "郯城", "日均值", "预处理库", itemname="静水位")
        (methods, stations, items, catalogue, final) = recorder.calls
        assert methods == (("SELECT METHODID FROM QZDATA.QZ_DICT_METHODS WHERE METHODNAME LIKE %s ",),
                           {"con": mysql, "params": ["%%水位%%"]})
        assert stations == (("SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS WHERE STATIONNAME LIKE %s ",),
                            {"con": mysql, "params": ["%%郯城%%"]})
        assert items == (("SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME LIKE %s ",),
                         {"con": mysql, "params": ["%%静水位%%"]})
        assert catalogue == (("SELECT TABLE_NAME FROM information_schema.tables WHERE TABLE_SCHEMA='QZDATA' AND "
                              "TABLE_NAME LIKE %s AND TABLE_NAME LIKE %s AND TABLE_NAME LIKE %s ",),
                             {"con": mysql, "params": ["%%DYU%%", "%%90%%", "%%411%%"]})
        table = "qz_411_dyu_90" if mysql_server.lower_case_table_names else "QZ_411_DYU_90"
        assert final == ((f"SELECT * FROM QZDATA.{table} WHERE STARTDATE >= 20090101 AND "
                          "STARTDATE <= 20090131 AND (STATIONID='37005') AND (ITEMID='4112')",), {"con": mysql})

    def test_discipline_reads_name_the_method_column(self, mysql, recorder):
        fetch(mysql, FIRST, FIRST, ALL, ALL, "日值", "产品库", my_split_lines=False)
        assert recorder.statements[0] == "SELECT SUBSTR(ITEMID,1,3) FROM QZDATA.QZ_DICT_STATIONITEMS"
        assert all(s.startswith("SELECT TABLE_NAME FROM information_schema") for s in recorder.statements[1:-1])

    @pytest.mark.parametrize("pointid", ["2') OR ('1'='1", "2\\') OR 1=1 -- ", "2'; DROP TABLE QZ_DICT_ITEMS; --"])
    def test_injection_through_the_point_code_reads_nothing(self, mysql, recorder, pointid):
        result = fetch(mysql, FIRST, FIRST, "直流单装置地电阻率", ALL, "小时值", "预处理库", pointid=pointid)[0]
        assert result.empty

    @pytest.mark.parametrize("name", ["x') OR ('1'='1", "x\\') OR 1=1 -- ", "x' UNION SELECT TABLE_NAME FROM information_schema.tables -- "])
    def test_injection_through_item_names_reads_nothing(self, mysql, name):
        with pytest.warns(UserWarning, match="^itemname .* matches no name in QZ_DICT_ITEMS"):
            result = fetch(mysql, FIRST, FIRST, "流体", ALL, "日值", "预处理库", itemname=[name])[0]
        assert result.empty


class TestDictionaries:
    def test_tables_as_read(self, mysql, qz_sample_path):
        stations, points, items = bisource.timeseries_info(mysql)
        for got, table in [(stations, "QZ_DICT_STATIONS"), (points, "QZ_DICT_STATIONPOINTS"), (items, "QZ_DICT_ITEMS")]:
            want = expected.dictionary(qz_sample_path, table)[list(got.columns)]
            tm.assert_frame_equal(got.sort_values(list(got.columns)).reset_index(drop=True),
                                  want.sort_values(list(want.columns)).reset_index(drop=True))

    def test_labels_are_left_as_the_driver_gives_them(self):
        with contextlib.closing(sqlite3.connect(":memory:")) as con:
            con.execute("ATTACH DATABASE ':memory:' AS QZDATA")
            con.execute("CREATE TABLE QZDATA.QZ_DICT_STATIONS (stationid TEXT, stationname TEXT)")
            con.execute("CREATE TABLE QZDATA.QZ_DICT_STATIONPOINTS (stationid TEXT, pointid TEXT, pointname TEXT)")
            con.execute("CREATE TABLE QZDATA.QZ_DICT_ITEMS (itemid TEXT, itemname TEXT, unit TEXT)")
            stations, points, items = bisource.timeseries_info(con)
            assert stations.columns.tolist() == ["stationid", "stationname"]
            assert items.columns.tolist() == ["itemid", "itemname", "unit"]
            assert fetching.timeseries_info(con)[0].columns.tolist() == ["STATIONID", "STATIONNAME"]


class TestLoaders:
    def test_daily(self, mysql, qz_sample_path, monkeypatch):
        monkeypatch.setattr(bisource, "dt", FixedClock(datetime.datetime(2009, 1, 5, 6, 0)))
        result = quietly(bisource.load_Oracle_data_daily, mysql, 2, "预处理库", "水位", "日均值")[0]
        assert_observations(result, expected.observations(qz_sample_path, ["QZ_411_DYU_90"], "20090103",
                                                          "20090105", "90"))

    def test_resistivity_always_from_2009(self, mysql, qz_sample_path, monkeypatch):
        monkeypatch.setattr(bisource, "dt", FixedClock(datetime.datetime(2009, 1, 6, 6, 0)))
        result = quietly(bisource.load_Oracle_data_resistivity_year, mysql)[0]
        want = expected.observations(qz_sample_path, ["QZ_321_DYU_60"], "20090101", "20090106", "60")
        low = want["STATIONID"].eq("370082") & want["ITEMID"].isin(["3211", "3212"]) & (want["OBSVALUE"] < 8)
        assert low.any()
        want.loc[low, "OBSVALUE"] = np.nan
        assert_observations(result, want)

    def test_water_level_calendar(self, mysql, monkeypatch):
        monkeypatch.setattr(bisource, "dt", FixedClock(datetime.datetime(2009, 2, 28, 6, 0)))
        result = quietly(bisource.load_Oracle_data_water_year, mysql)[0]
        assert set(result["STATIONID"]) == {"37005H"}
        assert result["OBSVALUE"].dtype == np.float32 and not result["OBSVALUE"].isna().any()
        tm.assert_index_equal(result.index, pd.date_range(result.index.min(), result.index.max()))


class TestLogs:
    def test_same_statements_as_fetching(self, oracle, engine, monkeypatch):
        spies = ReadSqlRecorder(), ReadSqlRecorder()
        monkeypatch.setattr(bisource, "pd", spies[0])
        monkeypatch.setattr(fetching, "pd", spies[1])
        args = ("20090101", "20090131", "地电阻率", "嘉祥", "地电阻率", "313")
        ours = quietly(bisource.fetching_dialog, oracle, *args)[0]
        theirs = quietly(fetching.fetching_dialog, engine, *args)[0]
        assert spies[0].statements == spies[1].statements
        assert [kw.get("params") for _, kw in spies[0].calls] == [kw.get("params") for _, kw in spies[1].calls]
        assert len(ours) == len(theirs) > 0
        assert ours.columns.tolist() == [c.upper() for c in theirs.columns]

    def test_no_log_table(self, oracle):
        assert quietly(bisource.fetching_dialog, oracle, "20090101", "20090102", "不存在") == (
            None, ["no table name selected!"])
