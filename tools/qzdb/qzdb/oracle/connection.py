"""The DB-API objects: ``connect``, connections and cursors.

A connection asks the listener for the database file its data source name
reaches, attaches the file read-only and checks the user against the file's
users.  A cursor parses each statement (:mod:`.parser`), translates it
(:mod:`.translator`), runs the SQLite statements and converts the values as
the driver would return them, through the output type handlers.
"""

from __future__ import annotations

import datetime as _dt
import decimal
import os
import sqlite3
import threading
import weakref

from . import catalog as _catalog
from .catalog import SCHEMA, USERS_TABLE
from .dbtypes import (
    DB_TYPE_BLOB, DB_TYPE_CLOB, LOB, Var, _BYTES, _DATE, _DECIMAL, _FLOAT,
    _INT, _LOBV, _NUMBER, _TEXT,
)
from .errors import (
    DatabaseError, DataError, Error, IntegrityError, InterfaceError,
    InternalError, NotSupportedError, OperationalError, ProgrammingError,
    Warning, _Error, _exc, _not_supported_error, _ora, _OraFailure,
    _unsupported,
)
from .listener import resolve as _resolve
from .parser import parse as _parse_statement
from .translator import _Translator
from .values import (
    _concat, _date_add, _date_diff, _date_text, _div, _like, _nls_date_text,
    _number_text, _padcmp, _parse_date_text, _row, _substr, _to_date,
    _to_number,
)
from .columns import _OType

#: The server version that connections report.
SERVER_VERSION = "19.0.0.0.0"

#: Every ``Cursor.execute`` appends ``(statement, parameters)`` here, before
#: the statement is translated, so that failing statements are recorded too.
#: Clear it with ``statement_log.clear()``.
statement_log: list = []

DEFAULT_AUTH = 0

# every open connection, for drop_connections()
_OPEN_CONNECTIONS = weakref.WeakSet()


def drop_connections(path=None):
    """Cut every open connection (to the database file ``path``, or to any)
    as a firewall cuts idle connections: the stand-in's side of each is gone
    without the client being told.  The next use of such a connection that
    needs the server (execute, fetch, ping, a LOB read; not commit or
    rollback, which have no transaction to end)
    raises ``DatabaseError`` ``ORA-03113: end-of-file on communication
    channel``, as cx_Oracle does (python-oracledb in thin mode: DPY-4011),
    and every use after that ``DPI-1080: connection was closed by
    ORA-3113``; ``close()`` succeeds.  Returns the number of connections cut.
    """
    wanted = os.path.abspath(path) if path is not None else None
    cut = 0
    for conn in list(_OPEN_CONNECTIONS):
        if conn._db is None or conn._cut is not None:
            continue
        if wanted is not None and os.path.abspath(conn.path) != wanted:
            continue
        conn._cut = "cut"
        cut += 1
    return cut

# the functions the translated statements call
_SQL_FUNCTIONS = {
    "QZ_TO_NUMBER": (_to_number, 1),
    "QZ_NUMBER_TEXT": (_number_text, 1),
    "QZ_CONCAT": (_concat, -1),
    "QZ_SUBSTR": (_substr, -1),
    "QZ_LIKE": (_like, -1),
    "QZ_TO_DATE": (_to_date, 2),
    "QZ_DATE_ADD": (_date_add, 2),
    "QZ_DATE_DIFF": (_date_diff, 2),
    "QZ_DIV": (_div, 2),
    "QZ_PADCMP": (_padcmp, 2),
    "QZ_ROW": (_row, -1),
}


def connect(user=None, password=None, dsn=None, mode=None, handle=None,
            pool=None, threaded=False, events=False, cclass=None, purity=None,
            newpassword=None, encoding=None, nencoding=None, edition=None,
            appcontext=[], tag=None, matchanytag=False, shardingkey=[],
            supershardingkey=[], stmtcachesize=20, **kwargs):
    """Open a connection to the database that ``dsn`` reaches (see
    :mod:`qzdb.oracle.listener`)."""
    if kwargs:
        raise TypeError("connect() got an unexpected keyword argument %r"
                        % sorted(kwargs)[0])
    if mode not in (None, DEFAULT_AUTH):
        raise _not_supported_error("connect mode")
    return Connection(user, password, dsn, stmtcachesize)


class Connection:
    Warning = Warning
    Error = Error
    InterfaceError = InterfaceError
    DatabaseError = DatabaseError
    DataError = DataError
    OperationalError = OperationalError
    IntegrityError = IntegrityError
    InternalError = InternalError
    ProgrammingError = ProgrammingError
    NotSupportedError = NotSupportedError

    def __init__(self, user, password, dsn, stmtcachesize=20):
        self.dsn = self.tnsentry = dsn
        self.username = user
        self.autocommit = False
        self.outputtypehandler = None
        self.inputtypehandler = None
        self.stmtcachesize = stmtcachesize
        self.encoding = self.nencoding = "UTF-8"
        self.maxBytesPerCharacter = 4
        self.callTimeout = self.call_timeout = 0
        self.module = self.action = self.clientinfo = None
        self.client_identifier = self.dbop = None
        self.edition = self.external_name = self.internal_name = None
        self.tag = None
        self.ltxid = b""
        self.current_schema = None
        self._lock = threading.RLock()
        self._db = None
        self._cut = None  # "cut" by drop_connections(), then "reported"
        #: round trips to the server so far: one per execute (which brings
        #: the first ``prefetchrows`` rows), per batch of ``arraysize`` rows
        #: fetched beyond them, per ping and per LOB read
        self.round_trips = 0
        self._parsed = {}
        self._translated = {}
        self._fn_error = [None]
        path, sid, service_name = _resolve(dsn)
        self.path = path
        self._db = self._open(path)
        try:
            self._authenticate(user, password)
            if sid is None:
                declared = _catalog.instance_names(self._db)
                sid = declared[0] if declared else None
        except BaseException:
            self._db.close()
            self._db = None
            raise
        self.sid = sid
        self.service_name = service_name
        self._user_upper = user.upper() if user else SCHEMA
        self._schema = self._user_upper
        self._catalog = _catalog._Catalog(self._db, self._schema,
                                          self._user_upper, sid or SCHEMA)
        _OPEN_CONNECTIONS.add(self)

    # -- setting up
    def _open(self, path):
        def not_available(reason):
            # the listener knows the name but no instance answers
            return _exc(DatabaseError, "ORA", 1034,
                        "ORACLE not available\nqzdb: %s: %s" % (path, reason))

        import os
        if not path or not os.path.isfile(path):
            raise not_available("no such file")
        db = sqlite3.connect(":memory:", uri=True, check_same_thread=False,
                             isolation_level=None)
        try:
            _catalog.attach(db, path)
        except sqlite3.Error as e:
            db.close()
            raise not_available("not a SQLite database (%s)" % e) from None
        holder = self._fn_error
        for name, (fn, nargs) in _SQL_FUNCTIONS.items():
            db.create_function(name, nargs, _guarded(fn, holder),
                               deterministic=True)
        return db

    def _authenticate(self, user, password):
        if not _catalog.has_table(self._db, USERS_TABLE):
            return
        denied = _exc(DatabaseError, "ORA", 1017,
                      "invalid username/password; logon denied")
        if not user or password is None:
            raise denied
        found = self._db.execute(
            'SELECT "PASSWORD" FROM %s."%s" WHERE "USERNAME" = ?'
            % (SCHEMA, USERS_TABLE), (user.upper(),)).fetchall()
        if not any(r[0] == password for r in found):
            raise denied

    def _source(self, schema, name):
        """The FROM source for [schema.]name, or ORA-00942."""
        return self._catalog.source(schema, name)

    # -- statements
    def _parse(self, statement):
        parsed = self._parsed.get(statement)
        if parsed is None:
            parsed = _parse_statement(statement)
            if len(self._parsed) > 512:
                self._parsed.clear()
            self._parsed[statement] = parsed
        return parsed

    def _translate(self, statement, ast, bind_kinds):
        key = (statement, tuple(sorted(
            (k, v.kind) for k, v in bind_kinds.items())))
        tr = self._translated.get(key)
        if tr is None:
            try:
                tr = _Translator(self._catalog, ast, bind_kinds,
                                 statement).translate()
            except RecursionError:
                raise _unsupported("expressions nested this deeply") from None
            if len(self._translated) > 512:
                self._translated.clear()
            self._translated[key] = tr
        return tr

    # -- DB-API
    def _check_open(self):
        if self._db is None:
            raise InterfaceError(_Error(0, "not connected", "DPI-01001"))

    def _round_trip(self):
        """One round trip to the server; raises when the connection is
        closed or the network has dropped it."""
        self._check_open()
        if self._cut == "cut":
            self._cut = "reported"
            raise _exc(DatabaseError, "ORA", 3113,
                       "end-of-file on communication channel")
        if self._cut is not None:
            raise _exc(DatabaseError, "DPI", 1080,
                       "connection was closed by ORA-3113")
        self.round_trips += 1

    @property
    def version(self):
        self._check_open()
        return SERVER_VERSION

    def cursor(self, scrollable=False):
        self._check_open()
        if scrollable:
            raise _not_supported_error("scrollable cursors")
        return Cursor(self)

    # The stand-in is read-only: no transaction is ever in progress, and a
    # driver sends nothing to end one (python-oracledb's thin mode makes no
    # round trip then), so a dropped connection is not noticed here either.
    def commit(self):
        self._check_open()

    def rollback(self):
        self._check_open()

    def ping(self):
        self._round_trip()

    def close(self):
        self._check_open()
        with self._lock:
            self._db.close()
            self._db = None
        _OPEN_CONNECTIONS.discard(self)

    def cancel(self):
        self._check_open()

    def _not_supported(self, what):
        raise _not_supported_error(what)

    def begin(self, *args, **kwargs):
        self._not_supported("two-phase commit")

    def prepare(self):
        self._not_supported("two-phase commit")

    def createlob(self, lobType):
        self._not_supported("temporary LOBs")

    def changepassword(self, oldpassword, newpassword):
        self._not_supported("changing passwords")

    def gettype(self, name):
        self._not_supported("object types")

    def __enter__(self):
        self._check_open()
        return self

    def __exit__(self, *exc):
        if self._db is not None:
            self.close()

    def __del__(self):
        # A driver's connection that nobody closed is closed when it goes
        # away, quietly (Python 3.13's sqlite3 warns about an open database).
        db = getattr(self, "_db", None)
        if db is not None:
            self._db = None
            db.close()

    def __repr__(self):
        return "<qzdb.oracle.Connection to %s@%s>" % (
            self.username, self.sid or self.path)


class _Rows:
    """The rows of a translation: its SQLite statements run one after the
    other (each when the rows of the one before are used up)."""

    def __init__(self, db, sqls, params, failure):
        self._db = db
        self._pending = list(sqls)
        self._params = params
        self._failure = failure
        self._cursor = None
        self._next_statement()

    def _next_statement(self):
        sql = self._pending.pop(0)
        try:
            self._cursor = self._db.execute(sql, self._params)
        except sqlite3.Error as e:
            raise self._failure(e) from None

    def fetch(self, n):
        if n is not None and n <= 0:
            return []
        out = []
        while True:
            try:
                chunk = self._cursor.fetchall() if n is None \
                    else self._cursor.fetchmany(n - len(out))
            except sqlite3.Error as e:
                raise self._failure(e) from None
            out.extend(chunk)
            if n is not None and len(out) >= n:
                return out
            if not self._pending:
                return out
            self._next_statement()


def _guarded(fn, holder):
    def call(*args):
        try:
            return fn(*args)
        except _OraFailure as e:
            holder[0] = e
            raise
    return call


def _bind_type(value):
    if value is None:
        return _OType("NULL")
    if isinstance(value, bool):
        raise _exc(NotSupportedError, "DPI", 1, "Python value of type bool "
                                                "not supported")
    if isinstance(value, str):
        return _OType("CHAR", size=len(value)) if value != "" else _OType("NULL")
    if isinstance(value, (int, float, decimal.Decimal)):
        return _OType("NUMBER")
    if isinstance(value, (_dt.datetime, _dt.date)):
        return _OType("DATE")
    raise _exc(NotSupportedError, "DPI", 1, "Python value of type %s not "
               "supported" % type(value).__name__)


def _bind_value(value):
    if value is None or value == "":
        return None
    if isinstance(value, decimal.Decimal):
        if value == value.to_integral_value():
            return int(value)
        f = float(value)
        if decimal.Decimal(repr(f)) != value:
            raise _exc(NotSupportedError, "QZDB", 1,
                       "not supported by the qzdb Oracle stand-in: Decimal "
                       "bind values without an exact float")
        return f
    if isinstance(value, _dt.datetime):
        if value.microsecond or value.tzinfo is not None:
            raise _exc(NotSupportedError, "QZDB", 1,
                       "not supported by the qzdb Oracle stand-in: datetime "
                       "bind values with fractions of a second or a time zone")
        return _date_text(value)
    if isinstance(value, _dt.date):
        return "%04d-%02d-%02d 00:00:00" % (value.year, value.month, value.day)
    return value


class Cursor:
    def __init__(self, connection):
        self.connection = connection
        self.arraysize = 100
        self.prefetchrows = 2
        self.bindarraysize = 1
        self.inputtypehandler = None
        self.outputtypehandler = None
        self.rowfactory = None
        self.scrollable = False
        self.statement = None
        self.description = None
        self.rowcount = -1
        self.lastrowid = None
        self._rows = None
        self._converters = None
        self._closed = False
        self._buffered = 0  # rows the last round trip brought, not yet fetched
        self._at_end = False

    def _check_open(self):
        if self._closed:
            raise InterfaceError(_Error(0, "not open", "DPI-01039"))
        self.connection._check_open()

    def __enter__(self):
        self._check_open()
        return self

    def __exit__(self, *exc):
        if not self._closed:
            self.close()

    def __iter__(self):
        return self

    def __next__(self):
        row = self.fetchone()
        if row is None:
            raise StopIteration
        return row

    def close(self):
        self._check_open()
        self._closed = True
        self._rows = None

    def var(self, typ, size=0, arraysize=None, inconverter=None,
            outconverter=None, typename=None, encoding_errors=None,
            bypass_decode=False, *, encodingErrors=None):
        return Var(typ, size, arraysize or self.arraysize, inconverter,
                   outconverter, typename, encoding_errors, bypass_decode,
                   encodingErrors)

    def arrayvar(self, typ, value, size=0):
        raise _not_supported_error("arrayvar")

    def setinputsizes(self, *args, **kwargs):
        self._check_open()
        return {} if kwargs or not args else []

    def setoutputsize(self, size, column=None):
        pass

    def prepare(self, statement, tag=None):
        self._check_open()
        self.statement = statement

    def parse(self, statement):
        self._check_open()
        self.connection._parse(statement)

    def bindnames(self):
        if self.statement is None:
            raise ProgrammingError(_Error(0, "no statement prepared",
                                          "DPI-01059"))
        return list(self.connection._parse(self.statement)[1])

    def callproc(self, name, parameters=None, keywordParameters=None,
                 keyword_parameters=None):
        raise _not_supported_error("callproc")

    def callfunc(self, name, returnType, parameters=None,
                 keywordParameters=None, keyword_parameters=None):
        raise _not_supported_error("callfunc")

    def executemany(self, statement, parameters, **kwargs):
        raise _not_supported_error("executemany (the stand-in is read-only)")

    def execute(self, statement, parameters=None, **keywordParameters):
        self._check_open()
        if parameters is not None and keywordParameters:
            raise InterfaceError(_Error(
                0, "expecting argument or keyword arguments, not both",
                "DPI-01000"))
        params = parameters if parameters is not None else (
            keywordParameters or None)
        if isinstance(params, dict):
            logged = dict(params)
        elif isinstance(params, (list, tuple)):
            logged = type(params)(params)
        else:
            logged = params
        if statement is None:
            statement = self.statement  # re-run the prepared statement
        statement_log.append((statement, logged))
        if not isinstance(statement, str):
            raise TypeError("expecting a string or None for statement")
        self.connection._round_trip()
        self.statement = statement
        self.description = None
        self._rows = None
        self.rowcount = 0
        conn = self.connection
        try:
            with conn._lock:
                ast, bind_names = conn._parse(statement)
                values = self._match_binds(bind_names, params)
                bind_kinds = {k: _bind_type(v) for k, v in values.items()}
                tr = conn._translate(statement, ast, bind_kinds)
                sqlite_params = {tr.param_names[k]: _bind_value(v)
                                 for k, v in values.items()
                                 if k in tr.param_names}
                for pname, name in tr.derived.items():
                    sqlite_params[pname] = _to_number(values[name])
                conn._fn_error[0] = None
                rows = _Rows(conn._db, tr.sqls, sqlite_params,
                             self._sqlite_failure)
            self.description = [t.describe(name) for name, t in tr.columns]
            converters = self._make_converters(tr.columns)
        except _OraFailure as e:
            self.description = None
            raise e.to_exception(statement) from None
        self._converters = converters
        self._rows = rows
        self._buffered = max(int(self.prefetchrows or 0), 0)
        self._at_end = False
        return self

    def _sqlite_failure(self, e):
        pending = self.connection._fn_error[0]
        self.connection._fn_error[0] = None
        if pending is not None:
            return pending
        if str(e).startswith("no such table"):
            # dropped after the statement was translated
            return _ora(942, "table or view does not exist")
        if str(e) in ("parser stack overflow",) or \
                str(e).startswith("Expression tree is too large"):
            return _unsupported("a statement nested this deeply (SQLite: "
                                "%s)" % e)
        return _OraFailure("QZDB", 4, "SQLite failed on the translated "
                                      "statement: %s" % e)

    def _match_binds(self, bind_names, params):
        if params is None:
            params = {}
        if isinstance(params, dict):
            values = {}
            for key, value in params.items():
                name = key.upper() if isinstance(key, str) else key
                if name in values:
                    raise _ora(1036, "illegal variable name/number")
                values[name] = value
            for name in values:
                if name not in bind_names:
                    raise _ora(1036, "illegal variable name/number")
            for name in bind_names:
                if name not in values:
                    raise _ora(1008, "not all variables bound")
            return values
        if isinstance(params, (list, tuple)):
            if len(params) > len(bind_names):
                raise _ora(1036, "illegal variable name/number")
            if len(params) < len(bind_names):
                raise _ora(1008, "not all variables bound")
            return dict(zip(bind_names, params))
        raise TypeError("expecting a dictionary, sequence or keyword args")

    def _make_converters(self, columns):
        handler = self.outputtypehandler or self.connection.outputtypehandler
        converters = []
        for name, t in columns:
            desc = t.describe(name)
            var = None
            if handler is not None:
                var = handler(self, name, desc[1], desc[3] or desc[2] or 0,
                              desc[4] or 0, desc[5] or 0)
                if var is not None and not isinstance(var, Var):
                    raise TypeError("expecting variable from output type "
                                    "handler")
            converters.append(_converter(name, t, var, self.connection))
        return converters

    def _account(self, fetched, exhausted):
        """The round trips that fetching ``fetched`` more rows takes: each
        brings up to ``arraysize`` rows, and the end of the rows is known
        from one that brings fewer than it could."""
        while fetched > self._buffered:
            fetched -= self._buffered
            self.connection._round_trip()
            self._buffered = max(int(self.arraysize or 1), 1)
        self._buffered -= fetched
        if exhausted and not self._at_end:
            if self._buffered == 0:
                self.connection._round_trip()
            self._at_end = True

    def _fetch(self, n):
        self._check_open()
        if self._rows is None:
            raise InterfaceError(_Error(0, "not a query", "DPI-01027"))
        conn = self.connection
        if conn._cut is not None:
            conn._round_trip()  # raises
        try:
            with conn._lock:
                conn._fn_error[0] = None
                raw = self._rows.fetch(n)
                self._account(len(raw), n is None or len(raw) < n)
                out = []
                convs = self._converters
                for r in raw:
                    out.append(tuple(c(v) for c, v in zip(convs, r)))
        except _OraFailure as e:
            raise e.to_exception(self.statement) from None
        self.rowcount += len(out)
        if self.rowfactory is not None:
            out = [self.rowfactory(*r) for r in out]
        return out

    def fetchone(self):
        rows = self._fetch(1)
        return rows[0] if rows else None

    def fetchmany(self, numRows=None, num_rows=None):
        n = numRows if numRows is not None else num_rows
        return self._fetch(self.arraysize if n is None else n)

    def fetchall(self):
        return self._fetch(None)

    def __repr__(self):
        return "<qzdb.oracle.Cursor on %r>" % (self.connection,)


def _default_number(v, t):
    if v is None:
        return None
    if isinstance(v, str):
        v = _to_number(v)
    if isinstance(v, float) and v == int(v) and t.scale in (None, 0, -127) \
            and abs(v) < 2 ** 63:
        return int(v)
    return v


def _converter(name, t, var, connection=None):
    """The function that turns one SQLite value of a column into what the
    driver returns for it, given the variable the output type handler gave."""
    kind = t.kind
    category = var._category if var is not None else None
    outconverter = var.outconverter if var is not None else None

    def fail(what):
        raise _OraFailure(
            "QZDB", 1,
            "not supported by the qzdb Oracle stand-in: fetching %s column %s "
            "as %s" % (kind, name, what))

    def text(v):
        if v is None:
            return None
        if isinstance(v, str):
            return v if v != "" else None
        if isinstance(v, bytes):
            raise _OraFailure("QZDB", 3, "binary value in text column %s"
                              % name)
        return _number_text(v)

    if kind == "NULL":
        base = lambda v: None  # noqa: E731
    elif kind == "CHAR":
        if category in (None, _TEXT):
            base = text
        elif category == _FLOAT:
            base = lambda v: None if text(v) is None else float(  # noqa: E731
                _to_number(text(v)))
        elif category in (_NUMBER, _INT, _DECIMAL):
            def base(v, _cat=category):
                s = text(v)
                if s is None:
                    return None
                n = _to_number(s)
                if _cat == _DECIMAL:
                    return decimal.Decimal(s.strip())
                if _cat == _INT:
                    return int(n)
                return n
        else:
            fail(var.type.name)
    elif kind == "NUMBER":
        if category in (None, _NUMBER):
            base = lambda v: _default_number(v, t)  # noqa: E731
        elif category == _TEXT:
            base = lambda v: _number_text(_to_number(v))  # noqa: E731
        elif category == _FLOAT:
            base = lambda v: None if v is None else float(  # noqa: E731
                _to_number(v))
        elif category == _INT:
            def base(v):
                if v is None:
                    return None
                n = _to_number(v)
                if n != int(n):
                    raise _OraFailure("QZDB", 1,
                                      "not supported by the qzdb Oracle "
                                      "stand-in: fetching the non-integral "
                                      "value %r of %s as int" % (n, name))
                return int(n)
        elif category == _DECIMAL:
            base = lambda v: None if v is None else decimal.Decimal(  # noqa
                _number_text(_to_number(v)))
        else:
            fail(var.type.name)
    elif kind == "DATE":
        if category in (None, _DATE):
            base = lambda v: None if v is None else _parse_date_text(v)  # noqa
        elif category == _TEXT:
            base = lambda v: None if v is None else _nls_date_text(  # noqa
                _parse_date_text(v))
        else:
            fail(var.type.name)
    elif kind == "CLOB":
        if category == _TEXT:
            base = text
        elif category in (None, _LOBV):
            base = lambda v: None if v is None else LOB(  # noqa: E731
                t.dbtype(), text(v) or "", connection)
        else:
            fail(var.type.name)
    else:  # BLOB
        def blob_bytes(v):
            if v is None:
                return None
            if not isinstance(v, bytes):
                raise _OraFailure("QZDB", 3, "text value in BLOB column %s"
                                  % name)
            return v

        if category == _BYTES:
            base = blob_bytes
        elif category in (None, _LOBV):
            base = lambda v: None if v is None else LOB(  # noqa: E731
                DB_TYPE_BLOB, blob_bytes(v), connection)
        else:
            fail(var.type.name)

    if outconverter is None:
        return base

    def converted(v):
        value = base(v)
        return None if value is None else outconverter(value)

    return converted
