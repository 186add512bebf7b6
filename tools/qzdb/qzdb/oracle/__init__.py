"""A stand-in for the ``cx_Oracle`` driver module, answering from SQLite files.

The module offers the part of cx_Oracle 8.3's DB-API that the velmora fetch
modules and SQLAlchemy 1.4's ``oracle+cx_oracle`` dialect use: ``connect``,
``makedsn``, the exception classes, the type objects, cursors with output type
handlers and variables, and LOB values.

A database is a SQLite file (normally one written by :mod:`qzdb.sample`)
that declares its SID and service name; :func:`register` (or the
environment variable ``QZDB_DATABASES``) makes it known to the listener,
which connects a data source name to it (:mod:`.listener`).  Each connection
attaches the file read-only under the schema name ``QZDATA``
(:mod:`.catalog`).

Statements are not passed to SQLite as they are.  Each one is parsed as Oracle
SQL (:mod:`.parser`), checked against the file's tables and the bind values,
and rewritten as SQLite statements whose result is the one Oracle gives
(:mod:`.translator`, :mod:`.values`).  Only a small part of Oracle SQL is
understood (single-table ``SELECT`` blocks joined by ``UNION ALL``, with the
operators and functions listed in the README); anything else raises
:class:`DatabaseError` naming the statement rather than being answered
approximately.

Modules: :mod:`.errors` (exceptions), :mod:`.dbtypes` (type objects, LOB,
Var), :mod:`.values`, :mod:`.tokenizer`, :mod:`.parser`, :mod:`.columns`,
:mod:`.translator`, :mod:`.catalog`, :mod:`.listener`, :mod:`.connection`
(connect, Connection, Cursor).
"""

from __future__ import annotations

from .catalog import INSTANCE_TABLE, INTERNAL_PREFIX, SCHEMA, USERS_TABLE
from .connection import (
    DEFAULT_AUTH, SERVER_VERSION, Connection, Cursor, connect,
    drop_connections, statement_log,
)
from .dbtypes import (
    BFILE, BINARY, BLOB, BOOLEAN, CLOB, CURSOR, DATETIME, DB_TYPE_BFILE,
    DB_TYPE_BINARY_DOUBLE, DB_TYPE_BINARY_FLOAT, DB_TYPE_BINARY_INTEGER,
    DB_TYPE_BLOB, DB_TYPE_BOOLEAN, DB_TYPE_CHAR, DB_TYPE_CLOB, DB_TYPE_CURSOR,
    DB_TYPE_DATE, DB_TYPE_INTERVAL_DS, DB_TYPE_INTERVAL_YM, DB_TYPE_JSON,
    DB_TYPE_LONG, DB_TYPE_LONG_RAW, DB_TYPE_NCHAR, DB_TYPE_NCLOB,
    DB_TYPE_NUMBER, DB_TYPE_NVARCHAR, DB_TYPE_OBJECT, DB_TYPE_RAW,
    DB_TYPE_ROWID, DB_TYPE_TIMESTAMP, DB_TYPE_TIMESTAMP_LTZ,
    DB_TYPE_TIMESTAMP_TZ, DB_TYPE_VARCHAR, FIXED_CHAR, FIXED_NCHAR, INTERVAL,
    LOB, LONG_BINARY, LONG_STRING, NATIVE_FLOAT, NATIVE_INT, NCHAR, NCLOB,
    NUMBER, OBJECT, ROWID, STRING, TIMESTAMP, ApiType, Binary, Date,
    DateFromTicks, DbType, Time, TimeFromTicks, Timestamp, TimestampFromTicks,
    Var,
)
from .errors import (
    DatabaseError, DataError, Error, IntegrityError, InterfaceError,
    InternalError, NotSupportedError, OperationalError, ProgrammingError,
    Warning,
)
from .listener import (
    ENVIRONMENT_VARIABLE, makedsn, register, registered, unregister,
)

__all__ = [
    "apilevel", "threadsafety", "paramstyle", "version", "connect", "makedsn",
    "register", "unregister", "registered",
    "Connection", "Cursor", "Var", "LOB", "DbType", "ApiType",
    "Warning", "Error", "InterfaceError", "DatabaseError", "DataError",
    "OperationalError", "IntegrityError", "InternalError", "ProgrammingError",
    "NotSupportedError", "statement_log", "drop_connections",
]

# --------------------------------------------------------------------------
# Module attributes of the driver

apilevel = "2.0"
threadsafety = 2
paramstyle = "named"
version = "8.3.0"
buildtime = "qzdb stand-in"


class _Future:
    """Attribute bag standing in for ``cx_Oracle.__future__``."""

    def __repr__(self):
        return "<qzdb.oracle.__future__>"


__future__ = _Future()

SYSDBA = 2
SYSOPER = 4
ATTR_PURITY_DEFAULT = 0
ATTR_PURITY_NEW = 1
ATTR_PURITY_SELF = 2

# tracebacks and reprs name the classes where the driver module has them
for _cls in (Warning, Error, InterfaceError, DatabaseError, DataError,
             OperationalError, IntegrityError, InternalError,
             ProgrammingError, NotSupportedError, Connection, Cursor, Var,
             LOB, DbType, ApiType):
    _cls.__module__ = __name__
del _cls
