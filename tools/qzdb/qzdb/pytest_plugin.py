"""Session fixtures for the sample database and the private MariaDB server.

Register with ``pytest_plugins = ["qzdb.pytest_plugin"]`` in a conftest.py,
or ``-p qzdb.pytest_plugin`` on the command line.

- ``qz_sample_path``: path (text) of a sample database built once per session
  with the default arguments of :func:`qzdb.sample.build`.
- ``qz_mariadb``: a :class:`qzdb.mariadb.MariaDBServer` started once per
  session and loaded with that same sample; it has ``host``, ``port``,
  ``user``, ``password``, ``database``, ``socket`` and ``connect()``.  When
  MariaDB is missing the fixture installs it, and fails the test if it cannot;
  it never skips.
- ``qz_statement_log``: :data:`qzdb.oracle.statement_log`, emptied before and
  after the test.
- ``qz_cx_oracle``: :mod:`qzdb.oracle` installed as ``cx_Oracle`` for the test.
"""

import pytest

from . import mariadb, oracle, sample, use_as_cx_Oracle


@pytest.fixture(scope="session")
def qz_sample_path(tmp_path_factory):
    path = tmp_path_factory.mktemp("qzdb-sample") / "qzdata.sqlite"
    sample.build(path)
    return str(path)


@pytest.fixture(scope="session")
def qz_mariadb(qz_sample_path):
    try:
        mariadb.ensure_installed(install=True)
    except mariadb.MariaDBError as e:
        pytest.fail("qz_mariadb: %s" % e, pytrace=False)
    server = mariadb.MariaDBServer()
    try:
        server.start()
        server.load_sample(qz_sample_path)
    except mariadb.MariaDBError as e:
        server.stop()
        pytest.fail("qz_mariadb: %s" % e, pytrace=False)
    except BaseException:
        server.stop()
        raise
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
