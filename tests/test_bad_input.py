"""Bad input, across the three modules: each case ends in a clear Python
exception (or the documented message and result), never a crash, and leaves
the caller's objects as documented."""
import configparser
import copy
import datetime

import numpy as np
import pandas as pd
import pytest

import velmora.bisource as bisource
import velmora.fetching as fetching
from helpers import SECTION, conf_text, quietly
from velmora import cleaning

T0 = pd.Timestamp("2009-01-01")
MISSING = "数据库配置文件不存在或缺少配置项，请检查并配置 default.conf"
ERROR = "连接数据库时发生错误，"


def packed(**columns):
    return pd.DataFrame({"startdate": [T0], "obsvalue": ["1 2"], **columns})


# (function, args, kwargs, exception type or None, text in the message or the printed lines)
SPLIT_CASES = {
    "not a table": (cleaning.split_lines, [[1, 2], 60], TypeError, "list indices"),
    "None": (cleaning.split_lines, [None, 60], TypeError, "not subscriptable"),
    "no obsvalue": (cleaning.split_lines, [pd.DataFrame({"startdate": [T0]}), 60], KeyError, "obsvalue"),
    "no startdate": (cleaning.split_lines, [pd.DataFrame({"obsvalue": ["1"]}), 60], KeyError, "startdate"),
    "numbers": (cleaning.split_lines, [packed(obsvalue=[1.5]), 60], AttributeError, ".str accessor"),
    "bytes": (cleaning.split_lines, [packed(obsvalue=[b"1 2"]), 60], TypeError, "inferred dtype 'bytes'"),
    "NUL byte": (cleaning.split_lines, [packed(obsvalue=["1 2\x003"]), 60], ValueError, "2\\x003"),
    "garbage": (cleaning.split_lines, [packed(obsvalue=["1 ab 2"]), 1], ValueError, "'ab'"),
    "dates as words": (cleaning.split_lines, [packed(startdate=["yesterday"]), 60], TypeError, ""),
    "rate as text": (cleaning.split_lines, [packed(), "60"], TypeError, "'<=' not supported"),
    "rate None": (cleaning.split_lines, [packed(), None], TypeError, "'<=' not supported"),
    "rate list": (cleaning.split_lines, [packed(), [60]], TypeError, "'<=' not supported"),
    "timespan column": (cleaning.split_lines, [packed(timespan=[1]), 60], ValueError, "columns overlap"),
    "time overflow": (cleaning.split_lines, [packed(obsvalue=["1 2"]), -(10 ** 10)], OverflowError, ""),
    "rate beyond int64": (cleaning.split_lines, [packed(), -(2 ** 70)], OverflowError, ""),
    "daily two values": (cleaning.split_lines, [packed(), 86400], ValueError, "'1 2'"),
    "daily list cell": (cleaning.split_lines, [packed(obsvalue=[[1]]), 86400], TypeError, "list"),
    "concat non-frames": (cleaning.concat_df, [1, "x"], TypeError, ""),
    "steps text": (cleaning.remove_steps_v2, [pd.DataFrame({"a": ["x", "y"]}), {"threshold": 1}], TypeError, ""),
    "steps not a mapping": (cleaning.remove_steps_v2, [pd.Series([1.0, 2.0]), 5], TypeError, "not iterable"),
    "steps std text": (cleaning.remove_steps_v2, [pd.Series([1.0, 2.0, 3.0]), {"std": "x"}], TypeError, ""),
}


@pytest.mark.filterwarnings("ignore::pandas.errors.PerformanceWarning")  # pandas adding offsets to words
@pytest.mark.parametrize("case", list(SPLIT_CASES))
def test_cleaning_refuses_clearly_and_keeps_the_callers_table(case):
    function, args, error, text = SPLIT_CASES[case]
    before = [copy.deepcopy(a) for a in args]
    with pytest.raises(error) as raised:
        quietly(function, *args)
    assert text in str(raised.value)
    for was, now in zip(before, args):
        if isinstance(now, pd.DataFrame) and not (function is cleaning.remove_steps_v2 or args[-1] == 86400):
            pd.testing.assert_frame_equal(now, was)


@pytest.mark.parametrize("cells,expected_rows", [
    (["1 2", 7, None, b"3 4", float("nan")], 6),   # cells without text give one sample each
    (["", "  "], 4),                                 # empty pieces are missing samples
    (["\u0661\u0662 \u0663"], 2),                     # digits of other scripts, as Python reads them
])
def test_cells_of_mixed_kinds(cells, expected_rows):
    df = pd.DataFrame({"startdate": [T0] * len(cells), "obsvalue": pd.Series(cells, dtype=object)})
    out = quietly(cleaning.split_lines, df, 60)[0]
    assert len(out) == expected_rows
    assert out["obsvalue"].dtype == np.float32


def test_ten_million_pieces_in_one_row():
    row = " ".join(["1.5"] * 5_000_000 + ["NULL"] * 5_000_000)
    out = quietly(cleaning.split_lines, pd.DataFrame({"startdate": [T0], "obsvalue": [row]}), 1)[0]
    assert len(out) == 10_000_000
    assert out["obsvalue"].iloc[0] == 1.5 and np.isnan(out["obsvalue"].iloc[-1])
    assert out.index[-1] == T0 + pd.Timedelta(seconds=9_999_999)


def test_steps_removal_still_drops_incomplete_rows_before_failing():
    df = pd.DataFrame({"a": ["x", None, "y"]})
    with pytest.raises(TypeError):
        quietly(cleaning.remove_steps_v2, df, {"threshold": 1})
    assert df["a"].tolist() == ["x", "y"]


def nothing_read(dirs, section):
    return (f"no section '{section}': no file could be read (looked for {dirs.work / 'default.conf'} and "
            f"{dirs.home / '.velmo' / 'default.conf'})")


class TestConfiguration:
    def write(self, dirs, text):
        (dirs.work / "default.conf").write_text(text, encoding="utf-8")

    def test_missing(self, dirs):
        assert quietly(fetching.conn_to_Oracle, SECTION) == (None, [MISSING, nothing_read(dirs, SECTION)])
        with pytest.raises(KeyError):
            bisource.conn_to_MySQL(SECTION)

    def test_unreadable_is_skipped(self, dirs):
        (dirs.work / "default.conf").mkdir()  # cannot be opened as a file
        assert quietly(fetching.conn_to_Oracle, SECTION) == (None, [MISSING, nothing_read(dirs, SECTION)])

    def test_not_a_text_file(self, dirs):
        (dirs.work / "default.conf").write_bytes(b"[qz]\nHOST = \xff\xfe\n")
        with pytest.raises(UnicodeDecodeError):
            fetching.conn_to_Oracle(SECTION)

    @pytest.mark.parametrize("text,error", [
        ("[qz]\nHOST = a\n[qz]\nHOST = b\n", configparser.DuplicateSectionError),
        ("[qz]\nHOST = a\nhost = b\n", configparser.DuplicateOptionError),
        ("HOST = a\n", configparser.MissingSectionHeaderError),
    ])
    def test_duplicated_or_headless(self, dirs, text, error, capsys):
        self.write(dirs, text)
        with pytest.raises(error):
            fetching.conn_to_Oracle(SECTION)
        with pytest.raises(error):
            bisource.conn_to_Oracle(SECTION)
        assert capsys.readouterr().out == ""

    def test_interpolation_broken(self, dirs):
        self.write(dirs, conf_text(HOST="h", PORT="1", USERNAME="u", PASSWORD="pw%(nope)s", TNSNAME="t"))
        engine, lines = quietly(fetching.conn_to_Oracle, SECTION)
        assert engine is None and lines[0].startswith(ERROR) and "pw" not in lines[0]
        with pytest.raises(configparser.InterpolationMissingOptionError):
            bisource.conn_to_Oracle(SECTION)

    @pytest.mark.parametrize("db", [5, None, ("qz",)])
    def test_section_names_that_are_not_text(self, dirs, db):
        self.write(dirs, conf_text(HOST="h"))
        assert quietly(fetching.conn_to_Oracle, db) == (
            None, [MISSING, f"no section '{db}' in {dirs.work / 'default.conf'}; sections there: 'qz'"])


FETCH_CASES = {
    "unreadable start date": (dict(startdate="2009-13-45"), ValueError, ["fetching data..."]),
    "start date of no kind": (dict(startdate=1 + 2j), TypeError, ["fetching data..."]),
    "unknown rate": (dict(data_type="毫秒值"), ValueError, ["fetching data...", "no database type selected!"]),
    "rate as number": (dict(data_type=60), ValueError, ["fetching data...", "no database type selected!"]),
    "unknown base": (dict(base_type="库"), ValueError, ["fetching data...", "no database type selected!"]),
    "item mapping": (dict(itemname={"a": 1}), TypeError, ["fetching data..."]),
    "item list of numbers": (dict(itemname=[4112]), TypeError, ["fetching data..."]),
    "point as number": (dict(pointid=5), TypeError, ["fetching data..."]),
    "no connection": (dict(conn=None), TypeError, []),
}


@pytest.mark.parametrize("case", list(FETCH_CASES))
def test_fetching_data_refuses_clearly(engine, case, capsys):
    changes, error, lines = FETCH_CASES[case]
    arguments = dict(conn=engine, startdate="20090101", enddate="20090102", methodname="水位", stationname="全部",
                     data_type="日值", base_type="预处理库")
    arguments.update(changes)
    kept = copy.deepcopy(changes)
    with pytest.raises(error):
        fetching.fetching_data(**arguments)
    assert capsys.readouterr().out.splitlines() == lines
    assert changes == kept  # e.g. the item list


def test_fetch_after_errors_still_works(engine):
    for bad in ("2009-13-45", None):
        with pytest.raises(Exception):
            quietly(fetching.fetching_data, engine, bad, "20090101", "水位", "全部", "日值", "预处理库")
    result = quietly(fetching.fetching_data, engine, "20090101", "20090102", "水位", "郯城", "日值", "预处理库")[0]
    assert len(result) > 0


@pytest.mark.parametrize("call,error", [
    (lambda: fetching.load_Oracle_data_daily("c", "7", "预处理库", "水位", "日值"), TypeError),
    (lambda: fetching.load_Oracle_data_daily("c", None, "预处理库", "水位", "日值"), TypeError),
    (lambda: fetching.fetching_dialog(None, "20090101", "20090102"), TypeError),
    (lambda: fetching.fetching_dialog("c", "someday"), ValueError),
    (lambda: bisource.fetching_dialog("c", datetime.date(2009, 1, 1), "never"), ValueError),
])
def test_loaders_and_logs_refuse_clearly(call, error):
    with pytest.raises(error):
        quietly(call)
