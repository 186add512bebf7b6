"""Where pandas releases shape results differently. Results that pandas 2 or
3 would shape otherwise than pandas 1.5 if left to it are held to the pandas
1.5 outcome (empty results, dates that are none, the errors of a failed
read); steps where pandas 2.2 or 3.1 would warn warn no more; dtypes are
those pandas itself gives on each release, and this file states each one.
The whole suite runs on every stack of `make test`; these tests name the
places."""
import contextlib
import io
import re
import sqlite3
import warnings

import dateutil.parser
import numpy as np
import pandas as pd
import pandas.testing as tm
import pytest

import qzdb
import sqlalchemy
import velmora.bisource as bisource
import velmora.cleaning as cleaning
import velmora.fetching as fetching
from helpers import SECTION, conf_text, oracle_options, quietly

pytestmark = pytest.mark.filterwarnings("ignore:pandas only supports SQLAlchemy connectable:UserWarning")

PANDAS_MAJOR = int(pd.__version__.split(".")[0])
ALL = "全部"
OBSERVATION_COLUMNS = ["STARTDATE", "STATIONID", "ITEMID", "OBSVALUE"]
LOG_COLUMNS = ["stationid", "pointid", "itemid", "startdate", "enddate", "evtid", "note"]


@pytest.fixture
def oracle(dirs, qz_sample_path, qz_cx_oracle):
    """A bisource connection to the sample on the Oracle stand-in (the driver
    of velmora.bisource while qz_cx_oracle is in use)."""
    assert bisource.orcl is qzdb.oracle
    (dirs.work / "default.conf").write_text(conf_text(**oracle_options(qz_sample_path)), encoding="utf-8")
    conn = quietly(bisource.conn_to_Oracle, SECTION)[0]
    yield conn
    conn.close()


def empty_table(columns, dtypes=None):
    """A table of no rows as pandas 1.5 reads it: object columns (unless given)
    and an empty Index of objects, not a RangeIndex."""
    dtypes = dtypes or {}
    return pd.DataFrame({c: pd.Series([], dtype=dtypes.get(c, object)) for c in columns},
                        index=pd.Index([], dtype=object))


def empty_split_table():
    """A split request that read no rows: an empty DatetimeIndex STARTDATE in
    the unit of the driver's datetimes (nanoseconds before pandas 3,
    microseconds on it), text columns of pandas' own text dtype (objects before
    pandas 3, str on it), float32 values."""
    text = "str" if PANDAS_MAJOR >= 3 else object
    unit = "us" if PANDAS_MAJOR >= 3 else "ns"
    return pd.DataFrame({"STATIONID": pd.Series([], dtype=text), "ITEMID": pd.Series([], dtype=text),
                         "OBSVALUE": pd.Series([], dtype="float32")},
                        index=pd.DatetimeIndex([], dtype=f"datetime64[{unit}]", name="STARTDATE"))


class TestEmptyResults:
    @pytest.mark.parametrize("gzip_flag,obsvalue", [(False, object), (True, "float64")])
    def test_fetching_data_of_an_empty_period(self, engine, gzip_flag, obsvalue):
        result, lines = quietly(fetching.fetching_data, engine, "20200101", "20200103", "水位", ALL, "分钟值",
                                "预处理库", gzip_flag=gzip_flag, my_split_lines=False)
        tm.assert_frame_equal(result, empty_table(OBSERVATION_COLUMNS, {"OBSVALUE": obsvalue}),
                              check_index_type=True)
        assert lines == ["fetching data...", "data fetched..."]
        result, lines = quietly(fetching.fetching_data, engine, "20200101", "20200103", "水位", ALL, "分钟值",
                                "预处理库", gzip_flag=gzip_flag)
        tm.assert_frame_equal(result, empty_split_table(), check_index_type=True)
        assert lines == ["fetching data...", "data fetched..."]

    def test_fetching_data_of_dates_in_reverse(self, engine):
        result = quietly(fetching.fetching_data, engine, "20090110", "20090101", "形变", "郯城", "分钟值",
                         "预处理库")[0]
        tm.assert_frame_equal(result, empty_split_table(), check_index_type=True)

    def test_fetching_dialog_of_an_empty_period(self, engine, oracle):
        got = fetching.fetching_dialog(engine, "20200101", "20200102")
        tm.assert_frame_equal(got, empty_table(LOG_COLUMNS), check_index_type=True)
        got = bisource.fetching_dialog(oracle, "20200101", "20200102")
        tm.assert_frame_equal(got, empty_table([c.upper() for c in LOG_COLUMNS]), check_index_type=True)

    def test_mysql_fetching_data_of_an_empty_period(self, mysql):
        result = quietly(bisource.fetching_data, mysql, "20200101", "20200103", "水位", ALL, "日均值", "预处理库",
                         my_split_lines=False)[0]
        tm.assert_frame_equal(result, empty_table(OBSERVATION_COLUMNS), check_index_type=True)
        result = quietly(bisource.fetching_data, mysql, "20200101", "20200103", "水位", ALL, "日均值", "预处理库")[0]
        tm.assert_frame_equal(result, empty_split_table(), check_index_type=True)

    def test_a_table_with_rows_keeps_its_range_index(self, engine):
        """Only empty results are re-indexed: a dialog with rows comes as pandas reads it."""
        got = fetching.fetching_dialog(engine, "20090101", "20090131")
        assert len(got) > 0
        tm.assert_index_equal(got.index, pd.RangeIndex(len(got)), exact=True)


class TestDatesThatAreNone:
    """Text that is no date raises dateutil's ParserError, with pandas 1.5's message."""

    @pytest.mark.parametrize("text,message", [
        ("notadate", "Unknown string format: notadate present at position 0"),
        ("2009W02", "Unknown string format: 2009W02 present at position 0"),
        ("2009-02-30", "day is out of range for month: 2009-02-30 present at position 0"),
        ("2009-01-05 25:00", "hour must be in 0..23: 2009-01-05 25:00 present at position 0"),
    ])
    @pytest.mark.parametrize("call", ["fetching_data", "fetching_dialog", "bisource_dialog"])
    def test_parser_error(self, engine, oracle, text, message, call):
        calls = {
            "fetching_data": lambda: fetching.fetching_data(engine, text, "20090105", "水位", ALL, "日值", "预处理库"),
            "fetching_dialog": lambda: fetching.fetching_dialog(engine, "20090101", text),
            "bisource_dialog": lambda: bisource.fetching_dialog(oracle, text, "20090105"),
        }
        with contextlib.redirect_stdout(io.StringIO()), pytest.raises(dateutil.parser.ParserError) as info:
            calls[call]()
        assert str(info.value) == message

    def test_other_errors_keep_their_type(self, engine):
        with pytest.raises(TypeError, match="is not convertible to datetime"):
            fetching.fetching_dialog(engine, b"20090105", "20090105")


class TestNoWarnings:
    """Assignments into tables that share their data with another one, where
    pandas 2.2 suspects chained assignment, and the loaders' replace and
    back-filling: no warning but those the pinned stack's own libraries give
    whoever calls them (the filters of pyproject.toml)."""

    @staticmethod
    @contextlib.contextmanager
    def warnings_are_errors():
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            # SQLAlchemy 1.4, once per process, on pandas 1.5's use of its 1.x API
            warnings.filterwarnings("ignore", "Deprecated API features detected", DeprecationWarning)
            yield

    def test_split_lines_of_a_table_that_shares_its_data(self):
        whole = pd.DataFrame({"startdate": pd.to_datetime(["2009-01-02", "2009-01-01"]),
                              "stationid": ["370054", "370054"], "obsvalue": ["2.5", "1.5"],
                              "unused": [0, 1]})
        part = whole.loc[:, ["startdate", "stationid", "obsvalue"]]
        with self.warnings_are_errors():
            got = quietly(cleaning.split_lines, part, 86400)[0]
        want = pd.DataFrame({"stationid": ["370054", "370054"], "obsvalue": np.array([1.5, 2.5], dtype="float32")},
                            index=pd.DatetimeIndex(["2009-01-01", "2009-01-02"], name="startdate"))
        tm.assert_frame_equal(got, want)
        assert got is part

    @pytest.mark.parametrize("loader", ["load_Oracle_data_water_year", "load_Oracle_data_resistivity_year"])
    def test_loaders(self, engine, loader):
        with self.warnings_are_errors():
            got = quietly(getattr(fetching, loader), engine)[0]
        assert len(got) > 0 and got["OBSVALUE"].dtype == np.float32
        if loader == "load_Oracle_data_water_year":
            assert set(got["STATIONID"]) == {"37005H"}
            assert got.index.is_monotonic_increasing and not got.isna().any().any()


class TestDtypesOfEachRelease:
    """The dtypes pandas gives, release by release, for what velmora reads and
    computes: text as objects before pandas 3 and as pandas 3's str (pyarrow
    storage where pyarrow is installed); times at the nanosecond before pandas
    3, at the microsecond of the driver's datetimes on pandas 3, and at the
    nanosecond wherever a fractional rate needs it."""

    TEXT = "object" if PANDAS_MAJOR < 3 else "str"
    READ_TIMES = "datetime64[ns]" if PANDAS_MAJOR < 3 else "datetime64[us]"

    def test_fetched_observations(self, engine):
        got = quietly(fetching.fetching_data, engine, "20090101", "20090102", "水位", ALL, "分钟值", "预处理库")[0]
        assert [str(t) for t in got.dtypes] == [self.TEXT, self.TEXT, "float32"]
        assert str(got.index.dtype) == self.READ_TIMES
        # every sample exactly on its minute
        assert (got.index.to_series().diff().dropna() % pd.Timedelta(minutes=1) == pd.Timedelta(0)).all()

    def test_dictionaries_and_logs(self, engine):
        stations, points, items = fetching.timeseries_info(engine)
        logs = fetching.fetching_dialog(engine, "20090101", "20090131")
        assert {str(t) for t in stations.dtypes} == {self.TEXT}
        assert str(logs["stationid"].dtype) == self.TEXT and str(logs["startdate"].dtype) == self.READ_TIMES

    @pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
    @pytest.mark.parametrize("rate,fine", [(1, False), (60, False), (0.5, True), (0.3, True)])
    def test_split_times(self, unit, rate, fine):
        start = pd.Series(pd.to_datetime(["2009-01-01"])).astype(f"datetime64[{unit}]")
        if str(start.dtype) != f"datetime64[{unit}]":
            pytest.skip("pandas 1.5 keeps datetimes in nanoseconds only")
        got = quietly(cleaning.split_lines, pd.DataFrame({"startdate": start, "obsvalue": ["1 2 3 4"]}), rate)[0]
        # pandas' own sum of a start and an offset: nanoseconds before pandas 3;
        # the finer of the start's unit and the offset's on pandas 3
        offsets = pd.to_timedelta(pd.Series([1 if rate == int(rate) else rate]), unit="s")
        assert got.index.dtype == (start + offsets).dtype
        if PANDAS_MAJOR < 3 or fine:
            assert str(got.index.dtype) == "datetime64[ns]"
        else:
            assert str(got.index.dtype) == f"datetime64[{'us' if unit in ('s', 'ms') else unit}]"
        want = [pd.Timestamp("2009-01-01") + pd.Timedelta(nanoseconds=round(k * rate * 1e9)) for k in range(4)]
        assert list(got.index) == want

    def test_the_overlap_error_names_the_index_as_the_release_shows_it(self):
        df = pd.DataFrame({"startdate": pd.to_datetime(["2009-01-01"]), "timespan": [1], "obsvalue": ["1"]})
        with contextlib.redirect_stdout(io.StringIO()), pytest.raises(ValueError) as raised:
            cleaning.split_lines(df, 60)
        index = "Index(['timespan'], dtype='object')" if PANDAS_MAJOR < 3 else "Index(['timespan'], dtype='str')"
        assert str(raised.value) == "columns overlap but no suffix specified: " + index


class TestErrorsOfAFailedRead:
    """pandas 3 wraps SQLAlchemy's error in its own DatabaseError and lets a
    driver's error through, where pandas 1.5 and 2 do the opposite: velmora
    raises what pandas 1.5 and 2 raise on every release."""

    @pytest.fixture
    def no_tables(self, dirs, qz_cx_oracle):
        path = dirs.work / "empty.sqlite"
        with contextlib.closing(sqlite3.connect(path)) as db, db:
            db.execute("CREATE TABLE T (A TEXT)")
        (dirs.work / "default.conf").write_text(conf_text(**oracle_options(path)), encoding="utf-8")
        return path

    def test_through_an_engine_sqlalchemys_error(self, no_tables):
        engine = quietly(fetching.conn_to_Oracle, SECTION)[0]
        with pytest.raises(sqlalchemy.exc.DatabaseError) as raised:
            fetching.timeseries_info(engine)
        assert str(raised.value.orig).startswith("ORA-00942")
        engine.dispose()

    def test_through_a_driver_connection_pandas_error_from_the_drivers(self, no_tables):
        conn = quietly(bisource.conn_to_Oracle, SECTION)[0]
        with pytest.raises(pd.io.sql.DatabaseError) as raised:
            bisource.timeseries_info(conn)
        assert re.match(r"Execution failed on sql 'SELECT \w+,\w+ FROM QZDATA.QZ_DICT_STATIONS': ORA-00942: ",
                        str(raised.value))
        assert isinstance(raised.value.__cause__, qzdb.oracle.DatabaseError)
        conn.close()
