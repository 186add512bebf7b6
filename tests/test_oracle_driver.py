"""Which Oracle driver the modules use: cx_Oracle where it can be imported,
python-oracledb (thin mode, no Oracle client) otherwise.

The checks without cx_Oracle run in a separate interpreter: the environment
named by VELMORA_THIN_PYTHON (`make test` builds one where cx_Oracle is not
installed), or else this one with cx_Oracle made unimportable."""
import os
import socket
import subprocess
import sys
import textwrap

import pytest

from helpers import SECTION, conf_text, oracle_options

THIN_PYTHON = os.environ.get("VELMORA_THIN_PYTHON")

WITHOUT_CX_ORACLE = textwrap.dedent("""
    import contextlib, io, sys
    if {block}:
        sys.modules["cx_Oracle"] = None  # import cx_Oracle raises ImportError
    try:
        import cx_Oracle
    except ImportError:
        pass
    else:
        raise SystemExit("cx_Oracle is importable here")
    import oracledb, pandas, sqlalchemy.exc
    import velmora.bisource as bisource, velmora.fetching as fetching

    assert bisource.orcl is oracledb, bisource.orcl
    version = oracledb.version

    engine = fetching.conn_to_Oracle("qz")
    assert engine.dialect.dbapi.connect is oracledb.connect
    assert str(engine.url).endswith("/?service_name=qzpdb"), engine.url
    try:
        pandas.read_sql("SELECT 1 FROM DUAL", con=engine)
    except sqlalchemy.exc.DatabaseError as e:
        assert isinstance(e.orig, oracledb.Error), type(e.orig)
        assert "DPY-6005" in str(e.orig), str(e.orig)
    else:
        raise SystemExit("a closed port answered")

    try:
        with contextlib.redirect_stdout(io.StringIO()) as out:
            bisource.conn_to_Oracle("qz")
    except oracledb.Error as e:
        assert "DPY-6005" in str(e), str(e)
        assert out.getvalue() == ""
    else:
        raise SystemExit("a closed port answered")

    # oracledb is lent to SQLAlchemy's dialect, not changed, and not put in
    # the place of cx_Oracle for the rest of the process
    assert oracledb.version == version
    assert sys.modules.get("cx_Oracle") is None
    print("ok")
""")


@pytest.fixture
def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_modules_use_python_oracledb_without_cx_oracle(dirs, closed_port):
    (dirs.work / "default.conf").write_text(
        conf_text(HOST="127.0.0.1", PORT=str(closed_port), USERNAME="u", PASSWORD="p", SERVICE_NAME="qzpdb"),
        encoding="utf-8")
    python = THIN_PYTHON or sys.executable
    script = WITHOUT_CX_ORACLE.format(block=THIN_PYTHON is None)
    run = subprocess.run([python, "-c", script], cwd=dirs.work, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr + run.stdout
    assert run.stdout.splitlines()[-1] == "ok"


def test_cx_oracle_is_used_where_it_can_be_imported():
    pytest.importorskip("cx_Oracle", reason="cx_Oracle is not installed in this environment")
    run = subprocess.run([sys.executable, "-c", "import cx_Oracle, velmora.bisource as b; print(b.orcl is cx_Oracle)"],
                         capture_output=True, text=True, timeout=120)
    assert run.stdout.split() == ["True"], run.stderr


@pytest.mark.parametrize("imported", ["before the block", "inside the block"])
def test_the_stand_in_serves_bisource_whatever_the_import_order(dirs, qz_sample_path, imported):
    (dirs.work / "default.conf").write_text(conf_text(**oracle_options(qz_sample_path)), encoding="utf-8")
    script = textwrap.dedent(f"""
        import warnings; warnings.simplefilter("ignore", UserWarning)
        import qzdb, qzdb.oracle
        if {imported == "before the block"}:
            import velmora.bisource as bisource
        with qzdb.use_as_cx_Oracle():
            import velmora.bisource as bisource
            assert bisource.orcl is qzdb.oracle
            conn = bisource.conn_to_Oracle("{SECTION}")
        try:  # the driver installed: cx_Oracle, else python-oracledb
            import cx_Oracle as driver
        except ImportError:
            import oracledb as driver
        assert bisource.orcl is driver and driver is not qzdb.oracle
        print(len(bisource.fetching_dialog(conn, "20090101", "20090131")))
    """)
    run = subprocess.run([sys.executable, "-c", script], cwd=dirs.work, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0] == "localhost connected..." and int(lines[-1]) > 0
