"""Helpers for the module tests."""
import contextlib
import datetime
import hashlib
import io
import os

import pandas as pd
import pandas.testing as tm

import qzdb.oracle
import qzdb.sample

SECTION = "qz"


def conf_text(section=SECTION, **options):
    lines = [f"[{section}]"] + [f"{key} = {value}" for key, value in options.items()]
    return "\n".join(lines) + "\n"


def oracle_options(sample_path, **changes):
    # TNSNAME is a SID the Oracle stand-in's listener knows the file by: the one it is registered under (the
    # session sample's), else a SID unique to the path, so that copies of a sample never take each other's names
    path = os.path.abspath(sample_path)
    names = qzdb.oracle.registered().get(path)
    if names is None:
        digest = hashlib.sha1(path.encode("utf-8")).hexdigest()[:8]
        names = qzdb.oracle.register(path, sid="QZ" + digest.upper(), service_name="qz" + digest)
    options = {"HOST": "localhost", "PORT": "1521", "USERNAME": qzdb.sample.DEFAULT_USER,
               # ConfigParser interpolates: a literal percent sign is written twice
               "PASSWORD": qzdb.sample.DEFAULT_PASSWORD.replace("%", "%%"),
               "TNSNAME": names[0]}
    options.update(changes)
    return {k: v for k, v in options.items() if v is not None}


class ReadSqlRecorder:
    """Stands in for the pandas module: records every read_sql call (its
    positional and keyword arguments) and hands everything to pandas."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        return getattr(pd, name)

    def read_sql(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return pd.read_sql(*args, **kwargs)

    @property
    def statements(self):
        return [args[0] for args, _ in self.calls]


class FixedClock:
    """A stand-in for the datetime module whose today() is fixed."""

    def __init__(self, now):
        fixed = now

        class DateTime(datetime.datetime):
            @classmethod
            def today(cls):
                return fixed

        self.datetime = DateTime
        self.timedelta = datetime.timedelta
        self.date = datetime.date


def quietly(function, *args, **kwargs):
    """Calls function; returns its result and the lines it printed."""
    with contextlib.redirect_stdout(io.StringIO()) as out:
        result = function(*args, **kwargs)
    return result, out.getvalue().splitlines()


def assert_observations(result, want, split=True):
    """A fetched observation table equals the expected one; unsplit tables keep
    the labels they were read with (a permutation of 0..n-1)."""
    if split:
        tm.assert_frame_equal(result, want, check_exact=True)
    else:
        assert sorted(result.index) == list(range(len(result)))
        tm.assert_frame_equal(result.reset_index(drop=True), want, check_exact=True)
