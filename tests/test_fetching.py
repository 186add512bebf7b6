"""velmora.fetching end to end: conn_to_Oracle, the real SQLAlchemy dialect,
the Oracle stand-in and the sample database."""
import datetime
import warnings

import numpy as np
import pandas as pd
import pandas.testing as tm
import pytest

import expected
import velmora.fetching as fetching
from helpers import assert_observations, FixedClock, quietly

FIRST, LAST = "20090103", "20090105"
ALL = "全部"


def fetch(engine, *args, **kwargs):
    return quietly(fetching.fetching_data, engine, *args, **kwargs)


class TestObservations:
    @pytest.mark.parametrize("methodname,digit", [("形变", "2"), ("电磁", "3"), ("流体", "4"), (ALL, None)])
    @pytest.mark.parametrize("data_type,rate", [("分钟值", "01"), ("小时值", "60")])
    def test_disciplines(self, engine, qz_sample_path, methodname, digit, data_type, rate):
        result, lines = fetch(engine, FIRST, LAST, methodname, ALL, data_type, "预处理库")
        tables = expected.observation_tables(
            qz_sample_path, expected.methods_of_discipline(qz_sample_path, digit), "DYU", rate)
        assert tables
        assert_observations(result, expected.observations(qz_sample_path, tables, FIRST, LAST, rate))
        assert lines == ["fetching data...", "splitting data...", "data fetched..."]

    @pytest.mark.parametrize("base_type,base", [("原始库", "DYS"), ("预处理库", "DYU"), ("产品库", "CP")])
    @pytest.mark.parametrize("data_type,rate", [("日均值", "90"), ("分钟值", "01"), ("秒钟值", "02")])
    def test_rates_and_data_bases(self, engine, qz_sample_path, base_type, base, data_type, rate):
        methods = expected.methods_named(qz_sample_path, "水")  # 水位, 水温, 水氡
        result = fetch(engine, "20090101", "20090102", "水", ALL, data_type, base_type)[0]
        tables = expected.observation_tables(qz_sample_path, methods, base, rate)
        if not tables:
            assert result is None
            return
        assert_observations(result, expected.observations(qz_sample_path, tables, "20090101", "20090102", rate))

    @pytest.mark.parametrize("name,synonym", [("秒钟值", "秒值"), ("分钟值", "分值"), ("小时值", "整点值"), ("日均值", "日值")])
    def test_rate_synonyms(self, engine, name, synonym):
        a = fetch(engine, "20090101", "20090101", ALL, ALL, name, "预处理库", my_split_lines=False)[0]
        b = fetch(engine, "20090101", "20090101", ALL, ALL, synonym, "预处理库", my_split_lines=False)[0]
        assert len(a) > 0
        tm.assert_frame_equal(a, b)

    def test_station_item_and_point_filters(self, engine, qz_sample_path):
        stations = expected.codes_named(qz_sample_path, "QZ_DICT_STATIONS", "STATIONID", "STATIONNAME", "嘉祥")
        items = expected.codes_named(qz_sample_path, "QZ_DICT_ITEMS", "ITEMID", "ITEMNAME", "地电阻率")
        result = fetch(engine, FIRST, LAST, "直流单装置地电阻率", "嘉祥", "小时值", "预处理库",
                       itemname="地电阻率", pointid="2")[0]
        tables = expected.observation_tables(qz_sample_path, ["321"], "DYU", "60")
        want = expected.observations(qz_sample_path, tables, FIRST, LAST, "60",
                                     stations=stations, items=items, point="2")
        assert not want.empty
        assert_observations(result, want)
        assert set(result["STATIONID"]) == {"370082"}

    def test_item_list_leaves_the_callers_list_alone(self, engine, qz_sample_path, recorder, monkeypatch):
        monkeypatch.setattr(fetching, "pd", recorder)
        names = ["地电阻率NS", "地电阻率EW"]
        result = fetch(engine, FIRST, FIRST, "电磁", ALL, "小时值", "预处理库", itemname=names, my_split_lines=False)[0]
        assert names == ["地电阻率NS", "地电阻率EW"]
        assert recorder.calls[1] == (
            ("SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME IN ('地电阻率NS','地电阻率EW')",),
            {"con": engine})
        assert set(result["ITEMID"]) == {"3211", "3212"}

    @pytest.mark.parametrize("split", [True, False])
    def test_compressed_values(self, engine, qz_sample_path, split):
        result = fetch(engine, "20090101", "20090101", "磁通门", ALL, "秒钟值", "原始库",
                       gzip_flag=True, my_split_lines=split)[0]
        want = expected.observations(qz_sample_path, ["QZ_312_DYS_02"], "20090101", "20090101", "02",
                                     split=split, compressed=True)
        assert len(want) > 0
        assert_observations(result, want, split=split)

    def test_without_split_the_packed_texts_come_back(self, engine, qz_sample_path):
        result, lines = fetch(engine, FIRST, LAST, "水位", ALL, "小时值", "预处理库", my_split_lines=False)
        assert result.columns.tolist() == ["STARTDATE", "STATIONID", "ITEMID", "OBSVALUE"]
        assert result.index.name is None
        assert lines == ["fetching data...", "data fetched..."]
        assert_observations(result, expected.observations(qz_sample_path, ["QZ_411_DYU_60"], FIRST, LAST, "60",
                                                          split=False), split=False)
        assert not result["OBSVALUE"].str.contains("NULLALL").any()

    def test_empty_period(self, engine):
        result, lines = fetch(engine, "20200101", "20200105", "水位", ALL, "日均值", "预处理库")
        assert result.empty and isinstance(result.index, pd.DatetimeIndex) and result.index.name == "STARTDATE"
        assert result.columns.tolist() == ["STATIONID", "ITEMID", "OBSVALUE"]
        assert lines == ["fetching data...", "data fetched..."]

    @pytest.mark.parametrize("methodname", ["不存在的方法", "绝对重力"])  # no method; a method without tables
    def test_no_table(self, engine, methodname):
        assert fetch(engine, FIRST, LAST, methodname, ALL, "分钟值", "预处理库") == (
            None, ["fetching data...", "no table name selected!"])

    def test_dev_tables_are_never_read(self, engine, recorder, monkeypatch):
        monkeypatch.setattr(fetching, "pd", recorder)
        fetch(engine, FIRST, FIRST, "直流单装置地电阻率", ALL, "小时值", "预处理库", my_split_lines=False)
        assert recorder.statements[-1] == (
            "SELECT * FROM QZDATA.QZ_321_DYU_60 WHERE STARTDATE>=TO_DATE('20090103','yyyymmdd') AND "
            "STARTDATE<TO_DATE('20090103','yyyymmdd')+1")

    def test_dates_in_any_form_pandas_reads(self, engine):
        a = fetch(engine, "2009-01-03", datetime.datetime(2009, 1, 4, 17, 30), "水位", ALL, "日值", "预处理库")[0]
        b = fetch(engine, "20090103", "20090104", "水位", ALL, "日值", "预处理库")[0]
        tm.assert_frame_equal(a, b)
        assert len(b) > 0


class TestStatements:
    """The texts and bind values sent, for the examples the description gives."""

    def test_discipline_discovery_and_final_statement(self, engine, qz_sample_path, recorder, monkeypatch):
        monkeypatch.setattr(fetching, "pd", recorder)
        fetch(engine, "20090101", "20090131", "形变", "郯城", "分钟值", "预处理库", my_split_lines=False)
        (first_args, first_kwargs), (second_args, second_kwargs), *catalogue, (last_args, last_kwargs) = recorder.calls
        assert first_args == ("SELECT SUBSTR(ITEMID,1,3) FROM QZDATA.QZ_DICT_STATIONITEMS WHERE SUBSTR(ITEMID,1,1)=2",)
        assert first_kwargs == {"con": engine}
        assert second_args == ("SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS WHERE STATIONNAME LIKE '%' || :stationname || '%'",)
        assert second_kwargs == {"con": engine, "params": {"stationname": "郯城"}}
        assert [kw["params"] for _, kw in catalogue] == [
            {"base_type_id": "DYU", "sample_rate_id": "01", "methodid": m}
            for m in expected.methods_of_discipline(qz_sample_path, "2")]
        assert len(catalogue) == 2
        assert all(list(kw["params"]) == ["base_type_id", "sample_rate_id", "methodid"] for _, kw in catalogue)
        assert catalogue[0][0] == (
            "SELECT TABLE_NAME FROM ALL_TABLES WHERE OWNER='QZDATA' AND TABLE_NAME LIKE '%' || :base_type_id || "
            "'%' AND TABLE_NAME LIKE '%' || :sample_rate_id || '%' AND TABLE_NAME LIKE '%' || :methodid || '%'",)
        period = " WHERE STARTDATE>=TO_DATE('20090101','yyyymmdd') AND STARTDATE<TO_DATE('20090131','yyyymmdd')+1"
        assert last_args == (
            "SELECT * FROM QZDATA.QZ_211_DYU_01" + period + " AND (STATIONID='37005')"
            " UNION ALL SELECT * FROM QZDATA.QZ_213_DYU_01" + period + " AND (STATIONID='37005')",)
        assert last_kwargs == {"con": engine}

    def test_method_name_and_all_filters(self, engine, recorder, monkeypatch):
        monkeypatch.setattr(fetching, "pd", recorder)
        fetch(engine, FIRST, FIRST, "水位", "嘉祥", "日值", "预处理库", itemname="水温", pointid="01",
              my_split_lines=False)
        assert recorder.calls[0] == (
            ("SELECT METHODID FROM QZDATA.QZ_DICT_METHODS WHERE METHODNAME LIKE '%' || :methodname || '%'",),
            {"con": engine, "params": {"methodname": "水位"}})
        assert recorder.calls[2] == (
            ("SELECT ITEMID FROM QZDATA.QZ_DICT_ITEMS WHERE ITEMNAME LIKE '%' || :itemname || '%'",),
            {"con": engine, "params": {"itemname": "水温"}})
        assert recorder.statements[-1].endswith(" AND (STATIONID='37008') AND (ITEMID='4121') AND (POINTID='01')")


class TestMendedFaults:
    @pytest.mark.parametrize("first,last", [(20090103, 20090105), (np.int64(20090103), np.int32(20090105)),
                                            (20090103, "2009-01-05")])
    def test_eight_digit_integers_are_the_dates_they_spell(self, engine, recorder, monkeypatch, first, last):
        want = fetch(engine, FIRST, LAST, "水位", ALL, "小时值", "预处理库")[0]
        assert len(want) > 0
        tm.assert_frame_equal(fetch(engine, first, last, "水位", ALL, "小时值", "预处理库")[0], want)
        monkeypatch.setattr(fetching, "pd", recorder)
        logs = quietly(fetching.fetching_dialog, engine, first, last)[0]
        assert "TO_DATE('20090103','yyyymmdd') AND STARTDATE<TO_DATE('20090105','yyyymmdd')+1" in recorder.statements[-1]
        assert len(logs) == len(quietly(fetching.fetching_dialog, engine, FIRST, LAST)[0])

    @pytest.mark.parametrize("first", [18991231, 18500101, np.int64(18991231)])
    def test_integer_dates_near_the_low_end_are_those_days(self, engine, recorder, monkeypatch, first):
        # every sample of the sample database lies after these days
        want = fetch(engine, "20090101", LAST, "水位", ALL, "小时值", "预处理库")[0]
        monkeypatch.setattr(fetching, "pd", recorder)
        got = fetch(engine, first, LAST, "水位", ALL, "小时值", "预处理库")[0]
        assert f"STARTDATE>=TO_DATE('{int(first)}','yyyymmdd')" in recorder.statements[-1]
        tm.assert_frame_equal(got, want)
        quietly(fetching.fetching_dialog, engine, first, first)
        assert (f"TO_DATE('{int(first)}','yyyymmdd') AND STARTDATE<TO_DATE('{int(first)}','yyyymmdd')+1"
                in recorder.statements[-1])

    @pytest.mark.parametrize("value", [1234567, 100000000, 10000100])
    def test_other_numbers_are_read_by_to_datetime(self, engine, recorder, monkeypatch, value):
        monkeypatch.setattr(fetching, "pd", recorder)
        quietly(fetching.fetching_dialog, engine, value, value)
        assert "TO_DATE('19700101','yyyymmdd')" in recorder.statements[-1]  # nanoseconds after 1970
        with pytest.raises(TypeError, match="bool"):  # a bool is no date at all
            fetching.fetching_data(engine, True, True, "水位", ALL, "小时值", "预处理库")

    @pytest.mark.parametrize("data_type,base_type,named", [
        ("分钟", "预处理库", "data_type '分钟'"), ("分钟值", "库", "base_type '库'"), (60, "预处理库", "data_type 60")])
    def test_unknown_names_raise_instead_of_ending_the_process(self, engine, data_type, base_type, named, capsys):
        with pytest.raises(ValueError, match=f"unknown {named}"):
            fetching.fetching_data(engine, FIRST, FIRST, "水位", ALL, data_type, base_type)
        assert capsys.readouterr().out.splitlines() == ["fetching data...", "no database type selected!"]

    @pytest.mark.parametrize("pointid", ["h') OR ('1'='1", "h' --", "'"])
    def test_point_codes_are_quoted(self, engine, recorder, monkeypatch, pointid):
        monkeypatch.setattr(fetching, "pd", recorder)
        result = fetch(engine, FIRST, FIRST, "水位", ALL, "日值", "预处理库", pointid=pointid)[0]
        assert result.empty
        assert recorder.statements[-1].endswith(" AND (POINTID='" + pointid.replace("'", "''") + "')")

    def test_quoted_item_names_in_a_list(self, engine):
        with pytest.warns(UserWarning, match="matches no name"):
            result = fetch(engine, FIRST, FIRST, "流体", ALL, "日值", "预处理库",
                           itemname=["x') OR ITEMNAME LIKE ('%"], my_split_lines=False)[0]
        assert result.empty

    @pytest.mark.parametrize("keyword", [{"stationname": "没有这个台"}, {"itemname": "没有这个测项"}, {"itemname": []}])
    def test_a_lookup_that_finds_nothing_reads_nothing(self, engine, recorder, monkeypatch, keyword):
        monkeypatch.setattr(fetching, "pd", recorder)
        args = {"stationname": ALL, **keyword}
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = fetch(engine, FIRST, FIRST, "水位", args.pop("stationname"), "日值", "预处理库", **args)[0]
        assert result.empty
        assert recorder.statements[-1].endswith(" AND (1=0)")
        # an empty list names nothing; a name that matches nothing is named
        name, value = next(iter(keyword.items()))
        assert [str(w.message) for w in caught] == ([] if value == [] else [
            f"{name} {value!r} matches no name in {'QZ_DICT_STATIONS' if name == 'stationname' else 'QZ_DICT_ITEMS'}"
            ": the result is empty"])

    def test_other_item_kinds_are_refused_before_any_read(self, engine, recorder, monkeypatch):
        monkeypatch.setattr(fetching, "pd", recorder)
        with pytest.raises(TypeError, match=r"^itemname must be str .* or a list of str .*, not tuple$"):
            fetch(engine, FIRST, FIRST, "水位", ALL, "日值", "预处理库", itemname=("静水位",))
        assert recorder.statements == []

    def test_lob_values_and_bytes_are_both_decompressed(self, engine, monkeypatch):
        import gzip

        class Lob:
            def __init__(self, data):
                self.data = data

            def read(self):
                return self.data

        real = pd.read_sql

        def as_lobs(sql, con=None, params=None):
            df = real(sql, con=con, params=params)
            if "OBSVALUE" in sql or sql.startswith("SELECT * "):
                df["obsvalue"] = [Lob(v) if i % 2 else v for i, v in enumerate(df["obsvalue"])]
            return df

        monkeypatch.setattr(fetching, "pd", type("P", (), {"read_sql": staticmethod(as_lobs),
                                                          "__getattr__": lambda s, n: getattr(pd, n)})())
        result = fetch(engine, "20090101", "20090101", "磁通门", ALL, "秒值", "原始库", gzip_flag=True,
                       my_split_lines=False)[0]
        assert len(result) >= 2 and all(isinstance(v, str) for v in result["OBSVALUE"])
        assert gzip.compress(result["OBSVALUE"].iloc[0].encode())  # plain text now


    @pytest.mark.parametrize("split", [False, True])
    def test_bytearray_values_are_decompressed_as_bytes_are(self, engine, monkeypatch, split):
        class NoRead(bytearray):
            def read(self):
                raise AssertionError("read() of a bytearray")

        args = ("20090101", "20090101", "磁通门", ALL, "秒值", "原始库")
        want = fetch(engine, *args, gzip_flag=True, my_split_lines=split)[0]
        real = pd.read_sql

        def as_bytearrays(sql, con=None, params=None):
            df = real(sql, con=con, params=params)
            if sql.startswith("SELECT * "):
                assert all(isinstance(v, bytes) for v in df["obsvalue"])
                df["obsvalue"] = [NoRead(v) for v in df["obsvalue"]]
            return df

        monkeypatch.setattr(fetching, "pd", type("P", (), {"read_sql": staticmethod(as_bytearrays),
                                                          "__getattr__": lambda s, n: getattr(pd, n)})())
        got = fetch(engine, *args, gzip_flag=True, my_split_lines=split)[0]
        assert len(got) > 0
        tm.assert_frame_equal(got, want)


class TestDictionaries:
    def test_three_tables_with_upper_case_labels(self, engine, qz_sample_path):
        stations, points, items = fetching.timeseries_info(engine)
        for got, table in [(stations, "QZ_DICT_STATIONS"), (points, "QZ_DICT_STATIONPOINTS"), (items, "QZ_DICT_ITEMS")]:
            want = expected.dictionary(qz_sample_path, table)[list(got.columns)]
            tm.assert_frame_equal(got, want)
        assert stations.columns.tolist() == ["STATIONID", "STATIONNAME"]
        assert points.columns.tolist() == ["STATIONID", "POINTID", "POINTNAME"]
        assert items.columns.tolist() == ["ITEMID", "ITEMNAME", "UNIT"]

    def test_prints_nothing_and_takes_one_positional_argument(self, engine, capsys):
        fetching.timeseries_info(engine)
        assert capsys.readouterr().out == ""
        with pytest.raises(TypeError, match="positional-only arguments passed as keyword arguments: 'conn'"):
            fetching.timeseries_info(conn=engine)


class TestLoaders:
    def test_daily_dates_and_arguments(self, monkeypatch):
        calls = []
        monkeypatch.setattr(fetching, "fetching_data", lambda *a, **k: calls.append((a, k)) or "table")
        monkeypatch.setattr(fetching, "dt", FixedClock(datetime.datetime(2012, 3, 1, 15, 30)))
        assert fetching.load_Oracle_data_daily("conn", 1, "预处理库", "水位", "分钟值") == "table"
        assert fetching.load_Oracle_data_daily("conn", 0, "原始库", "形变", "小时值", gzip_flag=True) == "table"
        assert calls == [
            (("conn", "20120229", "20120301", "水位", ALL, "分钟值", "预处理库"), {"gzip_flag": False}),
            (("conn", "20120301", "20120301", "形变", ALL, "小时值", "原始库"), {"gzip_flag": True}),
        ]

    def test_daily_with_a_period_that_is_no_number(self, monkeypatch):
        monkeypatch.setattr(fetching, "fetching_data", lambda *a, **k: pytest.fail("fetched"))
        with pytest.raises(TypeError):
            fetching.load_Oracle_data_daily("conn", "7", "预处理库", "水位", "分钟值")

    def test_daily_end_to_end(self, engine, qz_sample_path, monkeypatch):
        monkeypatch.setattr(fetching, "dt", FixedClock(datetime.datetime(2009, 1, 5, 8, 0)))
        result = quietly(fetching.load_Oracle_data_daily, engine, 2, "预处理库", "水位", "日均值")[0]
        want = expected.observations(qz_sample_path, ["QZ_411_DYU_90"], "20090103", "20090105", "90")
        assert_observations(result, want)

    @pytest.mark.parametrize("call,start", [
        (lambda e: fetching.load_Oracle_data_resistivity_year(e), "20090101"),
        (lambda e: fetching.load_Oracle_data_resistivity_year(e, "20090110"), "20090110"),
        (lambda e: fetching.load_Oracle_data_resistivity_year(e, date_0="20090110"), "20090110"),
    ])
    def test_resistivity_blanks_low_values(self, engine, qz_sample_path, monkeypatch, call, start):
        monkeypatch.setattr(fetching, "dt", FixedClock(datetime.datetime(2009, 1, 20, 12, 0)))
        result = quietly(call, engine)[0]
        want = expected.observations(qz_sample_path, ["QZ_321_DYU_60"], start, "20090120", "60")
        low = want["STATIONID"].eq("370082") & want["ITEMID"].isin(["3211", "3212"]) & (want["OBSVALUE"] < 8)
        assert low.sum() > 0
        want.loc[low, "OBSVALUE"] = np.nan
        assert_observations(result, want)
        assert (result.loc[result["STATIONID"] != "370082", "OBSVALUE"] < 8).any() or True
        assert result.index.min() == pd.Timestamp(start)

    def test_water_level_on_a_calendar(self, engine, qz_sample_path, monkeypatch):
        monkeypatch.setattr(fetching, "dt", FixedClock(datetime.datetime(2009, 3, 1, 9, 0)))
        result = quietly(fetching.load_Oracle_data_water_year, engine)[0]
        series = expected.observations(qz_sample_path, ["QZ_411_DYU_90"], "20090101", "20090301", "90",
                                       stations=["37005"])
        assert set(result["STATIONID"]) == {"37005H"}
        assert result["OBSVALUE"].dtype == np.float32
        days = pd.date_range(series.index.min(), series.index.max())
        tm.assert_index_equal(result.index, days)
        missing = days.difference(series.index)
        assert len(missing) > 0
        for day in missing:  # filled from the next day with data
            following = series.index[series.index > day].min()
            assert result.loc[day, "OBSVALUE"] == series.loc[following, "OBSVALUE"]
        tm.assert_series_equal(result.loc[series.index, "OBSVALUE"], series["OBSVALUE"], check_names=False)

    def test_loaders_fail_on_none_as_described(self, monkeypatch):
        monkeypatch.setattr(fetching, "fetching_data", lambda *a, **k: None)
        assert fetching.load_Oracle_data_daily("c", 1, "预处理库", "x", "分钟值") is None
        with pytest.raises(AttributeError):
            fetching.load_Oracle_data_resistivity_year("c")
        with pytest.raises(AttributeError):
            fetching.load_Oracle_data_water_year("c")
        with pytest.raises(TypeError):
            fetching.load_Oracle_data_water_year(conn="c")


class TestLogs:
    def test_all_logs_of_a_period(self, engine, qz_sample_path):
        result = quietly(fetching.fetching_dialog, engine, "20090101", "20090131")[0]
        logs = [t for t in expected.table_names(qz_sample_path) if "DLG" in t]
        frames = [expected.dictionary(qz_sample_path, t) for t in logs]
        want = pd.concat(frames, ignore_index=True)
        want = want[want["EVTID"] == "313"]
        assert len(result) == len(want) > 0
        assert list(result.columns) == [c.lower() for c in want.columns]
        assert set(result["evtid"]) == {"313"}

    def test_statement_for_stations_and_items(self, engine, recorder, monkeypatch):
        monkeypatch.setattr(fetching, "pd", recorder)
        result, lines = quietly(fetching.fetching_dialog, engine, "20090101", "20090131", "地电阻率", "嘉祥", "地电阻率",
                                "311")
        assert lines == []
        assert recorder.calls[-1][1] == {"con": engine, "params": {"evt_id": "311"}}
        period = (" WHERE STARTDATE>=TO_DATE('20090101','yyyymmdd') AND STARTDATE<TO_DATE('20090131','yyyymmdd')+1"
                  " AND EVTID IN (:evt_id) AND (STATIONID='37008') AND (ITEMID='3211' OR ITEMID='3212')")
        assert recorder.statements[-1] == "SELECT * FROM QZDATA.QZ_DLG_321" + period
        assert set(result["evtid"]) <= {"311"}
        assert set(result["stationid"]) <= {"37008"}

    def test_default_dates_are_taken_at_call_time(self, engine, recorder, monkeypatch):
        monkeypatch.setattr(fetching, "pd", recorder)
        monkeypatch.setattr(fetching, "dt", FixedClock(datetime.datetime(2009, 1, 10, 23, 59)))
        quietly(fetching.fetching_dialog, engine)
        assert "TO_DATE('20090109','yyyymmdd') AND STARTDATE<TO_DATE('20090110','yyyymmdd')+1" in recorder.statements[-1]
        defaults = fetching.fetching_dialog.__defaults__
        assert defaults == (datetime.datetime(2009, 1, 9, 23, 59), datetime.datetime(2009, 1, 10, 23, 59),
                            ALL, ALL, ALL, "313")

    def test_no_log_table(self, engine):
        assert quietly(fetching.fetching_dialog, engine, "20090101", "20090102", "不存在") == (
            None, ["no table name selected!"])

    def test_fetching_dialog_sd(self, capsys):
        assert fetching.fetching_dialog_sd() is None
        assert capsys.readouterr().out == ""
        with pytest.raises(TypeError, match=r"fetching_dialog_sd\(\) takes 0 positional arguments but 1 was given"):
            fetching.fetching_dialog_sd(1)
