"""Table-level cleaning of observation series."""
from typing import Any, Mapping, Union

import numpy as np
import pandas as pd

def split_lines(df: pd.DataFrame, sample_by_seconds: Union[int, float]) -> pd.DataFrame: ...
def concat_df(df_1: pd.DataFrame, df_2: pd.DataFrame) -> pd.DataFrame: ...
def remove_steps_v2(
    df: Union[pd.DataFrame, pd.Series],
    remove_peaks_steps: Union[Mapping[str, Any], bool, None] = False,
) -> Union[pd.DataFrame, pd.Series]: ...
