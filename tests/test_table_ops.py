import contextlib
import io

import numpy as np
import pandas as pd
import pandas.testing as tm
import pytest

from velmora import cleaning

TIMES = pd.date_range("2009-01-01", periods=5, freq="min", name="startdate")


def quietly(function, *args, **kwargs):
    with contextlib.redirect_stdout(io.StringIO()) as out:
        result = function(*args, **kwargs)
    return result, out.getvalue()


class TestConcatDf:
    def test_rows_of_the_first_then_the_second_numbered_from_one(self):
        a = pd.DataFrame({"obsvalue": [1.0, 2.0, 3.0]}, index=TIMES[:3])
        b = pd.DataFrame({"obsvalue": [4.0, 5.0]}, index=TIMES[3:])
        out = cleaning.concat_df(a, b)
        expected = pd.DataFrame({"obsvalue": [1.0, 2.0, 3.0, 4.0, 5.0]},
                                index=pd.Index(np.arange(1, 6), name="new_index"))
        tm.assert_frame_equal(out, expected)

    def test_columns_are_united_and_inputs_untouched(self):
        a = pd.DataFrame({"x": [1], "y": ["a"]})
        b = pd.DataFrame({"y": ["b"], "z": [2.5]})
        a_before, b_before = a.copy(), b.copy()
        out = cleaning.concat_df(df_2=b, df_1=a)
        assert out.columns.tolist() == ["x", "y", "z"]
        assert out["y"].tolist() == ["a", "b"]
        assert np.isnan(out.loc[2, "x"]) and np.isnan(out.loc[1, "z"])
        tm.assert_frame_equal(a, a_before)
        tm.assert_frame_equal(b, b_before)

    def test_empty_tables_and_an_existing_new_index_column(self):
        out = cleaning.concat_df(pd.DataFrame(), pd.DataFrame())
        assert out.empty and out.index.name == "new_index"
        with_column = pd.DataFrame({"new_index": [9, 9], "v": [1, 2]})
        out = cleaning.concat_df(with_column, with_column)
        assert out.index.tolist() == [1, 2, 3, 4] and out.columns.tolist() == ["v"]

    def test_not_tables(self):
        with pytest.raises(TypeError):
            cleaning.concat_df(1, 2)


class TestRemoveStepsV2:
    series = pd.Series([1.0, 2.0, 3.0, 103.0, 104.0], index=TIMES)

    @pytest.mark.parametrize("choice,printed", [({"threshold": 10}, "10"), ({"threshold": 1}, "1")])
    def test_steps_beyond_the_threshold_are_dropped(self, choice, printed):
        out, line = quietly(cleaning.remove_steps_v2, self.series.copy(), choice)
        tm.assert_series_equal(out, pd.Series([np.nan, 1.0, 2.0, 2.0, 3.0], index=TIMES))
        assert line == f"remove steps threshold : {printed}\n"

    def test_falls_are_dropped_like_rises(self):
        s = pd.Series([10.0, 11.0, -89.0, -88.0], index=TIMES[:4])
        out, _ = quietly(cleaning.remove_steps_v2, s, {"threshold": 5})
        assert out.tolist()[1:] == [1.0, 1.0, 2.0]

    def test_std_wins_over_threshold(self):
        df = pd.DataFrame({"a": [0.0, 1, 2, 3, 50, 51], "b": [0.0, 0, 0, 0, 0, 0]})
        out, line = quietly(cleaning.remove_steps_v2, df.copy(), {"std": 1.0, "threshold": 1000})
        diff = df.diff()
        threshold = diff.mean() + 1.0 * diff.std()
        assert line == f"remove steps threshold : {threshold}\n"
        assert out["a"].tolist()[1:] == [1.0, 2.0, 3.0, 3.0, 4.0]

    @pytest.mark.parametrize("choice", [False, None, {}])
    def test_without_a_key_thirty_standard_deviations(self, choice):
        values = [0.0] * 40 + [1000.0] + [1000.0] * 10
        noise = np.sin(np.arange(51)) * 0.01
        s = pd.Series(np.array(values) + noise)
        out, line = quietly(cleaning.remove_steps_v2, s, choice)
        diff = s.diff()
        assert line == f"remove steps threshold : {diff.mean() + 30.0 * diff.std()}\n"
        # one step of 1000 among 50 changes stays below mean + 30 std
        tm.assert_series_equal(out, diff.cumsum())

    def test_default_is_false_and_works(self):
        assert cleaning.remove_steps_v2.__defaults__ == (False,)
        out, line = quietly(cleaning.remove_steps_v2, self.series.copy())
        assert line.startswith("remove steps threshold : ")
        assert len(out) == 5

    def test_incomplete_rows_leave_the_callers_table(self):
        df = pd.DataFrame({"a": [1.0, np.nan, 3.0, 4.0]}, index=TIMES[:4])
        out, _ = quietly(cleaning.remove_steps_v2, df, {"threshold": 10})
        assert df.index.tolist() == [TIMES[0], TIMES[2], TIMES[3]]
        assert out.index.tolist() == df.index.tolist()

    def test_one_row_gives_one_nan(self):
        out, _ = quietly(cleaning.remove_steps_v2, pd.DataFrame({"a": [5.0]}), {"threshold": 1})
        assert len(out) == 1 and np.isnan(out["a"].iloc[0])

    def test_text_columns_fail_after_dropping_incomplete_rows(self):
        df = pd.DataFrame({"a": ["x", None, "y"]})
        with pytest.raises(TypeError):
            quietly(cleaning.remove_steps_v2, df, {"threshold": 1})
        assert len(df) == 2

    def test_a_value_that_is_no_mapping_is_refused(self):
        with pytest.raises(TypeError, match="not iterable"):
            quietly(cleaning.remove_steps_v2, self.series.copy(), 5)
