"""Results that pandas 2 would shape differently from pandas 1.5 if left to it,
held to the pandas 1.5 outcome, and steps where pandas 2.2 would warn. The
whole suite runs on both stacks (`make test`); these tests name the places."""
import contextlib
import io
import warnings

import dateutil.parser
import numpy as np
import pandas as pd
import pandas.testing as tm
import pytest

import qzdb
import velmora.bisource as bisource
import velmora.cleaning as cleaning
import velmora.fetching as fetching
from helpers import SECTION, conf_text, oracle_options, quietly

pytestmark = pytest.mark.filterwarnings("ignore:pandas only supports SQLAlchemy connectable:UserWarning")

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


class TestEmptyResults:
    @pytest.mark.parametrize("split", [True, False])
    @pytest.mark.parametrize("gzip_flag,obsvalue", [(False, object), (True, "float64")])
    def test_fetching_data_of_an_empty_period(self, engine, split, gzip_flag, obsvalue):
        result, lines = quietly(fetching.fetching_data, engine, "20200101", "20200103", "水位", ALL, "分钟值",
                                "预处理库", gzip_flag=gzip_flag, my_split_lines=split)
        tm.assert_frame_equal(result, empty_table(OBSERVATION_COLUMNS, {"OBSVALUE": obsvalue}),
                              check_index_type=True)
        assert lines == ["fetching data...", "data fetched..."]

    def test_fetching_data_of_dates_in_reverse(self, engine):
        result = quietly(fetching.fetching_data, engine, "20090110", "20090101", "形变", "郯城", "分钟值",
                         "预处理库")[0]
        tm.assert_frame_equal(result, empty_table(OBSERVATION_COLUMNS), check_index_type=True)

    def test_fetching_dialog_of_an_empty_period(self, engine, oracle):
        got = fetching.fetching_dialog(engine, "20200101", "20200102")
        tm.assert_frame_equal(got, empty_table(LOG_COLUMNS), check_index_type=True)
        got = bisource.fetching_dialog(oracle, "20200101", "20200102")
        tm.assert_frame_equal(got, empty_table([c.upper() for c in LOG_COLUMNS]), check_index_type=True)

    def test_mysql_fetching_data_of_an_empty_period(self, mysql):
        result = quietly(bisource.fetching_data, mysql, "20200101", "20200103", "水位", ALL, "日均值", "预处理库")[0]
        tm.assert_frame_equal(result, empty_table(OBSERVATION_COLUMNS), check_index_type=True)

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
