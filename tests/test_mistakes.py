"""What follows an analyst's mistake: a request that reads nothing has the
shape of one that reads rows, arguments of the wrong kind and a connection
that is None are refused before anything is read, names that match nothing
are named, and pandas' notice on driver connections comes once."""
import json
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pandas.testing as tm
import pytest

import velmora.bisource as bisource
import velmora.cleaning as cleaning
import velmora.fetching as fetching
from helpers import SECTION, FixedClock, ReadSqlRecorder, conf_text, quietly

pytestmark = pytest.mark.filterwarnings("ignore:pandas only supports SQLAlchemy connectable:UserWarning")

ALL = "全部"
RATES = ["秒钟值", "分钟值", "小时值", "日均值"]


@pytest.fixture(params=["fetching", "bisource"])
def source(request, dirs):
    """(module, connection): fetching on the Oracle stand-in, bisource on MariaDB."""
    if request.param == "fetching":
        yield fetching, request.getfixturevalue("engine")
        return
    server = request.getfixturevalue("qz_mariadb")
    (dirs.work / "default.conf").write_text(conf_text(**server.conf_section()), encoding="utf-8")
    conn = bisource.conn_to_MySQL(SECTION)
    yield bisource, conn
    conn.close()


class TestEmptyResultsHaveTheSplitShape:
    @pytest.mark.parametrize("rate", RATES)
    def test_equal_to_a_full_result_without_its_rows(self, source, rate):
        module, conn = source
        full = quietly(module.fetching_data, conn, "20090101", "20090101", ALL, ALL, rate, "预处理库")[0]
        assert len(full) > 0
        for period in [("20200101", "20200102"), ("20090110", "20090101")]:  # no data; dates in reverse
            empty, lines = quietly(module.fetching_data, conn, *period, ALL, ALL, rate, "预处理库")
            tm.assert_frame_equal(empty, full.iloc[:0], check_index_type=True, check_column_type=True)
            assert lines == ["fetching data...", "data fetched..."]
        assert len(empty.resample("1D").mean()) == 0  # code written for a full result runs

    def test_a_station_that_matches_nothing_too(self, source):
        module, conn = source
        full = quietly(module.fetching_data, conn, "20090101", "20090101", ALL, "郯城", "小时值", "预处理库")[0]
        with pytest.warns(UserWarning):
            empty = quietly(module.fetching_data, conn, "20090101", "20090101", ALL, "郯成", "小时值", "预处理库")[0]
        tm.assert_frame_equal(empty, full.iloc[:0], check_index_type=True)

    def test_loaders_on_a_period_without_data(self, engine, monkeypatch):
        monkeypatch.setattr(fetching, "dt", FixedClock(pd.Timestamp("2020-06-30").to_pydatetime()))
        full = quietly(fetching.fetching_data, engine, "20090101", "20090101", "形变", ALL, "分钟值", "预处理库")[0]
        daily = quietly(fetching.load_Oracle_data_daily, engine, 7, "预处理库", "形变", "分钟值")[0]
        tm.assert_frame_equal(daily, full.iloc[:0], check_index_type=True)
        resistivity = quietly(fetching.load_Oracle_data_resistivity_year, engine, "20200101")[0]
        assert resistivity.empty and isinstance(resistivity.index, pd.DatetimeIndex)


class TestUnknownThresholdKeys:
    @pytest.mark.parametrize("choice,key", [({"sd": 5}, "'sd'"), ({"std": 5, "treshold": 1}, "'treshold'"),
                                            ({1: 2}, "1")])
    def test_refused_before_the_table_is_touched(self, choice, key, capsys):
        df = pd.DataFrame({"v": [1.0, np.nan, 3.0, 103.0]})
        before = df.copy()
        with pytest.raises(ValueError) as raised:
            cleaning.remove_steps_v2(df, choice)
        assert str(raised.value) == f"remove_peaks_steps has the key {key}: the keys it takes are 'std' and 'threshold'"
        tm.assert_frame_equal(df, before)  # the incomplete row is still there
        assert capsys.readouterr().out == ""

    def test_the_accepted_keys_still_choose(self):
        s = pd.Series([1.0, 2, 3, 103, 104])
        out, lines = quietly(cleaning.remove_steps_v2, s.copy(), {"threshold": 10})
        assert out.tolist()[1:] == [1.0, 2.0, 2.0, 3.0] and lines == ["remove steps threshold : 10"]


class TestArgumentTypes:
    @pytest.mark.parametrize("methodname", ["水位", "不存在的方法"])  # with tables; where none would be found
    @pytest.mark.parametrize("keyword,message", [
        ({"itemname": 2111}, 'itemname must be str (part of an item name, or "全部") or a list of str '
                             "(whole item names), not int"),
        ({"itemname": {"静水位": 1}}, 'itemname must be str (part of an item name, or "全部") or a list of str '
                                     "(whole item names), not dict"),
        ({"itemname": ["静水位", 4112]}, "itemname must be str or a list of str, not a list holding int "
                                        "(at position 1)"),
        ({"pointid": 4}, 'pointid must be str (a point code, "" for every point) or None, not int'),
    ])
    def test_refused_after_the_dates_before_any_statement(self, source, monkeypatch, methodname, keyword, message):
        module, conn = source
        spy = ReadSqlRecorder()
        monkeypatch.setattr(module, "pd", spy)
        with pytest.raises(TypeError) as raised:
            quietly(module.fetching_data, conn, "20090101", "20090102", methodname, ALL, "日值", "预处理库", **keyword)
        assert str(raised.value) == message
        assert spy.calls == []
        with pytest.raises(ValueError):  # the dates come first
            quietly(module.fetching_data, conn, "notadate", "20090102", methodname, ALL, "日值", "预处理库", **keyword)

    def test_pointid_none_is_every_point(self, source):
        module, conn = source
        every = quietly(module.fetching_data, conn, "20090101", "20090102", "水位", ALL, "日值", "预处理库")[0]
        assert len(every) > 0
        tm.assert_frame_equal(
            quietly(module.fetching_data, conn, "20090101", "20090102", "水位", ALL, "日值", "预处理库", pointid=None)[0],
            every)


NONE_CALLS = {
    "fetching_data": lambda m: m.fetching_data(None, "20090101", "20090102", "水位", ALL, "日值", "预处理库"),
    "timeseries_info": lambda m: m.timeseries_info(None),
    "load_Oracle_data_daily": lambda m: m.load_Oracle_data_daily(None, 7, "预处理库", "水位", "日值"),
    "load_Oracle_data_resistivity_year": lambda m: m.load_Oracle_data_resistivity_year(None),
    "load_Oracle_data_water_year": lambda m: m.load_Oracle_data_water_year(None),
    "fetching_dialog": lambda m: m.fetching_dialog(None, "20090101", "20090102"),
}


@pytest.mark.parametrize("module,says", [
    (fetching, "conn is None, not a connection: conn_to_Oracle returns None when it cannot connect, and the line "
               "it printed says why"),
    (bisource, "conn is None, not a connection: pass the connection that conn_to_Oracle or conn_to_MySQL returns"),
])
@pytest.mark.parametrize("call", list(NONE_CALLS))
def test_a_connection_that_is_none_is_refused_before_any_work(module, says, call, capsys):
    with pytest.raises(TypeError) as raised:
        NONE_CALLS[call](module)
    assert str(raised.value) == says
    assert capsys.readouterr().out == ""


class TestNamesThatMatchNothing:
    @pytest.mark.parametrize("keyword,table", [
        ({"stationname": "郯成"}, "QZ_DICT_STATIONS"),     # a wrong character
        ({"stationname": "Tancheng"}, "QZ_DICT_STATIONS"),
        ({"stationname": "37005"}, "QZ_DICT_STATIONS"),   # a code given as a name
        ({"itemname": "2111"}, "QZ_DICT_ITEMS"),
        ({"itemname": ["4112"]}, "QZ_DICT_ITEMS"),
    ])
    def test_named_in_a_warning(self, source, keyword, table, capsys):
        module, conn = source
        args = {"stationname": ALL, **keyword}
        with pytest.warns(UserWarning) as caught:
            result = module.fetching_data(conn, "20090101", "20090102", "水位", args.pop("stationname"), "日值",
                                          "预处理库", **args)
        (name, value), = keyword.items()
        # (the notices pandas and SQLAlchemy give once per process may come
        # too, with whichever test reads first)
        ours = [w for w in caught if "matches no name" in str(w.message)]
        assert [str(w.message) for w in ours] == [f"{name} {value!r} matches no name in {table}: the result is empty"]
        assert ours[0].filename == __file__  # the caller's line
        assert result.empty

    def test_names_that_match_are_quiet(self, source, recwarn):
        module, conn = source
        quietly(module.fetching_data, conn, "20090101", "20090102", "水位", "郯城", "日值", "预处理库", itemname="静水位")
        quietly(module.fetching_data, conn, "20090101", "20090102", "水位", "郯城", "日值", "预处理库", itemname=["静水位"])
        assert [w for w in recwarn if "matches no name" in str(w.message)] == []

    def test_in_the_log_fetch(self, engine):
        with pytest.warns(UserWarning, match=r"^itemname 'Tilt' matches no name in QZ_DICT_ITEMS"):
            assert quietly(fetching.fetching_dialog, engine, "20090101", "20090131", itemname="Tilt")[0].empty


NOTICE_SCRIPT = textwrap.dedent("""
    import json, os, sys, warnings
    import pandas as pd
    import qzdb, qzdb.oracle, qzdb.sample
    import velmora.bisource as bisource

    qzdb.oracle.register(sys.argv[1], sid="QZNOTICE", service_name="qznotice")
    with open("default.conf", "w") as conf:
        conf.write("[s]\\nHOST = localhost\\nPORT = 1521\\nTNSNAME = QZNOTICE\\n"
                   f"USERNAME = {qzdb.sample.DEFAULT_USER}\\n"
                   f"PASSWORD = {qzdb.sample.DEFAULT_PASSWORD.replace('%', '%%')}\\n")

    class Noisy:  # pandas, with a warning of the caller's own inside every read
        def __getattr__(self, name):
            return getattr(pd, name)
        def read_sql(self, *args, **kwargs):
            warnings.warn("the caller's own, inside a read", UserWarning)
            return pd.read_sql(*args, **kwargs)

    warnings.simplefilter("always")
    filters = list(warnings.filters)
    with qzdb.use_as_cx_Oracle(), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        inside = list(warnings.filters)
        conn = bisource.conn_to_Oracle("s")
        bisource.fetching_dialog(conn, "20090101", "20090131")
        warnings.warn("the caller's own, between calls", UserWarning)
        bisource.fetching_dialog(conn, "20090101", "20090131", stationname="莒县")
        bisource.timeseries_info(conn)
        inner = list(warnings.filters)  # no entry of velmora's left behind
        bisource.pd = Noisy()
        bisource.timeseries_info(conn)
        pd.read_sql("SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS", con=conn)  # the caller's own read
        conn.close()
    print(json.dumps({"messages": [str(w.message)[:40] for w in caught],
                      "filters_kept": warnings.filters == filters and inner == inside}))
""")


def test_the_driver_notice_comes_once_per_process(tmp_path, qz_sample_path):
    run = subprocess.run([sys.executable, "-c", NOTICE_SCRIPT, qz_sample_path], cwd=tmp_path, capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    got = json.loads(run.stdout.splitlines()[-1])
    notice = "pandas only supports SQLAlchemy connecta"
    assert got["messages"] == [notice, "the caller's own, between calls"] + ["the caller's own, inside a read"] * 3 \
        + [notice]
    assert got["filters_kept"]
