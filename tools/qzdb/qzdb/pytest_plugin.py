"""Session fixtures for the sample database and the private MariaDB server.

Register with ``pytest_plugins = ["qzdb.pytest_plugin"]`` in a conftest.py,
or ``-p qzdb.pytest_plugin`` on the command line.

- ``qz_sample_path``: path (text) of a sample database built once per session
  with the default arguments of :func:`qzdb.sample.build`.  It is registered
  with the listener of :mod:`qzdb.oracle` under the names it declares (SID
  ``sample.DEFAULT_SID``, service name ``sample.DEFAULT_SERVICE_NAME``) and
  put first in the environment variable ``QZDB_DATABASES``, so that
  subprocesses reach it by those names too.
- ``qz_many_stations_path``: path (text) of a sample with 600 stations
  (:func:`qzdb.sample.build_many_stations`), registered and listed in the
  same way under SID ``MANY_STATIONS_SID`` and service name
  ``MANY_STATIONS_SERVICE_NAME``.
- ``qz_mariadb``: a :class:`qzdb.mariadb.MariaDBServer` started once per
  session and loaded with that same sample (QZDATA and QZBAK); it has
  ``host``, ``port``, ``user``, ``password``, ``database``, ``socket`` and
  ``connect()``.  When MariaDB is missing the fixture installs it, and fails
  the test if it cannot; it never skips.
- ``qz_mariadb_lower``: the same with ``lower_case_table_names=1``: the
  server gives database and table names in lower case.
- ``qz_statement_log``: :data:`qzdb.oracle.statement_log`, emptied before and
  after the test.
- ``qz_cx_oracle``: :mod:`qzdb.oracle` installed as ``cx_Oracle`` for the test.
"""

import os

import pytest

from . import mariadb, oracle, sample, use_as_cx_Oracle

MANY_STATIONS_SID = "QZMANY"
MANY_STATIONS_SERVICE_NAME = "qzmany"


def _serve(path):
    """Register ``path`` and put it first in QZDB_DATABASES; returns the
    function that undoes both."""
    oracle.register(path)
    name = oracle.ENVIRONMENT_VARIABLE
    saved = os.environ.get(name)
    os.environ[name] = path if not saved else path + os.pathsep + saved

    def undo():
        if saved is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = saved
        oracle.unregister(path)

    return undo


@pytest.fixture(scope="session")
def qz_sample_path(tmp_path_factory):
    path = tmp_path_factory.mktemp("qzdb-sample") / "qzdata.sqlite"
    sample.build(path)
    undo = _serve(str(path))
    yield str(path)
    undo()


@pytest.fixture(scope="session")
def qz_many_stations_path(tmp_path_factory):
    path = tmp_path_factory.mktemp("qzdb-many") / "many.sqlite"
    sample.build_many_stations(path, sid=MANY_STATIONS_SID,
                               service_name=MANY_STATIONS_SERVICE_NAME)
    undo = _serve(str(path))
    yield str(path)
    undo()


def _started_server(path, **options):
    try:
        mariadb.ensure_installed(install=True)
    except mariadb.MariaDBError as e:
        pytest.fail("qz_mariadb: %s" % e, pytrace=False)
    server = mariadb.MariaDBServer(**options)
    try:
        server.start()
        server.load_sample(path)
    except mariadb.MariaDBError as e:
        server.stop()
        pytest.fail("qz_mariadb: %s" % e, pytrace=False)
    except BaseException:
        server.stop()
        raise
    return server


@pytest.fixture(scope="session")
def qz_mariadb(qz_sample_path):
    server = _started_server(qz_sample_path)
    yield server
    server.stop()


@pytest.fixture(scope="session")
def qz_mariadb_lower(qz_sample_path):
    server = _started_server(qz_sample_path, lower_case_table_names=1)
    yield server
    server.stop()


@pytest.fixture
def qz_statement_log():
    oracle.statement_log.clear()
    yield oracle.statement_log
    oracle.statement_log.clear()


@pytest.fixture
def qz_cx_oracle():
    with use_as_cx_Oracle() as module:
        yield module
