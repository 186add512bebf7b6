import contextlib
import gc
import io
import random
import sys
import warnings

import numpy as np
import pandas as pd
import pandas.testing as tm
import pytest

from split_reference import split_lines_reference
from velmora import cleaning

T0 = pd.Timestamp("2009-01-01")

NUMBERS = ["1.5", "-2.25", "0", "-0", "+2", ".5", "5.", "1e3", "2.5E-2", "12345.678",
           "199999.5", "0.0999995", "99998", "3.4028236e38", "1e39", "-1e39", "1e-50",
           "inf", "-Infinity", "nan", "1_0", "\t7", "9999999999999999"]
PLACEHOLDERS = ["NULL", "null", "", "99999", "-99999", "99999.0", "999999", "NULLALL", "x99999y"]


def random_piece(rng):
    pick = rng.random()
    if pick < 0.75:
        return f"{rng.gauss(100, 30):.{rng.randint(0, 4)}f}"
    if pick < 0.9:
        return rng.choice(NUMBERS)
    return rng.choice(PLACEHOLDERS)


def random_packed_table(seed, rows, pieces, with_missing=True, extra=True):
    rng = random.Random(seed)
    starts = [T0 + pd.Timedelta(minutes=rng.randrange(0, 3) * 30) + pd.Timedelta(days=rng.randrange(3))
              for _ in range(rows)]
    texts = []
    for _ in range(rows):
        if with_missing and rng.random() < 0.1:
            texts.append(None)
        else:
            texts.append(" ".join(random_piece(rng) for _ in range(rng.randint(1, pieces))))
    columns = {"startdate": pd.to_datetime(starts)}
    if extra:
        columns["stationid"] = [rng.choice(["370082", "37005h", "11001"]) for _ in range(rows)]
        columns["itemid"] = pd.Categorical([rng.choice(["3211", "3212"]) for _ in range(rows)])
        columns["flag"] = np.arange(rows, dtype="int64")
        columns["weight"] = pd.array([rng.choice([1, None]) for _ in range(rows)], dtype="Int64")
    columns["obsvalue"] = texts
    frame = pd.DataFrame(columns)
    if extra:  # obsvalue between other columns; labels neither sorted nor positional
        frame = frame[["stationid", "startdate", "obsvalue", "itemid", "flag", "weight"]]
        frame.index = rng.sample(range(10 * rows), rows)
    return frame


def run_quietly(function, *args):
    with contextlib.redirect_stdout(io.StringIO()) as out:
        result = function(*args)
    return result, out.getvalue()


@pytest.mark.parametrize("rate", [1, 60, 3600, 600, 2, 60.0])
@pytest.mark.parametrize("seed", range(12))
def test_equals_the_pandas_formulation(seed, rate):
    df = random_packed_table(seed, rows=1 + seed * 3, pieces=40)
    before = df.copy()
    ours, printed = run_quietly(cleaning.split_lines, df, rate)
    expected, _ = run_quietly(split_lines_reference, df.copy(), rate)
    tm.assert_frame_equal(ours, expected, check_exact=True)
    assert printed == "splitting data...\n"
    tm.assert_frame_equal(df, before)  # the caller's table is untouched


@pytest.mark.parametrize("rate", [86400, 7200, 3601, 1e9])
@pytest.mark.parametrize("seed", range(4))
def test_above_an_hour_converts_the_callers_table_in_place(seed, rate):
    rng = random.Random(seed)
    df = pd.DataFrame({
        "startdate": pd.to_datetime([T0 + pd.Timedelta(days=rng.randrange(30)) for _ in range(20)]),
        "stationid": [rng.choice("ab") for _ in range(20)],
        "obsvalue": [rng.choice(NUMBERS[:10] + PLACEHOLDERS + [None, 3.5, 7]) for _ in range(20)],
    })
    expected, _ = run_quietly(split_lines_reference, df.copy(), rate)
    ours, printed = run_quietly(cleaning.split_lines, df, rate)
    assert ours is df
    assert printed == "splitting data...\n"
    tm.assert_frame_equal(ours, expected, check_exact=True)


def test_the_documented_example():
    df = pd.DataFrame({"startdate": [pd.Timestamp("2020-01-01")], "pointid": ["1"],
                       "obsvalue": ["1.5 NULL 2.25"]})
    out, _ = run_quietly(cleaning.split_lines, df, 60)
    expected = pd.DataFrame(
        {"pointid": ["1"] * 3, "obsvalue": np.array([1.5, np.nan, 2.25], dtype="float32")},
        index=pd.DatetimeIndex(["2020-01-01 00:00", "2020-01-01 00:01", "2020-01-01 00:02"],
                               name="startdate"))
    tm.assert_frame_equal(out, expected)


@pytest.mark.parametrize("rate,step", [(1, "1s"), (60, "1min"), (600, "10min"), (3600, "1h"), (2, "2s")])
def test_offsets_are_position_times_rate(rate, step):
    df = pd.DataFrame({"startdate": [T0], "obsvalue": ["1 2 3 4"]})
    out, _ = run_quietly(cleaning.split_lines, df, rate)
    # the unit is pandas' own (test_stacks); no freq, as the split sets none
    expected = pd.DatetimeIndex(list(pd.date_range(T0, periods=4, freq=step)), name="startdate")
    tm.assert_index_equal(out.index, expected.astype(out.index.dtype), check_exact=True)


@pytest.mark.parametrize("piece,expected", [
    ("99999", np.nan), ("-99999", np.nan), ("99999.0", np.nan), ("999999", np.nan),
    # nines beyond a double's precision, which reads them as a power of ten
    ("9999999999999999", np.nan), ("-99999999999999999999", np.nan), ("+0099999999999999999.000", np.nan),
    # and beyond its range, where float() reads infinity
    ("9" * 400, np.nan), ("-" + "9" * 309 + ".00", np.nan), ("9" * 400 + ".5", np.inf), ("1" + "0" * 400, np.inf),
    ("9999999999999999.5", 1e16), ("19999999999999999", 2e16),
    ("199999.5", 199999.5), ("0.0999995", 0.0999995), ("99999.5", 99999.5),
    ("1_0", 10.0), ("\t1", 1.0), ("+2", 2.0), ("1e5", 1e5), ("-0", -0.0),
    ("1e39", np.inf), ("inf", np.inf), ("NULLALL", np.nan), ("abc99999", np.nan),
    ("\u0661\u0662", 12.0),  # Arabic-Indic digits, as Python's float reads them
])
def test_placeholders_and_numbers(piece, expected):
    df = pd.DataFrame({"startdate": [T0], "obsvalue": [piece]})
    out, _ = run_quietly(cleaning.split_lines, df, 60)
    value = out["obsvalue"].iloc[0]
    assert out["obsvalue"].dtype == np.float32
    if np.isnan(expected):
        assert np.isnan(value)
    else:
        assert value == np.float32(expected)
        assert np.signbit(value) == np.signbit(expected)


@pytest.mark.parametrize("rate", [0.3, 0.1, 0.7, 1.5, 2.5, 0.001])
def test_fractional_rates_round_to_the_nanosecond_as_pandas_does(rate):
    df = pd.DataFrame({"startdate": [T0, T0 + pd.Timedelta(hours=1)],
                       "obsvalue": [" ".join(str(k) for k in range(50)), "1 2 3"]})
    ours, _ = run_quietly(cleaning.split_lines, df, rate)
    expected, _ = run_quietly(split_lines_reference, df.copy(), rate)
    tm.assert_frame_equal(ours, expected, check_exact=True)


def test_three_tenths_of_a_second_three_times_is_nine_tenths():
    # 3 * 0.3 is 0.8999999999999999 as a double; pandas rounds it to 900 ms
    out, _ = run_quietly(cleaning.split_lines, pd.DataFrame({"startdate": [T0], "obsvalue": ["0 1 2 3"]}), 0.3)
    assert out.index[3] == T0 + pd.Timedelta(milliseconds=900)
    assert out.index[3].nanosecond == 0


def test_an_out_of_order_step_where_two_threads_meet():
    # 4 rows of 60,000 seconds: with two threads the second one's rows begin
    # at row 2, which starts half a row before row 1 ends
    rows = [" ".join(f"{(r * 7 + k) % 113}.5" for k in range(60_000)) for r in range(4)]
    starts = [T0, T0 + pd.Timedelta(seconds=60_000), T0 + pd.Timedelta(seconds=90_000),
              T0 + pd.Timedelta(seconds=150_000)]
    df = pd.DataFrame({"startdate": starts, "stationid": ["a", "b", "c", "d"], "obsvalue": rows})
    ours, _ = run_quietly(cleaning.split_lines, df, 1)
    expected, _ = run_quietly(split_lines_reference, df.copy(), 1)
    tm.assert_frame_equal(ours, expected, check_exact=True)
    assert ours.index.is_monotonic_increasing


@pytest.mark.parametrize("stations,days,rate,apart,pieces", [
    (3, 4, 60, 0, 1440), (40, 2, 60, 0, 1440),
    (40, 4, 60, 7, 1440),        # each station's rows begin 7 s after the one before: off any common minute
    (4, 2, 0.5, 0, 1440),        # half seconds: a fractional rate
    (4, 2, 1 / 3, 0.1, 1440),    # thirds of a second, starts a tenth of a second apart
    (4, 2, 1 / 3, 0.1, 30_000),  # the same, samples enough for threads
], ids=["3 stations", "40 stations", "off the minute", "half seconds", "thirds of a second", "thirds, threads"])
def test_stations_side_by_side(stations, days, rate, apart, pieces):
    # the fetch's table: rows sorted by station, then time, each a row's period of samples
    rng = random.Random(stations)
    period = pd.Timedelta(seconds=pieces * rate)
    frame = pd.DataFrame({
        "startdate": [T0 + d * period + pd.Timedelta(seconds=s * apart) for s in range(stations) for d in range(days)],
        "stationid": [f"370{s:02d}1" for s in range(stations) for _ in range(days)],
        "itemid": ["4121"] * (stations * days),
        "obsvalue": [" ".join(random_piece(rng) for _ in range(pieces)) for _ in range(stations * days)],
    })
    frame.loc[3, "obsvalue"] = None
    ours, _ = run_quietly(cleaning.split_lines, frame, rate)
    expected, _ = run_quietly(split_lines_reference, frame.copy(), rate)
    tm.assert_frame_equal(ours, expected, check_exact=True)


def test_rows_without_text_become_one_sample_without_time():
    df = pd.DataFrame({"startdate": [T0, T0], "obsvalue": [np.nan, "1 2"], "k": ["a", "b"]})
    out, _ = run_quietly(cleaning.split_lines, df, 60)
    assert out["k"].tolist() == ["b", "b", "a"]
    assert out.index[:2].tolist() == [T0, T0 + pd.Timedelta(minutes=1)]
    assert pd.isna(out.index[2]) and np.isnan(out["obsvalue"].iloc[2])


def test_repeated_row_labels_keep_each_rows_own_samples():
    # pandas' label join would pair every row with every other row's pieces
    df = pd.DataFrame({"startdate": [T0, T0 + pd.Timedelta(hours=1)], "obsvalue": ["1 2", "3 4"]},
                      index=[7, 7])
    out, _ = run_quietly(cleaning.split_lines, df, 60)
    assert out["obsvalue"].tolist() == [1.0, 2.0, 3.0, 4.0]
    assert len(out) == 4


def test_time_zones_and_object_times_are_added_by_pandas():
    zoned = pd.DataFrame({"startdate": [T0.tz_localize("Asia/Shanghai")] * 2, "obsvalue": ["1 2", "3"]})
    ours, _ = run_quietly(cleaning.split_lines, zoned, 3600)
    expected, _ = run_quietly(split_lines_reference, zoned.copy(), 3600)
    tm.assert_frame_equal(ours, expected)
    assert isinstance(ours.index.dtype, pd.DatetimeTZDtype) and str(ours.index.dtype.tz) == "Asia/Shanghai"


def test_empty_and_one_row_tables():
    empty = pd.DataFrame({"startdate": pd.Series([], dtype="datetime64[ns]"), "s": pd.Series([], dtype=object),
                          "obsvalue": pd.Series([], dtype=object)})
    ours, _ = run_quietly(cleaning.split_lines, empty, 60)
    expected, _ = run_quietly(split_lines_reference, empty.copy(), 60)
    tm.assert_frame_equal(ours, expected)
    one = pd.DataFrame({"startdate": [T0], "obsvalue": ["4.5"]})
    ours, _ = run_quietly(cleaning.split_lines, one, 1)
    assert ours.index.tolist() == [T0] and ours["obsvalue"].tolist() == [4.5]


def outcome(function, df, rate):
    try:
        with warnings.catch_warnings():  # pandas warns on some of these paths
            warnings.simplefilter("ignore")
            run_quietly(function, df, rate)
    except Exception as error:  # noqa: BLE001 - the error itself is compared
        return type(error), str(error)
    return None


@pytest.mark.parametrize("df,rate", [
    (pd.DataFrame({"startdate": [T0]}), 60),                                    # no obsvalue
    (pd.DataFrame({"obsvalue": ["1 2"]}), 60),                                   # no startdate
    (pd.DataFrame({"startdate": [T0], "obsvalue": [1.0]}), 60),                  # numbers, not text
    (pd.DataFrame({"startdate": [T0], "timespan": [1], "obsvalue": ["1"]}), 60),  # column in the way
    (pd.DataFrame({"startdate": ["2009-01-01"], "obsvalue": ["1 2"]}), 60),      # times as text
    (pd.DataFrame({"startdate": [T0], "obsvalue": ["1 2"]}), "60"),              # rate as text
    (pd.DataFrame({"startdate": [T0, T0 - pd.Timedelta(days=1)], "obsvalue": ["1 abc", "x 2"]}), 60),
    (pd.DataFrame({"startdate": [T0], "obsvalue": ["1 2"]}), 86400),             # two values, no split
    (pd.DataFrame({"startdate": [T0], "obsvalue": ["1\x002"]}), 60),
    # a lone surrogate (only an object column holds one: Arrow strings are UTF-8)
    (pd.DataFrame({"startdate": [T0], "obsvalue": pd.Series(["\ud800"], dtype=object)}), 60),
    (pd.DataFrame({"obsvalue": ["1"]}), 86400),
    (pd.DataFrame({"startdate": [T0]}), 86400),
    (pd.DataFrame({"startdate": [T0, T0], "obsvalue": [b"1 2", b"3"]}), 60),     # bytes, not text
    (pd.DataFrame({"startdate": [T0, T0], "obsvalue": [b"1 2", None]}), 1),
    (pd.DataFrame({"startdate": [T0, T0], "obsvalue": [np.nan, b"3"]}), 3600),
    (pd.DataFrame({"startdate": [T0], "timespan": [1], "obsvalue": [b"1"]}), 60),  # bytes before the overlap
])
def test_errors_are_those_of_the_pandas_formulation(df, rate):
    expected = outcome(split_lines_reference, df.copy(), rate)
    assert expected is not None
    if expected[0] is UnicodeEncodeError:
        # pandas 3's string methods turn an object column into Arrow strings,
        # which cannot hold a lone surrogate; velmora reads the piece as
        # pandas 1.5 and 2 do, and float() refuses it
        expected = (ValueError, "could not convert string to float: '\\ud800'")
    assert outcome(cleaning.split_lines, df.copy(), rate) == expected


def test_starts_at_both_ends_of_the_time_range():
    # row starts further apart than the largest signed 64-bit span
    df = pd.DataFrame({"startdate": pd.to_datetime(["2262-04-10", "1677-09-22"]), "obsvalue": ["1 2", "3"]})
    ours, _ = run_quietly(cleaning.split_lines, df.copy(), 60)
    expected, _ = run_quietly(split_lines_reference, df.copy(), 60)
    tm.assert_frame_equal(ours, expected)
    assert list(ours["obsvalue"]) == [3.0, 1.0, 2.0]


def test_time_overflow_is_an_error():
    df = pd.DataFrame({"startdate": [pd.Timestamp("2262-04-11 23:00")], "obsvalue": ["1 2"]})
    with pytest.raises(OverflowError):
        run_quietly(cleaning.split_lines, df, 3600)


def test_the_line_goes_through_the_modules_print(monkeypatch):
    lines = []
    monkeypatch.setattr(cleaning, "print", lambda *a: lines.append(a), raising=False)
    cleaning.split_lines(pd.DataFrame({"startdate": [T0], "obsvalue": ["1"]}), 60)
    assert lines == [("splitting data...",)]


def test_pandas_is_looked_up_at_call_time(monkeypatch):
    class Spy:
        def __init__(self):
            self.names = []

        def __getattr__(self, name):
            self.names.append(name)
            return getattr(pd, name)

    spy = Spy()
    monkeypatch.setattr(cleaning, "pd", spy)
    run_quietly(cleaning.split_lines, pd.DataFrame({"startdate": [T0], "obsvalue": ["1 2"]}), 60)
    assert "DatetimeIndex" in spy.names


@pytest.mark.parametrize("later", [1, -1], ids=["rows-in-time-order", "rows-reordered"])
@pytest.mark.parametrize("first", [3, 150_000], ids=["few", "threads"])
def test_repeated_text_values_hold_exact_reference_counts(later, first):
    code = "".join(["37", "0082"])  # a string object of its own
    other = "".join(["41", "21"])
    df = pd.DataFrame({"startdate": [T0, T0 + later * pd.Timedelta(days=9000)],  # beyond the first row's end
                       "k": pd.Series([code, code], dtype=object), "j": pd.Series([other, code], dtype=object),
                       "obsvalue": [" ".join(["1"] * first), "4"]})
    before = sys.getrefcount(code), sys.getrefcount(other)
    n = first + 1
    for rate in (60, 3600):
        out, _ = run_quietly(cleaning.split_lines, df, rate)
        assert out["k"].tolist() == [code] * n
        j = [other] * first + [code]
        assert out["j"].tolist() == (j if later == 1 else j[-1:] + j[:-1])
        del j
        assert (sys.getrefcount(code), sys.getrefcount(other)) == (before[0] + n + 1, before[1] + first)
        tail = out["k"].iloc[1:].copy()  # views and copies keep what they need
        del out
        gc.collect()
        assert sys.getrefcount(code) == before[0] + n - 1
        del tail
        gc.collect()
        assert (sys.getrefcount(code), sys.getrefcount(other)) == before
