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


# Modules that bind the Oracle driver module under a name of their own when
# they are loaded: (module, name).
_DRIVER_USERS = (("velmora.bisource", "orcl"),)


def _real_driver():
    """What such a module binds outside the block: cx_Oracle where it can be
    imported, else python-oracledb."""
    for name in ("cx_Oracle", "oracledb"):
        try:
            return __import__(name)
        except ImportError:
            pass
    return _MISSING


@contextlib.contextmanager
def use_as_cx_Oracle():
    """Make the stand-in :mod:`qzdb.oracle` the Oracle driver inside the block.

    ``import cx_Oracle`` returns it, and ``velmora.bisource`` uses it as its
    driver ``orcl`` whether it was imported before the block or inside it.
    SQLAlchemy's ``oracle+cx_oracle`` dialect imports ``cx_Oracle`` when an
    engine is created, so an engine created inside the block keeps using the
    stand-in after the block ends, as does a connection opened in it.  On
    exit ``sys.modules["cx_Oracle"]`` gets back what it held (the real
    driver, or nothing), and ``velmora.bisource.orcl`` its own driver.
    """
    from . import oracle

    saved = sys.modules.get("cx_Oracle", _MISSING)
    bound = {(module, name): getattr(sys.modules[module], name)
             for module, name in _DRIVER_USERS if module in sys.modules}
    sys.modules["cx_Oracle"] = oracle
    for module, name in bound:
        setattr(sys.modules[module], name, oracle)
    try:
        yield oracle
    finally:
        if saved is _MISSING:
            sys.modules.pop("cx_Oracle", None)
        else:
            sys.modules["cx_Oracle"] = saved
        for module, name in _DRIVER_USERS:
            if module not in sys.modules:
                continue
            driver = bound.get((module, name), _MISSING)
            if driver is _MISSING:  # loaded inside the block: it bound the stand-in
                driver = _real_driver()
            if driver is not _MISSING:
                setattr(sys.modules[module], name, driver)
