"""The pandas formulation of split_lines that the native one must equal.

It follows the table steps one by one (split/stack/join, time offsets, sort,
placeholders, float32), with the package's rules for placeholders and time
offsets. Samples that share a time come in the order of their rows: the join
runs on positional labels and the sort is stable.
"""
import math
import re
import warnings

import numpy as np
import pandas as pd


# Nines however many, written out: a double rounds sixteen and more of them
# to a power of ten, but they still mark a missing sample.
_WRITTEN_NINES = re.compile(r"[+-]?0*9{5,}(\.0*)?")


def _is_nines(value):
    if not math.isfinite(value) or value != int(value):
        return False
    digits = str(int(abs(value)))
    return len(digits) >= 5 and set(digits) == {"9"}


def _placeholder_to_nan(piece):
    if not isinstance(piece, str):
        return piece
    if piece == "" or "NULL" in piece or "null" in piece:
        return np.nan
    try:
        value = float(piece)
    except ValueError:
        return np.nan if "99999" in piece else piece  # left for astype to refuse
    return np.nan if _is_nines(value) or _WRITTEN_NINES.fullmatch(piece) else piece


def split_lines_reference(df, sample_by_seconds):
    # pandas warns about its own NaN casts on the way; they are no part of the result
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return _split_lines(df, sample_by_seconds)


def _split_lines(df, sample_by_seconds):
    print("splitting data...")
    if sample_by_seconds <= 3600:
        df = df.reset_index(drop=True)
        pieces = df["obsvalue"].str.split(" ", expand=True).stack()
        # the empty cells of shorter rows; pandas 3's stack keeps them
        pieces = pieces[pieces.notna()]
        df_0 = pieces.reset_index(level=1)
        df_0.rename(columns={"level_1": "timespan", 0: "obsvalue"}, inplace=True)
        df = df.drop("obsvalue", axis=1).join(df_0)
        df["timespan"] = pd.to_timedelta(df["timespan"] * sample_by_seconds, unit="s")
        df["startdate"] = df["startdate"] + df["timespan"]
    df.sort_values(by=["startdate"], inplace=True, kind="stable")
    df.set_index("startdate", inplace=True)
    df["obsvalue"] = df["obsvalue"].map(_placeholder_to_nan).astype("float32")
    if sample_by_seconds <= 3600:
        df.drop(["timespan"], axis=1, inplace=True)
    return df
