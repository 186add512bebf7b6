"""What the modules make of the environment they are installed in: releases of
pandas and SQLAlchemy that cannot work together are refused when
velmora.fetching is imported, and python-oracledb is put in thick mode when a
section of default.conf names Oracle's client libraries (ORACLE_CLIENT).

Everything here runs in fresh interpreters: the environment named by
VELMORA_BADCOMBO_PYTHON (`make pytest` builds one with pandas 2.2 and
SQLAlchemy 1.4), and for the thick-mode checks the one named by
VELMORA_THIN_PYTHON (no cx_Oracle), else this one with cx_Oracle made
unimportable."""
import os
import socket
import subprocess
import sys
import textwrap

import pytest

from helpers import SECTION, conf_text

BADCOMBO_PYTHON = os.environ.get("VELMORA_BADCOMBO_PYTHON")
THIN_PYTHON = os.environ.get("VELMORA_THIN_PYTHON")
ERROR = "连接数据库时发生错误，"


def run(python, script, cwd=None):
    done = subprocess.run([python, "-c", textwrap.dedent(script)], cwd=cwd, capture_output=True, text=True,
                          timeout=180)
    assert done.returncode == 0, done.stderr + done.stdout
    return done.stdout.splitlines()


class TestVersionsThatCannotWorkTogether:
    @pytest.mark.skipif(BADCOMBO_PYTHON is None, reason="VELMORA_BADCOMBO_PYTHON names no environment "
                                                        "(make pytest builds .venv-badcombo)")
    def test_refused_in_an_environment_of_pandas_2_2_and_sqlalchemy_1_4(self):
        lines = run(BADCOMBO_PYTHON, """
            import pandas, sqlalchemy
            print(pandas.__version__, sqlalchemy.__version__)
            try:
                import velmora.fetching
            except ImportError as e:
                print(e)
            else:
                print("imported")
            import velmora.bisource, velmora.cleaning
            print(velmora.bisource.fetching_data.__name__, velmora.cleaning.split_lines.__name__)
        """)
        pandas, sqlalchemy = lines[0].split()
        assert pandas.startswith("2.2.") and sqlalchemy.startswith("1.4."), lines[0]
        assert lines[1].startswith(f"velmora.fetching cannot work with the installed pandas {pandas} "
                                   f"and SQLAlchemy {sqlalchemy}: pandas 2.2 needs SQLAlchemy 2.0.0 or later")
        assert "'Engine' object has no attribute 'cursor'" in lines[1]
        assert "Combinations that work: pandas 1.5 with SQLAlchemy 1.4;" in lines[1]
        assert lines[2] == "fetching_data split_lines"

    @pytest.mark.parametrize("pandas, sqlalchemy, refused", [
        ("2.2.3", "1.4.54", "pandas 2.2 needs SQLAlchemy 2.0.0 or later"),
        ("3.0.0", "2.0.30", "pandas 3.0 needs SQLAlchemy 2.0.36 or later"),
        ("1.5.3", "2.0.59", "pandas before 2.0 does not work with SQLAlchemy 2"),
        ("1.5.3", "2.1.10", "pandas before 2.0 does not work with SQLAlchemy 2"),
        ("1.5.3", "1.4.54", None),
        ("2.1.4", "1.4.54", None),
        ("2.2.3", "2.0.59", None),
        ("3.0.6", "2.1.10", None),
    ])
    def test_the_versions_the_libraries_report(self, pandas, sqlalchemy, refused):
        """The rule applies to the versions pandas and SQLAlchemy report of
        themselves (here set before velmora.fetching is imported)."""
        lines = run(sys.executable, f"""
            import pandas, sqlalchemy
            pandas.__version__, sqlalchemy.__version__ = {pandas!r}, {sqlalchemy!r}
            try:
                import velmora.fetching
            except ImportError as e:
                print(e)
            else:
                print("imported", velmora.fetching.conn_to_Oracle.__name__)
        """)
        if refused is None:
            assert lines == ["imported conn_to_Oracle"]
        else:
            assert len(lines) == 1 and refused in lines[0]
            assert f"pandas {pandas} and SQLAlchemy {sqlalchemy}" in lines[0]


@pytest.fixture
def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def oracledb_script(body):
    """A script in which python-oracledb is the Oracle driver of both modules."""
    return textwrap.dedent("""
        import contextlib, io, sys
        if %s:
            sys.modules["cx_Oracle"] = None  # import cx_Oracle raises ImportError
        import oracledb
        import velmora.bisource as bisource, velmora.fetching as fetching
        assert bisource.orcl is oracledb

        def quietly(function, *args):
            with contextlib.redirect_stdout(io.StringIO()) as out:
                result = function(*args)
            return result, out.getvalue().splitlines()
    """ % (THIN_PYTHON is None)) + textwrap.dedent(body)


class TestOracleClient:
    """ORACLE_CLIENT: a folder of Oracle's client libraries, or "default" for
    the system's search path."""

    def write_conf(self, dirs, port, **option):
        (dirs.work / "default.conf").write_text(
            conf_text(HOST="127.0.0.1", PORT=str(port), USERNAME="reader", PASSWORD="s3cret-pw", SERVICE_NAME="qzpdb", **option)
            + conf_text("plain", HOST="127.0.0.1", PORT=str(port), USERNAME="reader", PASSWORD="s3cret-pw", TNSNAME="QZ"),
            encoding="utf-8")

    @pytest.mark.parametrize("value, call", [("/opt/oracle/instantclient_19_24", "{'lib_dir': "
                                                                                  "'/opt/oracle/instantclient_19_24'}"),
                                             ("default", "{}")])
    def test_the_value_reaches_init_oracle_client_once_per_process(self, dirs, closed_port, value, call):
        self.write_conf(dirs, closed_port, ORACLE_CLIENT=value)
        script = oracledb_script(f"""
            calls = []
            def init_oracle_client(**kwargs):  # as oracledb's: thick mode from then on
                calls.append(kwargs)
                oracledb.is_thin_mode = lambda: False
            oracledb.init_oracle_client = init_oracle_client

            assert quietly(fetching.conn_to_Oracle, "plain")[0] is not None  # no option: nothing
            print(len(calls))
            for _ in range(2):
                engine, lines = quietly(fetching.conn_to_Oracle, "{SECTION}")
                assert engine is not None and lines == ["127.0.0.1 connected..."], lines
            for section in ("{SECTION}", "plain"):
                try:
                    bisource.conn_to_Oracle(section)
                except oracledb.Error as e:
                    assert "DPY-6005" in str(e), str(e)  # the closed port, after the libraries
            print(calls)
        """)
        assert run(THIN_PYTHON or sys.executable, script, cwd=dirs.work) == ["0", f"[{call}]"]

    def test_bisource_alone_calls_it_before_connecting(self, dirs, closed_port):
        self.write_conf(dirs, closed_port, ORACLE_CLIENT="/opt/oracle/client")
        script = oracledb_script(f"""
            order = []
            oracledb.init_oracle_client = lambda **kwargs: order.append(("init", kwargs))
            real_connect = oracledb.connect
            def connect(**kwargs):
                order.append(("connect", sorted(kwargs)))
                return real_connect(**kwargs)
            oracledb.connect = connect
            try:
                bisource.conn_to_Oracle("{SECTION}")
            except oracledb.Error:
                pass
            print(order)
        """)
        assert run(THIN_PYTHON or sys.executable, script, cwd=dirs.work) == [
            "[('init', {'lib_dir': '/opt/oracle/client'}), ('connect', ['dsn', 'password', 'user'])]"]

    def test_a_folder_without_the_libraries_gives_oracledbs_own_error(self, dirs, closed_port):
        empty = dirs.work / "no-client"
        empty.mkdir()
        self.write_conf(dirs, closed_port, ORACLE_CLIENT=str(empty))
        script = oracledb_script(f"""
            engine, lines = quietly(fetching.conn_to_Oracle, "{SECTION}")
            print(engine, len(lines) > 0 and all("s3cret" not in line for line in lines))
            print(lines[0])
            try:
                quietly(bisource.conn_to_Oracle, "{SECTION}")
            except oracledb.DatabaseError as e:
                print(type(e).__name__, str(e).split(":")[0])
            print(oracledb.is_thin_mode())
        """)
        lines = run(THIN_PYTHON or sys.executable, script, cwd=dirs.work)
        assert lines[0] == "None True"
        assert lines[1].startswith(ERROR + " DPI-1047: Cannot locate a 64-bit Oracle Client library")
        assert lines[2:] == ["DatabaseError DPI-1047", "True"]
