"""Fixtures shared by the tests of the qzdb development package.

The session fixtures ``qz_sample_path`` and ``qz_mariadb`` come from
``qzdb.pytest_plugin``.
"""

import sqlite3
import urllib.parse

import pytest

from qzdb import oracle, sample


def open_raw(path):
    """The sample file through plain sqlite3, read-only: the reference the
    stand-in's answers are compared with."""
    return sqlite3.connect(
        "file:%s?mode=ro" % urllib.parse.quote(str(path)), uri=True)


@pytest.fixture(scope="session")
def raw_db(qz_sample_path):
    db = open_raw(qz_sample_path)
    yield db
    db.close()


@pytest.fixture(scope="session")
def ora_conn(qz_sample_path):
    conn = oracle.connect(user=sample.DEFAULT_USER,
                          password=sample.DEFAULT_PASSWORD,
                          dsn=oracle.makedsn("localhost", 1521,
                                             sample.DEFAULT_SID))
    yield conn
    conn.close()


@pytest.fixture
def cursor(ora_conn):
    cur = ora_conn.cursor()
    yield cur
    cur.close()


@pytest.fixture(scope="session")
def leap_sample_path(tmp_path_factory):
    """A small sample over the end of February of a leap year:
    2012-02-27 .. 2012-03-01."""
    path = tmp_path_factory.mktemp("qzdb-leap") / "leap.sqlite"
    sample.build(path, stations=2, days=4, start="2012-02-27",
                 second_stations=1, second_days=1)
    return str(path)


@pytest.fixture(scope="session")
def leap_conn(leap_sample_path):
    conn = oracle.connect(user=sample.DEFAULT_USER,
                          password=sample.DEFAULT_PASSWORD,
                          dsn=leap_sample_path)
    yield conn
    conn.close()

