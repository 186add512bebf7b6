"""Table-level cleaning of observation series."""
from typing import Literal, Mapping, Optional, Union

import numpy as np
import pandas as pd

def split_lines(df: pd.DataFrame, sample_by_seconds: Union[int, float]) -> pd.DataFrame:
    """Packed rows (columns ``startdate`` and ``obsvalue``, the samples as text
    separated by blanks) to one row per sample, indexed by time, values as
    float32, NaN for missing samples. Above 3600 seconds the caller's table is
    sorted, indexed and converted in place instead.

    >>> packed = pd.DataFrame({"startdate": pd.to_datetime(["2009-01-01"]),
    ...                        "stationid": ["370054"], "obsvalue": ["1.5 NULL 2"]})
    >>> split_lines(packed, 60)["obsvalue"].tolist()
    splitting data...
    [1.5, nan, 2.0]
    """

def concat_df(df_1: pd.DataFrame, df_2: pd.DataFrame) -> pd.DataFrame:
    """The rows of ``df_1`` then those of ``df_2``, numbered 1 to n in an index
    named ``new_index``.

    >>> concat_df(first_half, second_half).index[[0, -1]].tolist()
    [1, 44640]
    """

def remove_steps_v2(
    df: Union[pd.DataFrame, pd.Series],
    remove_peaks_steps: Union[Mapping[Literal["std", "threshold"], float], Literal[False], None] = False,
) -> Union[pd.DataFrame, pd.Series]:
    """The series with its steps removed: rows with a missing value are dropped
    from ``df`` itself, changes beyond the threshold are set to zero and the
    running sum of the changes is returned (first row NaN). The threshold:
    ``{"std": k}`` mean + k standard deviations of the changes,
    ``{"threshold": x}`` x, ``False``/``None``/``{}`` 30 standard deviations
    (``True`` raises). Pass one series at a time.

    >>> one = df[(df["STATIONID"] == "370054") & (df["ITEMID"] == "2111")]
    >>> clean = remove_steps_v2(one[["OBSVALUE"]].copy(), {"std": 5})
    remove steps threshold : ...
    """
