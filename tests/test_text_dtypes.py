"""Text is text whatever pandas stores it as: numpy objects, pandas' string
dtype with python or pyarrow storage (NA or NaN for a missing value), pandas
3's default str and Arrow strings. Every test compares with the same table
held as objects."""
import contextlib
import io
import warnings

import numpy as np
import pandas as pd
import pandas.testing as tm
import pytest

import velmora.bisource as bisource
import velmora.cleaning as cleaning
import velmora.fetching as fetching
from helpers import quietly

try:
    import pyarrow as pa
except ImportError:  # pandas runs without it; the Arrow cases then cannot be made
    pa = None

PANDAS_MAJOR = int(pd.__version__.split(".")[0])
pytestmark = pytest.mark.filterwarnings("ignore:pandas only supports SQLAlchemy connectable:UserWarning")
T0 = pd.Timestamp("2009-01-01")


def text_dtypes():
    dtypes = [pytest.param("string", id="string-python")]
    if PANDAS_MAJOR >= 3:
        dtypes.append(pytest.param(pd.StringDtype("python", na_value=np.nan), id="str-python"))
    if pa is not None:
        dtypes += [pytest.param("string[pyarrow]", id="string-pyarrow"),
                   pytest.param(pd.ArrowDtype(pa.string()), id="arrow-string"),
                   pytest.param(pd.ArrowDtype(pa.large_string()), id="arrow-large-string")]
        if PANDAS_MAJOR >= 3:
            dtypes.append(pytest.param(pd.StringDtype("pyarrow", na_value=np.nan), id="str-pyarrow"))
    return dtypes


TEXT_DTYPES = text_dtypes()


def packed(dtype, texts, days=None):
    days = days if days is not None else range(len(texts))
    return pd.DataFrame({
        "startdate": pd.to_datetime([T0 + pd.Timedelta(days=d) for d in days]),
        "stationid": pd.Series([f"3700{i % 2}4" for i in range(len(texts))], dtype=object),
        "obsvalue": pd.Series(texts, dtype=object).astype(dtype),
    })


def as_objects(df):
    return df.astype({"obsvalue": object})


TEXTS = ["1.5 NULL 2.25", None, "99999 -0.5  7", "", "3 x99999y 4e1 null", "0.25"]


@pytest.mark.parametrize("dtype", TEXT_DTYPES)
@pytest.mark.parametrize("rate", [1, 60, 600, 3600, 0.5])
def test_split_into_samples_reads_every_text_dtype(dtype, rate):
    df = packed(dtype, TEXTS, days=[2, 0, 1, 1, 3, 0])
    want = quietly(cleaning.split_lines, as_objects(df), rate)[0]
    got = quietly(cleaning.split_lines, df, rate)[0]
    tm.assert_frame_equal(got, want, check_exact=True)
    # NULL; the row without text; 99999 and the empty piece; the empty cell; x99999y and null
    assert got["obsvalue"].isna().sum() == 7


@pytest.mark.parametrize("dtype", TEXT_DTYPES + [pytest.param(object, id="object")])
@pytest.mark.parametrize("rate", [7200, 86400])
def test_one_value_per_row_above_an_hour(dtype, rate):
    # the placeholders of any text column are missing values, never errors or numbers
    df = packed(dtype, ["1.5", "NULL", "99999", None, "-2", "null", ""], days=[6, 5, 4, 3, 2, 1, 0])
    got = quietly(cleaning.split_lines, df, rate)[0]
    assert got is df
    # rows 6, 5, ..., 0 in time order
    want = pd.DataFrame({"stationid": pd.Series(["370004", "370014"] * 3 + ["370004"], dtype=object),
                         "obsvalue": np.array([np.nan, np.nan, -2, np.nan, np.nan, np.nan, 1.5], dtype="float32")})
    want.index = pd.Index(pd.to_datetime([T0 + pd.Timedelta(days=d) for d in range(7)]), name="startdate")
    tm.assert_frame_equal(got, want, check_exact=True)


@pytest.mark.parametrize("dtype", TEXT_DTYPES)
def test_the_other_columns_keep_their_text_dtype(dtype):
    df = packed("object", ["1 2", "3"]).astype({"stationid": dtype})
    got = quietly(cleaning.split_lines, df, 60)[0]
    assert got["stationid"].dtype == df["stationid"].dtype
    assert got["stationid"].tolist() == ["370004", "370004", "370014"]


@pytest.mark.skipif(pa is None, reason="needs pyarrow for Arrow-backed columns")
@pytest.mark.parametrize("rate", [60, 86400])
def test_arrow_text_is_read_from_its_buffers(rate):
    """No str object per cell: the column's array is neither converted nor iterated."""
    df = packed("string[pyarrow]", ["1 2 3", "4 NULL", "5"] if rate <= 3600 else ["1", "NULL", "5"])
    want = quietly(cleaning.split_lines, as_objects(df), rate)[0]
    arrow_array = type(df["obsvalue"].array)

    class Watched(arrow_array):
        def refused(self, *args, **kwargs):
            raise AssertionError("the Arrow column was turned into Python objects")

        to_numpy = __iter__ = __array__ = tolist = astype = refused

    watched = Watched(pa.chunked_array(df["obsvalue"].array.__arrow_array__()))
    df["obsvalue"] = pd.Series(watched, index=df.index)
    assert type(df["obsvalue"].array) is Watched
    got = quietly(cleaning.split_lines, df, rate)[0]
    tm.assert_frame_equal(got, want, check_exact=True)


@pytest.mark.skipif(pa is None, reason="needs pyarrow for Arrow-backed columns")
def test_arrow_columns_of_several_chunks_with_offsets():
    chunks = pa.chunked_array([pa.array(["0 1", None, "2 3 4"]).slice(1), pa.array(["x", "5 NULL"]).slice(1),
                               pa.array([], pa.string()), pa.array(["6"], pa.large_string()).cast(pa.string())])
    df = pd.DataFrame({"startdate": pd.to_datetime(["2009-01-01", "2009-01-02", "2009-01-03", "2009-01-04"]),
                       "obsvalue": pd.Series(pd.arrays.ArrowStringArray(chunks))})
    # the cells: none, "2 3 4", "5 NULL", "6"
    got = quietly(cleaning.split_lines, df, 3600)[0]
    want = quietly(cleaning.split_lines, as_objects(df), 3600)[0]
    tm.assert_frame_equal(got, want, check_exact=True)
    np.testing.assert_array_equal(got["obsvalue"].to_numpy(),
                                  np.array([2, 3, 4, 5, np.nan, 6, np.nan], dtype="float32"))


@pytest.mark.parametrize("dtype", TEXT_DTYPES)
def test_bad_pieces_are_refused_as_for_objects(dtype):
    df = packed(dtype, ["1 abc"])
    with contextlib.redirect_stdout(io.StringIO()), pytest.raises(ValueError) as from_text:
        cleaning.split_lines(df, 60)
    with contextlib.redirect_stdout(io.StringIO()), pytest.raises(ValueError) as from_objects:
        cleaning.split_lines(as_objects(df), 60)
    assert str(from_text.value) == str(from_objects.value) == "could not convert string to float: 'abc'"


def infer_string():
    """Text read as pandas' string dtype: pandas 3's default, an option of 2.1 and 2.2."""
    if PANDAS_MAJOR >= 3:
        return contextlib.nullcontext()
    try:
        pd.get_option("future.infer_string")
    except (KeyError, pd.errors.OptionError):
        pytest.skip("pandas 1.5 and 2.0 read text as objects only")
    if pa is None:
        pytest.skip("pandas 2 infers its string dtype with pyarrow only")
    return pd.option_context("future.infer_string", True)


class TestFetchedText:
    """The fetch on text that pandas reads into its string dtype."""

    def test_water_level_placeholder_rows(self, engine):
        # every day of the period, NULLALL rows among them, become one value each
        want = quietly(fetching.fetching_data, engine, "20090101", "20090110", "水位", "全部", "日均值", "预处理库")[0]
        with infer_string():
            got = quietly(fetching.fetching_data, engine, "20090101", "20090110", "水位", "全部", "日均值",
                          "预处理库")[0]
        assert got["OBSVALUE"].isna().any() and got["OBSVALUE"].notna().any()
        tm.assert_frame_equal(got.astype({"STATIONID": object, "ITEMID": object}),
                              want.astype({"STATIONID": object, "ITEMID": object}), check_index_type=False,
                              check_column_type=False)

    def test_unsplit_text_gets_the_rate_placeholder(self, engine):
        with infer_string():
            got = quietly(fetching.fetching_data, engine, "20090101", "20090110", "水位", "全部", "日均值",
                          "预处理库", my_split_lines=False)[0]
        assert not got["OBSVALUE"].str.contains("NULLALL").any()
        assert got["OBSVALUE"].eq("NULL").any()

    def test_water_loader_replaces_the_station_code(self, engine):
        with infer_string():
            got = quietly(fetching.load_Oracle_data_water_year, engine)[0]
        assert set(got["STATIONID"]) == {"37005H"}

    def test_mysql_water_level(self, mysql):
        want = quietly(bisource.fetching_data, mysql, "20090101", "20090110", "水位", "全部", "日均值", "预处理库")[0]
        with infer_string():
            got = quietly(bisource.fetching_data, mysql, "20090101", "20090110", "水位", "全部", "日均值",
                          "预处理库")[0]
        tm.assert_frame_equal(got.astype({"STATIONID": object, "ITEMID": object}),
                              want.astype({"STATIONID": object, "ITEMID": object}), check_index_type=False,
                              check_column_type=False)


class TestCallerWarnings:
    """velmora's own calls show a caller who turns every warning into an error
    no Pandas4Warning, FutureWarning or DeprecationWarning, and the caller's
    table is still changed in place where it is meant to be."""

    @staticmethod
    @contextlib.contextmanager
    def strict():
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            # SQLAlchemy 1.4, once per process, on pandas 1.5's use of its 1.x API
            warnings.filterwarnings("ignore", "Deprecated API features detected", DeprecationWarning)
            yield

    def test_split_lines_in_place_above_an_hour(self):
        df = packed("object", ["2", "1"], days=[1, 0])
        with self.strict():
            got = quietly(cleaning.split_lines, df, 86400)[0]
        assert got is df and df.index.name == "startdate" and df["obsvalue"].tolist() == [1.0, 2.0]

    def test_remove_steps_drops_the_callers_incomplete_rows(self):
        df = pd.DataFrame({"v": [1.0, np.nan, 2.0, 3.0, 103.0, 104.0]})
        with self.strict():
            got = quietly(cleaning.remove_steps_v2, df, {"threshold": 10})[0]
        assert df.index.tolist() == [0, 2, 3, 4, 5]
        assert got["v"].tolist()[1:] == [1.0, 2.0, 2.0, 3.0]

    def test_concat_df(self):
        with self.strict():
            got = cleaning.concat_df(pd.DataFrame({"a": [1]}), pd.DataFrame({"a": [2]}))
        assert got.index.name == "new_index" and got["a"].tolist() == [1, 2]

    def test_fetches_and_logs(self, engine):
        with self.strict():
            data = quietly(fetching.fetching_data, engine, "20090101", "20090103", "形变", "郯城", "分钟值",
                           "预处理库")[0]
            logs = fetching.fetching_dialog(engine, "20090101", "20090131")
            water = quietly(fetching.load_Oracle_data_water_year, engine)[0]
        assert len(data) and len(logs) and len(water)
