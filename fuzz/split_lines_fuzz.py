"""atheris target: velmora.cleaning.split_lines against the pandas formulation.

Both get a copy of a table made from the input; they must give equal frames
(checked exactly, float32 bits and index included) and print the same, or
raise the same exception type with the same message.

Input layout (so that seeds stay readable text):
  byte 0    the sampling interval, RATES[byte % len(RATES)]
  byte 1    options: bit 0 extra columns, bit 1 row labels that are neither
            sorted nor unique, bit 2 start times with a time zone
  the rest  UTF-8 (invalid bytes become lone surrogates), one row per line;
            a line's first character picks the row's start (START_CODES), the
            rest is the cell text; a rest that begins with \\x01 is a missing
            cell (NaN), one that begins with \\x02 is a float cell and one that
            begins with \\x03 is a bytes cell (its text after the mark)

Coverage feedback comes from tests/split_reference.py, instrumented here, and
from the extensions when they are built for it (-fsanitize=fuzzer-no-link, as
scripts/fuzz.sh builds them, with ASan and UBSan).

Run: python fuzz/split_lines_fuzz.py [libFuzzer options] [corpus dirs]
"""
import contextlib
import io
import os
import sys
import warnings

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pandas.testing as tm  # noqa: E402

from velmora import cleaning  # noqa: E402

# The reference's own branches; pandas itself stays uninstrumented, or each
# run would cost several times as much.
with atheris.instrument_imports():
    from split_reference import split_lines_reference  # noqa: E402

RATES = [1, 60, 3600, 600, 86400, 2, 60.0, 0.5, 7200, 3601, 1.5, 3600.0]
T0 = pd.Timestamp("2009-01-01")
START_CODES = (
    [T0 + pd.Timedelta(minutes=30 * k) for k in range(10)]
    + [T0 - pd.Timedelta(days=1), pd.NaT, pd.Timestamp("2262-04-11 23:00"),
       pd.Timestamp("1677-09-22 00:13"), T0 + pd.Timedelta(1, "ns"), T0]
)


def make_table(data):
    rate = RATES[data[0] % len(RATES)]
    options = data[1]
    text = data[2:].decode("utf-8", "surrogateescape")
    starts, cells = [], []
    for line in text.split("\n"):
        starts.append(START_CODES[ord(line[0]) % len(START_CODES)] if line else T0)
        rest = line[1:]
        if rest.startswith("\x01"):
            cells.append(np.nan if len(rest) % 2 else None)
        elif rest.startswith("\x02"):
            cells.append(float(len(rest)) + 0.25)
        elif rest.startswith("\x03"):
            cells.append(rest[1:].encode("utf-8", "surrogatepass"))
        else:
            cells.append(rest)
    rows = len(cells)
    start_column = pd.Series(pd.to_datetime(starts))
    if options & 4:
        start_column = start_column.dt.tz_localize("Asia/Shanghai")
    columns = {"startdate": start_column, "obsvalue": pd.Series(cells, dtype=object)}
    if options & 1:
        columns = {
            "stationid": pd.Series(["370082", "37005h"] * rows)[:rows],
            "startdate": columns["startdate"],
            "obsvalue": columns["obsvalue"],
            "flag": pd.Series(np.arange(rows, dtype="int64")),
            "weight": pd.Series(pd.array([1, None] * rows, dtype="Int64")[:rows]),
        }
    frame = pd.DataFrame(columns)
    if options & 2:
        frame.index = [(7 * i) % 5 for i in range(rows)]
    return frame, rate


def outcome(function, df, rate):
    out = io.StringIO()
    try:
        with warnings.catch_warnings(), contextlib.redirect_stdout(out):
            warnings.simplefilter("ignore")
            result = function(df, rate)
    except Exception as error:  # noqa: BLE001 - the error itself is compared
        return None, (type(error), str(error)), out.getvalue()
    return result, None, out.getvalue()


def test_one_input(data):
    if len(data) < 2:
        return
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            df, rate = make_table(data)
    except (ValueError, OverflowError, pd.errors.OutOfBoundsDatetime):
        return  # a table pandas cannot make (a time zone past the range)
    given = df.copy()
    ours, our_error, our_print = outcome(cleaning.split_lines, given, rate)
    expected, expected_error, expected_print = outcome(split_lines_reference, df.copy(), rate)
    if our_error or expected_error:
        if our_error != expected_error:
            raise AssertionError(f"errors differ on {df!r} at {rate!r}:\n"
                                 f"  ours:     {our_error}\n  expected: {expected_error}")
        return
    assert our_print == expected_print, (our_print, expected_print)
    try:
        tm.assert_frame_equal(ours, expected, check_exact=True)
    except AssertionError as error:
        raise AssertionError(f"results differ on {df!r} at {rate!r}") from error
    if rate <= 3600:  # a new table; the caller's is untouched
        tm.assert_frame_equal(given, df, check_exact=True)
    else:  # the caller's table, converted in place
        assert ours is given


def main():
    print(f"split_lines_fuzz: velmora.cleaning from {cleaning.__file__}", file=sys.stderr)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
