"""Fixtures shared by the module tests: working and home directories with a
"default.conf", engines and connections on the sample databases, a recorder
of read_sql calls, and a fixed clock."""
import contextlib
import io
import types

import pytest

from helpers import SECTION, ReadSqlRecorder, conf_text, oracle_options

pytest_plugins = ["qzdb.pytest_plugin"]


@pytest.fixture
def dirs(tmp_path, monkeypatch):
    """An empty working directory and an empty home directory, in use."""
    work, home = tmp_path / "work", tmp_path / "home"
    work.mkdir()
    home.mkdir()
    monkeypatch.chdir(work)
    monkeypatch.setenv("HOME", str(home))
    return types.SimpleNamespace(work=work, home=home)


@pytest.fixture
def engine(dirs, qz_sample_path, qz_cx_oracle):
    """An engine from velmora.fetching.conn_to_Oracle on the sample."""
    import velmora.fetching

    (dirs.work / "default.conf").write_text(conf_text(**oracle_options(qz_sample_path)), encoding="utf-8")
    with contextlib.redirect_stdout(io.StringIO()):
        made = velmora.fetching.conn_to_Oracle(SECTION)
    assert made is not None
    yield made
    made.dispose()


@pytest.fixture(params=["qz_mariadb", "qz_mariadb_lower"], ids=["mariadb", "lower_case_table_names"])
def mysql_server(request):
    """The private MariaDB server, once as installed and once started with
    lower_case_table_names=1 (table names then come back in lower case)."""
    return request.getfixturevalue(request.param)


@pytest.fixture
def mysql(dirs, mysql_server):
    """A connection from velmora.bisource.conn_to_MySQL to the private MariaDB server."""
    import velmora.bisource

    (dirs.work / "default.conf").write_text(conf_text(**mysql_server.conf_section()), encoding="utf-8")
    conn = velmora.bisource.conn_to_MySQL(SECTION)
    yield conn
    conn.close()


@pytest.fixture
def recorder():
    return ReadSqlRecorder()


@pytest.fixture(autouse=True)
def bisource_driver_left_as_found():
    """No test leaves another driver in velmora.bisource (a monkeypatch undone
    after qzdb.use_as_cx_Oracle() has put the real driver back would)."""
    import velmora.bisource

    before = velmora.bisource.orcl
    yield
    assert velmora.bisource.orcl is before, "velmora.bisource.orcl was left changed"
