"""fetching_data splits the packed text of each batch of rows while it reads
the next: the result, the printed lines and the errors are those of a read
in one piece followed by split_lines, on every connection velmora makes."""
import contextlib
import gc
import gzip
import types

import numpy as np
import pandas as pd
import pandas.testing as tm
import pytest

import velmora.bisource as bisource
import velmora.cleaning
import velmora.fetching as fetching
from helpers import SECTION, conf_text, quietly

pytestmark = pytest.mark.filterwarnings("ignore:pandas only supports SQLAlchemy connectable:UserWarning")

ALL = "全部"
REQUESTS = {
    "minutes, stations side by side": ("20090103", "20090105", "形变", ALL, "分钟值", "预处理库"),
    "hours": ("20090103", "20090105", "电磁", ALL, "小时值", "预处理库"),
    "seconds": ("20090101", "20090101", "磁通门", ALL, "秒值", "原始库"),
    "days": ("20090103", "20090105", "水位", ALL, "日均值", "预处理库"),
}
SECONDS = dict(gzip_flag=True)  # the sample's second values are stored compressed


@pytest.fixture(params=["fetching", "bisource"])
def source(request, dirs):
    """(module, connection) for each way velmora reads observations: an
    engine on the Oracle stand-in, a PyMySQL connection to MariaDB."""
    if request.param == "fetching":
        return fetching, request.getfixturevalue("engine")
    server = request.getfixturevalue("qz_mariadb")
    (dirs.work / "default.conf").write_text(conf_text(**server.conf_section()), encoding="utf-8")
    conn = bisource.conn_to_MySQL(SECTION)
    request.addfinalizer(conn.close)
    return bisource, conn


class Batches:
    """pandas.read_sql, with the batches of a read in batches made `rows`
    rows small and every table of observation rows read passed through
    `change` (a function of a table that returns a table) first; records
    the chunksize of each read."""

    def __init__(self, monkeypatch, rows=2, change=None):
        self.real = pd.read_sql
        self.rows, self.chunksizes = rows, []
        self.change = lambda df: change(df) if change and has_column(df, "obsvalue") else df
        monkeypatch.setattr(pd, "read_sql", self)

    def __call__(self, sql, *args, chunksize=None, **kwargs):
        self.chunksizes.append(chunksize)
        if chunksize is None:
            return self.change(self.real(sql, *args, **kwargs))
        return (self.change(df) for df in self.real(sql, *args, chunksize=self.rows, **kwargs))


def has_column(df, name):
    return any(c.lower() == name for c in df.columns)


def column(df, name):
    return next(c for c in df.columns if c.lower() == name)


def in_one_piece(module, monkeypatch):
    """The module reads in one piece and calls split_lines afterwards (as
    it does when its split_lines is not velmora's own)."""
    monkeypatch.setattr(module, "tsc", types.SimpleNamespace(
        split_lines=lambda df, rate: velmora.cleaning.split_lines(df, rate)))


def both_ways(module, conn, monkeypatch, *args, **kwargs):
    """(result, lines) read in batches, then (result, lines) in one piece;
    an error is returned in place of the result."""
    def call():
        try:
            return quietly(module.fetching_data, conn, *args, **kwargs)
        except Exception as error:  # compared below
            return error, None

    ahead = call()
    with monkeypatch.context() as m:
        in_one_piece(module, m)
        whole = call()
    return ahead, whole


@pytest.mark.parametrize("request_", REQUESTS.values(), ids=REQUESTS.keys())
def test_the_same_table_and_lines_as_a_read_in_one_piece(source, monkeypatch, request_):
    module, conn = source
    batches = Batches(monkeypatch)
    kwargs = SECONDS if request_ == REQUESTS["seconds"] else {}
    (ahead, lines), (whole, whole_lines) = both_ways(module, conn, monkeypatch, *request_, **kwargs)
    assert not isinstance(ahead, Exception), ahead
    assert len(ahead) > 0
    tm.assert_frame_equal(ahead, whole, check_exact=True)
    assert lines == whole_lines
    # the observation rows of a split into samples (rates up to an hour)
    # came in batches
    daily = request_[4] == "日均值"
    assert any(rows is not None for rows in batches.chunksizes) != daily


def test_compressed_values_in_batches(engine, monkeypatch):
    Batches(monkeypatch, rows=1)
    (ahead, lines), (whole, whole_lines) = both_ways(fetching, engine, monkeypatch, *REQUESTS["seconds"], **SECONDS)
    assert len(ahead) > 86400
    tm.assert_frame_equal(ahead, whole, check_exact=True)
    assert lines == whole_lines == ["fetching data...", "splitting data...", "data fetched..."]


def test_a_value_that_cannot_be_decompressed_fails_as_in_one_piece(engine, monkeypatch):
    """The first failing value in the sorted rows raises, not the first one read."""
    def refuse(value):
        raise OSError(f"not decompressed: {gzip.decompress(value)!r}")

    def named(df):
        # each row's value names its row; the rows of each batch in reverse,
        # so that the first row read is not the first sorted
        rows = zip(df[column(df, "stationid")], df[column(df, "itemid")], df[column(df, "startdate")])
        df = df.assign(**{column(df, "obsvalue"): [gzip.compress(f"{s} {i} {d}".encode()) for s, i, d in rows]})
        return df.iloc[::-1].reset_index(drop=True)

    monkeypatch.setattr(fetching, "gzip", types.SimpleNamespace(decompress=refuse))
    Batches(monkeypatch, rows=2, change=named)
    (ahead, _), (whole, _) = both_ways(fetching, engine, monkeypatch, *REQUESTS["seconds"], **SECONDS)
    assert type(ahead) is type(whole) is OSError
    assert str(ahead) == str(whole)
    # (the first row read is another)
    assert "37001 3121" in str(whole)


def on_the_second_day(value, name="obsvalue"):
    """The rows of the request's second day (whichever batch they come in)
    hold `value` in column `name`."""
    def change(df):
        df = df.copy()
        second_day = (df[column(df, "startdate")].dt.day == 4).tolist()
        df[column(df, name)] = [value if hit else v for hit, v in zip(second_day, df[column(df, name)])]
        return df
    return change


@pytest.mark.parametrize("change", [
    on_the_second_day(None),                       # missing rows: one sample without a time each
    on_the_second_day("1.5 x 2"),                  # no number: float()'s error for the first in the result
    on_the_second_day("NULLALL"),                  # a row marked empty
    on_the_second_day(7),                          # a number in place of text
    on_the_second_day(b"1 2"),                     # bytes among text
    lambda df: df.assign(**{column(df, "obsvalue"): [b"1 2"] * len(df)}),  # nothing but bytes: refused
    lambda df: df.assign(**{column(df, "obsvalue"): [None] * len(df)}),    # nothing but missing rows
    lambda df: df.assign(timespan=1),        # a column the split would add
    # batches whose other columns come in other dtypes than the rest
    on_the_second_day(None, "startdate"),    # no time
    on_the_second_day(None, "itemid"),       # no item
    # repeated columns that are not all numpy objects: the memory made ready
    # for them is given back, or none was made ready
    lambda df: df.assign(**{column(df, "itemid"): 7}),
    lambda df: df.astype({column(df, "stationid"): "string", column(df, "itemid"): "string"}),
], ids=["missing", "no-number", "nullall", "number", "some-bytes", "all-bytes", "all-missing", "timespan",
        "no-time", "no-item", "number-item", "string-columns"])
def test_unusual_rows_give_what_a_read_in_one_piece_gives(engine, monkeypatch, change):
    """Rows the split reads unusually: in batches of one row, each row's
    oddity meets the others only at the end."""
    Batches(monkeypatch, rows=1, change=change)
    (ahead, lines), (whole, whole_lines) = both_ways(fetching, engine, monkeypatch,
                                                     *REQUESTS["minutes, stations side by side"])
    if isinstance(whole, Exception):
        assert type(ahead) is type(whole) and str(ahead) == str(whole)
    else:
        tm.assert_frame_equal(ahead, whole, check_exact=True)
        assert lines == whole_lines


def test_the_table_keeps_its_memory_while_any_view_of_it_lives(source, monkeypatch):
    """The split table is written into memory made ready during the read:
    its arrays own it, are writable, and outlive the table and the read."""
    module, conn = source
    Batches(monkeypatch, rows=3)
    table, _ = quietly(module.fetching_data, conn, *REQUESTS["minutes, stations side by side"])
    expected = table.copy(deep=True)
    obsvalue, station = column(table, "obsvalue"), column(table, "stationid")
    times, values, stations = table.index.to_numpy(), table[obsvalue].to_numpy(), table[station].to_numpy()
    del table
    gc.collect()
    np.testing.assert_array_equal(times, expected.index.to_numpy())
    np.testing.assert_array_equal(values, expected[obsvalue].to_numpy())
    np.testing.assert_array_equal(stations, expected[station].to_numpy())
    # a fresh table again, changed in place
    table, _ = quietly(module.fetching_data, conn, *REQUESTS["minutes, stations side by side"])
    table[obsvalue] = table[obsvalue].fillna(-1.0) * 2
    table.iloc[0, table.columns.get_loc(station)] = "changed"
    assert table[station].iloc[0] == "changed" and (table[obsvalue] == expected[obsvalue].fillna(-1.0) * 2).all()


class TestMySQLConnection:
    def test_rows_come_through_an_unbuffered_cursor_and_the_cursor_class_is_restored(self, mysql, monkeypatch):
        import pymysql.cursors

        seen = []
        batches = Batches(monkeypatch)
        real_call = batches.__call__

        def spy(sql, *args, **kwargs):
            seen.append(mysql.cursorclass)
            return real_call(sql, *args, **kwargs)

        monkeypatch.setattr(pd, "read_sql", spy)
        result = quietly(bisource.fetching_data, mysql, *REQUESTS["minutes, stations side by side"])[0]
        assert len(result) > 0
        assert seen[-1] is pymysql.cursors.SSCursor and seen[0] is pymysql.cursors.Cursor
        assert mysql.cursorclass is pymysql.cursors.Cursor

    def test_a_read_given_up_half_way_leaves_the_connection_usable(self, mysql, monkeypatch):
        calls = []

        def fail_on_the_second_batch(df):
            calls.append(len(df))
            if len(calls) == 2:
                raise KeyError("given up")
            return df

        Batches(monkeypatch, rows=1, change=fail_on_the_second_batch)
        with pytest.raises(KeyError, match="given up"):
            quietly(bisource.fetching_data, mysql, *REQUESTS["minutes, stations side by side"])
        monkeypatch.undo()
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # PyMySQL warns of an unfinished result it has to finish
            warnings.filterwarnings("ignore", "pandas only supports SQLAlchemy connectable")
            again = quietly(bisource.fetching_data, mysql, *REQUESTS["minutes, stations side by side"])[0]
        assert len(again) > 0
