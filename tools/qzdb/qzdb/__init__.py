"""Development stand-ins for velmora's databases.

- :mod:`qzdb.oracle`: a stand-in of the cx_Oracle driver module, answering
  Oracle statements from a SQLite file.
- :mod:`qzdb.sample`: the sample QZDATA database (SQLite file, loadable into
  MariaDB).
- :mod:`qzdb.mariadb`: a private MariaDB server for tests.
- :mod:`qzdb.pytest_plugin`: session fixtures built on the three.
"""

import contextlib
import sys

__all__ = ["use_as_cx_Oracle"]

_MISSING = object()


@contextlib.contextmanager
def use_as_cx_Oracle():
    """Make ``import cx_Oracle`` return :mod:`qzdb.oracle` inside the block.

    SQLAlchemy's ``oracle+cx_oracle`` dialect imports ``cx_Oracle`` when an
    engine is created, so an engine created inside the block keeps using the
    stand-in after the block ends.  Whatever ``sys.modules["cx_Oracle"]`` held
    before (the real driver, or nothing) is put back on exit.
    """
    from . import oracle

    saved = sys.modules.get("cx_Oracle", _MISSING)
    sys.modules["cx_Oracle"] = oracle
    try:
        yield oracle
    finally:
        if saved is _MISSING:
            sys.modules.pop("cx_Oracle", None)
        else:
            sys.modules["cx_Oracle"] = saved
