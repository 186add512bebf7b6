"""A stand-in for the ``cx_Oracle`` driver module, answering from a SQLite file.

The module offers the part of cx_Oracle 8.3's DB-API that the velmora fetch
modules and SQLAlchemy 1.4's ``oracle+cx_oracle`` dialect use: ``connect``,
``makedsn``, the exception classes, the type objects, cursors with output type
handlers and variables, and LOB values.

The database is a SQLite file (normally one written by :mod:`qzdb.sample`)
whose path is the SID of the data source name.  Each connection attaches that
file read-only under the schema name ``QZDATA``.

Statements are not passed to SQLite as they are.  Each one is parsed as Oracle
SQL, checked against the file's tables and the bind values, and rewritten as a
SQLite statement whose result is the one Oracle gives.  Only a small part of
Oracle SQL is understood (single-table ``SELECT`` blocks joined by
``UNION ALL``, with the operators and functions listed in the README); anything
else raises :class:`DatabaseError` naming the statement rather than being
answered approximately.
"""

from __future__ import annotations

import calendar
import datetime as _dt
import decimal
import functools
import re
import sqlite3
import threading
import time as _time
import urllib.parse

__all__ = [
    "apilevel", "threadsafety", "paramstyle", "version", "connect", "makedsn",
    "Connection", "Cursor", "Var", "LOB", "DbType", "ApiType",
    "Warning", "Error", "InterfaceError", "DatabaseError", "DataError",
    "OperationalError", "IntegrityError", "InternalError", "ProgrammingError",
    "NotSupportedError", "statement_log",
]

# --------------------------------------------------------------------------
# Module attributes of the driver

apilevel = "2.0"
threadsafety = 2
paramstyle = "named"
version = "8.3.0"
buildtime = "qzdb stand-in"

#: The server version that connections report.
SERVER_VERSION = "19.0.0.0.0"

#: Schema name under which the SQLite file is attached.
SCHEMA = "QZDATA"

#: Tables of the file whose names start with this prefix belong to the
#: stand-in itself (for instance the users table); statements cannot see them.
INTERNAL_PREFIX = "QZDB_"

#: Name of the table holding the accepted user names and passwords.
USERS_TABLE = "QZDB_USERS"

#: Every ``Cursor.execute`` appends ``(statement, parameters)`` here, before
#: the statement is translated, so that failing statements are recorded too.
#: Clear it with ``statement_log.clear()``.
statement_log: list = []


class _Future:
    """Attribute bag standing in for ``cx_Oracle.__future__``."""

    def __repr__(self):
        return "<qzdb.oracle.__future__>"


__future__ = _Future()

SYSDBA = 2
SYSOPER = 4
DEFAULT_AUTH = 0
ATTR_PURITY_DEFAULT = 0
ATTR_PURITY_NEW = 1
ATTR_PURITY_SELF = 2


# --------------------------------------------------------------------------
# Exceptions


class Warning(Exception):  # noqa: A001 - DB-API name
    pass


class Error(Exception):
    pass


class InterfaceError(Error):
    pass


class DatabaseError(Error):
    pass


class DataError(DatabaseError):
    pass


class OperationalError(DatabaseError):
    pass


class IntegrityError(DatabaseError):
    pass


class InternalError(DatabaseError):
    pass


class ProgrammingError(DatabaseError):
    pass


class NotSupportedError(DatabaseError):
    pass


class _Error:
    """The single argument of every exception raised here, as in cx_Oracle.

    ``str()`` of it (and so of the exception) is the message.
    """

    def __init__(self, code, message, full_code=""):
        self.code = code
        self.message = message
        self.full_code = full_code
        self.offset = 0
        self.context = ""
        self.isrecoverable = False

    def __str__(self):
        return self.message

    def __repr__(self):
        return "<qzdb.oracle._Error %s>" % self.full_code


def _exc(cls, prefix, code, text, statement=None):
    full = "%s-%05d" % (prefix, code)
    message = "%s: %s" % (full, text)
    if statement is not None:
        message += "\nqzdb statement: %s" % statement
    return cls(_Error(code if prefix == "ORA" else 0, message, full))


class _OraFailure(Exception):
    """Raised inside the translator and the SQL functions; turned into a
    :class:`DatabaseError` carrying the statement by the cursor."""

    def __init__(self, prefix, code, text, cls=None):
        super().__init__(text)
        self.prefix = prefix
        self.code = code
        self.text = text
        self.cls = cls or DatabaseError

    def to_exception(self, statement):
        return _exc(self.cls, self.prefix, self.code, self.text, statement)


def _ora(code, text):
    return _OraFailure("ORA", code, text)


def _unsupported(what):
    return _OraFailure(
        "QZDB", 1, "not supported by the qzdb Oracle stand-in: %s" % what
    )


# --------------------------------------------------------------------------
# Type objects


class DbType:
    """A database type (``DB_TYPE_VARCHAR`` ...)."""

    __slots__ = ("name",)

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return "<qzdb.oracle.DbType %s>" % self.name

    def __eq__(self, other):
        if isinstance(other, DbType):
            return self is other
        if isinstance(other, ApiType):
            return self in other._members
        return NotImplemented

    def __hash__(self):
        return hash(("DbType", self.name))


class ApiType:
    """A DB-API type object (``STRING``, ``NUMBER`` ...) that compares equal
    to each of its database types."""

    __slots__ = ("name", "_members")

    def __init__(self, name, *members):
        self.name = name
        self._members = members

    def __repr__(self):
        return "<qzdb.oracle.ApiType %s>" % self.name

    def __eq__(self, other):
        if isinstance(other, ApiType):
            return self is other
        if isinstance(other, DbType):
            return other in self._members
        return NotImplemented

    def __hash__(self):
        return hash(("ApiType", self.name))


DB_TYPE_BFILE = DbType("DB_TYPE_BFILE")
DB_TYPE_BINARY_DOUBLE = DbType("DB_TYPE_BINARY_DOUBLE")
DB_TYPE_BINARY_FLOAT = DbType("DB_TYPE_BINARY_FLOAT")
DB_TYPE_BINARY_INTEGER = DbType("DB_TYPE_BINARY_INTEGER")
DB_TYPE_BLOB = DbType("DB_TYPE_BLOB")
DB_TYPE_BOOLEAN = DbType("DB_TYPE_BOOLEAN")
DB_TYPE_CHAR = DbType("DB_TYPE_CHAR")
DB_TYPE_CLOB = DbType("DB_TYPE_CLOB")
DB_TYPE_CURSOR = DbType("DB_TYPE_CURSOR")
DB_TYPE_DATE = DbType("DB_TYPE_DATE")
DB_TYPE_INTERVAL_DS = DbType("DB_TYPE_INTERVAL_DS")
DB_TYPE_INTERVAL_YM = DbType("DB_TYPE_INTERVAL_YM")
DB_TYPE_JSON = DbType("DB_TYPE_JSON")
DB_TYPE_LONG = DbType("DB_TYPE_LONG")
DB_TYPE_LONG_RAW = DbType("DB_TYPE_LONG_RAW")
DB_TYPE_NCHAR = DbType("DB_TYPE_NCHAR")
DB_TYPE_NCLOB = DbType("DB_TYPE_NCLOB")
DB_TYPE_NUMBER = DbType("DB_TYPE_NUMBER")
DB_TYPE_NVARCHAR = DbType("DB_TYPE_NVARCHAR")
DB_TYPE_OBJECT = DbType("DB_TYPE_OBJECT")
DB_TYPE_RAW = DbType("DB_TYPE_RAW")
DB_TYPE_ROWID = DbType("DB_TYPE_ROWID")
DB_TYPE_TIMESTAMP = DbType("DB_TYPE_TIMESTAMP")
DB_TYPE_TIMESTAMP_LTZ = DbType("DB_TYPE_TIMESTAMP_LTZ")
DB_TYPE_TIMESTAMP_TZ = DbType("DB_TYPE_TIMESTAMP_TZ")
DB_TYPE_VARCHAR = DbType("DB_TYPE_VARCHAR")

STRING = ApiType(
    "STRING", DB_TYPE_CHAR, DB_TYPE_LONG, DB_TYPE_NCHAR, DB_TYPE_NVARCHAR,
    DB_TYPE_VARCHAR,
)
NUMBER = ApiType(
    "NUMBER", DB_TYPE_BINARY_DOUBLE, DB_TYPE_BINARY_FLOAT,
    DB_TYPE_BINARY_INTEGER, DB_TYPE_NUMBER,
)
DATETIME = ApiType(
    "DATETIME", DB_TYPE_DATE, DB_TYPE_TIMESTAMP, DB_TYPE_TIMESTAMP_LTZ,
    DB_TYPE_TIMESTAMP_TZ,
)
BINARY = ApiType("BINARY", DB_TYPE_LONG_RAW, DB_TYPE_RAW)
ROWID = ApiType("ROWID", DB_TYPE_ROWID)

# the older names, which cx_Oracle 8 keeps as aliases of the database types
BFILE = DB_TYPE_BFILE
BLOB = DB_TYPE_BLOB
BOOLEAN = DB_TYPE_BOOLEAN
CLOB = DB_TYPE_CLOB
CURSOR = DB_TYPE_CURSOR
FIXED_CHAR = DB_TYPE_CHAR
FIXED_NCHAR = DB_TYPE_NCHAR
INTERVAL = DB_TYPE_INTERVAL_DS
LONG_BINARY = DB_TYPE_LONG_RAW
LONG_STRING = DB_TYPE_LONG
NATIVE_FLOAT = DB_TYPE_BINARY_DOUBLE
NATIVE_INT = DB_TYPE_BINARY_INTEGER
NCHAR = DB_TYPE_NVARCHAR
NCLOB = DB_TYPE_NCLOB
OBJECT = DB_TYPE_OBJECT
TIMESTAMP = DB_TYPE_TIMESTAMP

# DB-API constructors
Date = _dt.date
Time = _dt.time
Timestamp = _dt.datetime
Binary = bytes


def DateFromTicks(ticks):
    return _dt.date.fromtimestamp(ticks)


def TimeFromTicks(ticks):
    return _dt.time(*_time.localtime(ticks)[3:6])


def TimestampFromTicks(ticks):
    return _dt.datetime.fromtimestamp(ticks)


# --------------------------------------------------------------------------
# Values: LOBs and variables


class LOB:
    """A LOB value as fetched from a CLOB, NCLOB or BLOB column.

    The stand-in is read-only: ``read``, ``size`` and friends work, ``write``
    and ``trim`` raise :class:`NotSupportedError`.
    """

    def __init__(self, dbtype, value):
        self._type = dbtype
        self._value = value

    @property
    def type(self):
        return self._type

    def read(self, offset=1, amount=None):
        if offset < 1:
            raise _exc(
                DatabaseError, "ORA", 24801,
                "illegal parameter value in OCI lob function",
            )
        start = offset - 1
        if amount is None:
            return self._value[start:]
        if amount < 0:
            raise _exc(
                DatabaseError, "ORA", 24801,
                "illegal parameter value in OCI lob function",
            )
        return self._value[start:start + amount]

    def size(self):
        return len(self._value)

    def getchunksize(self):
        return 8132

    def isopen(self):
        return False

    def open(self):
        pass

    def close(self):
        pass

    def write(self, data, offset=1):
        raise _exc(NotSupportedError, "QZDB", 1,
                   "not supported by the qzdb Oracle stand-in: LOB.write")

    def trim(self, newSize=0, new_size=None):
        raise _exc(NotSupportedError, "QZDB", 1,
                   "not supported by the qzdb Oracle stand-in: LOB.trim")

    def fileexists(self):
        raise _exc(DatabaseError, "DPI", 1002, "invalid OCI handle or LOB type")

    def getfilename(self):
        raise _exc(DatabaseError, "DPI", 1002, "invalid OCI handle or LOB type")

    def setfilename(self, *args):
        raise _exc(DatabaseError, "DPI", 1002, "invalid OCI handle or LOB type")

    def __str__(self):
        if isinstance(self._value, str):
            return self._value
        raise TypeError("__str__ returned non-string (type bytes)")

    def __repr__(self):
        return "<qzdb.oracle.LOB %s, %d>" % (self._type.name, len(self._value))


# What a fetched value is turned into, by the type a variable asks for.
_TEXT, _BYTES, _FLOAT, _INT, _DECIMAL, _NUMBER, _DATE, _LOBV = (
    "text", "bytes", "float", "int", "decimal", "number", "date", "lob",
)

_DBTYPE_CATEGORY = {
    DB_TYPE_VARCHAR: _TEXT, DB_TYPE_NVARCHAR: _TEXT, DB_TYPE_CHAR: _TEXT,
    DB_TYPE_NCHAR: _TEXT, DB_TYPE_LONG: _TEXT,
    DB_TYPE_RAW: _BYTES, DB_TYPE_LONG_RAW: _BYTES,
    DB_TYPE_BINARY_DOUBLE: _FLOAT, DB_TYPE_BINARY_FLOAT: _FLOAT,
    DB_TYPE_BINARY_INTEGER: _INT,
    DB_TYPE_NUMBER: _NUMBER,
    DB_TYPE_DATE: _DATE, DB_TYPE_TIMESTAMP: _DATE,
    DB_TYPE_CLOB: _LOBV, DB_TYPE_NCLOB: _LOBV, DB_TYPE_BLOB: _LOBV,
}

_APITYPE_DBTYPE = {
    "STRING": DB_TYPE_VARCHAR, "NUMBER": DB_TYPE_NUMBER,
    "DATETIME": DB_TYPE_DATE, "BINARY": DB_TYPE_RAW, "ROWID": DB_TYPE_ROWID,
}

_PYTYPE_VAR = {
    str: (DB_TYPE_VARCHAR, _TEXT),
    bytes: (DB_TYPE_RAW, _BYTES),
    int: (DB_TYPE_NUMBER, _INT),
    float: (DB_TYPE_NUMBER, _FLOAT),
    decimal.Decimal: (DB_TYPE_NUMBER, _DECIMAL),
    _dt.datetime: (DB_TYPE_DATE, _DATE),
    _dt.date: (DB_TYPE_DATE, _DATE),
    bool: (DB_TYPE_BOOLEAN, None),
}


class Var:
    """A variable made by :meth:`Cursor.var`.

    Returned from an output type handler it decides how a column's values are
    fetched (its type, then its ``outconverter``).
    """

    def __init__(self, typ, size=0, arraysize=1, inconverter=None,
                 outconverter=None, typename=None, encoding_errors=None,
                 bypass_decode=False, encodingErrors=None):
        if isinstance(typ, DbType):
            dbtype, category = typ, _DBTYPE_CATEGORY.get(typ)
        elif isinstance(typ, ApiType):
            dbtype = _APITYPE_DBTYPE[typ.name]
            category = _DBTYPE_CATEGORY.get(dbtype)
        elif isinstance(typ, type) and typ in _PYTYPE_VAR:
            dbtype, category = _PYTYPE_VAR[typ]
        else:
            raise TypeError("expecting type")
        self._type = dbtype
        self._category = category
        self._values = [None] * max(int(arraysize or 1), 1)
        self.size = size
        self.bufferSize = self.buffer_size = size
        self.numElements = self.num_elements = len(self._values)
        self.actualElements = self.actual_elements = 0
        self.inconverter = inconverter
        self.outconverter = outconverter

    @property
    def type(self):
        return self._type

    @property
    def values(self):
        return list(self._values)

    def getvalue(self, pos=0):
        return self._values[pos]

    def setvalue(self, pos, value):
        if self.inconverter is not None:
            value = self.inconverter(value)
        self._values[pos] = value

    def __repr__(self):
        return "<qzdb.oracle.Var of type %s with value %r>" % (
            self._type.name, self._values[0])


# --------------------------------------------------------------------------
# Oracle semantics of the values (used by the translator and, registered as
# SQLite functions, by the translated statements)

_NUMBER_RE = re.compile(r"\s*[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?\s*\Z")
_DATE_TEXT_RE = re.compile(r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\Z")
_MONTHS = ("JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP",
           "OCT", "NOV", "DEC")


def _number_from_decimal(d):
    if d == d.to_integral_value() and abs(d) < 2 ** 63:
        return int(d)
    return float(d)


def _to_number(v):
    """Oracle's implicit text-to-number conversion (ORA-01722 on failure)."""
    if v is None or isinstance(v, (int, float)):
        return v
    if isinstance(v, str):
        if not _NUMBER_RE.match(v):
            raise _ora(1722, "invalid number")
        return _number_from_decimal(decimal.Decimal(v.strip()))
    raise _ora(932, "inconsistent datatypes: expected NUMBER got BINARY")


def _number_text(v):
    """Oracle's default number-to-text conversion ("1.1", ".5", "-2")."""
    if v is None:
        return None
    if isinstance(v, bool):
        v = int(v)
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        if v != v or v in (float("inf"), float("-inf")):
            raise _ora(1426, "numeric overflow")
        d = decimal.Decimal(repr(v))
    elif isinstance(v, decimal.Decimal):
        d = v
    else:
        raise _ora(932, "inconsistent datatypes: expected NUMBER")
    if d == d.to_integral_value():
        return str(int(d))
    s = format(d.normalize(), "f")
    if s.startswith("0."):
        s = s[1:]
    elif s.startswith("-0."):
        s = "-" + s[2:]
    return s


def _as_text(v):
    if v is None or isinstance(v, str):
        return v
    if isinstance(v, (int, float)):
        return _number_text(v)
    raise _ora(932, "inconsistent datatypes: expected CHAR got BINARY")


def _concat(a, b):
    """``a || b``: a NULL operand counts as empty text; empty text is NULL."""
    a = _as_text(a)
    b = _as_text(b)
    out = (a or "") + (b or "")
    return out if out else None


def _substr(s, pos, length=None):
    s = _as_text(s)
    pos = _to_number(pos)
    length = _to_number(length)
    if s is None or pos is None:
        return None
    pos = int(pos)  # Oracle truncates non-integral positions and lengths
    n = len(s)
    if pos == 0:
        pos = 1
    if pos > 0:
        start = pos - 1
    else:
        start = n + pos
        if start < 0:
            return None
    if length is None:
        out = s[start:]
    else:
        length = int(length)
        if length < 1:
            return None
        out = s[start:start + length]
    return out if out else None


@functools.lru_cache(maxsize=512)
def _like_regex(pattern, escape):
    out = []
    i = 0
    while i < len(pattern):
        c = pattern[i]
        if escape is not None and c == escape:
            if i + 1 >= len(pattern) or pattern[i + 1] not in ("%", "_", escape):
                raise _ora(
                    1424,
                    "missing or illegal character following the escape "
                    "character",
                )
            out.append(re.escape(pattern[i + 1]))
            i += 2
            continue
        if c == "%":
            out.append(".*")
        elif c == "_":
            out.append(".")
        else:
            out.append(re.escape(c))
        i += 1
    return re.compile("".join(out), re.S)


def _like(value, pattern, escape=None):
    """Oracle's LIKE: case-sensitive, ``%`` and ``_``, no default escape."""
    value = _as_text(value)
    pattern = _as_text(pattern)
    if value is None or pattern is None:
        return None
    if escape is not None:
        escape = _as_text(escape)
        if escape is None:
            return None
        if len(escape) != 1:
            raise _ora(1425, "escape character must be character string of "
                             "length 1")
    return 1 if _like_regex(pattern, escape).fullmatch(value) else 0


_DATE_FORMAT_ELEMENTS = (
    ("YYYY", 4), ("HH24", 2), ("MM", 2), ("DD", 2), ("MI", 2), ("SS", 2),
)
_DATE_FORMAT_SEPARATORS = set("-/,.;: ")
_UNSUPPORTED_DATE_ELEMENTS = (
    "SYYYY", "YYY", "YY", "Y", "RRRR", "RR", "MONTH", "MON", "DDD", "DAY", "DY",
    "HH12", "HH", "AM", "PM", "A.M.", "P.M.", "SSSSS", "FF", "FX", "FM", "J",
    "Q", "WW", "W", "IW", "IYYY", "CC", "SCC", "TZH", "TZM", "TZR", "X",
)


@functools.lru_cache(maxsize=256)
def _parse_date_format(fmt):
    elements = []
    s = fmt.upper()
    i = 0
    while i < len(s):
        c = s[i]
        if c in _DATE_FORMAT_SEPARATORS:
            elements.append(("sep", c))
            i += 1
            continue
        if c == '"':
            j = s.find('"', i + 1)
            if j < 0:
                raise _ora(1821, "date format not recognized")
            elements.append(("lit", fmt[i + 1:j]))
            i = j + 1
            continue
        for name, width in _DATE_FORMAT_ELEMENTS:
            if s.startswith(name, i):
                elements.append((name, width))
                i += len(name)
                break
        else:
            for name in _UNSUPPORTED_DATE_ELEMENTS:
                if s.startswith(name, i):
                    raise _unsupported(
                        "date format element %s in %r" % (name, fmt))
            raise _ora(1821, "date format not recognized")
    names = [e[0] for e in elements]
    for required in ("YYYY", "MM", "DD"):
        if required not in names:
            raise _unsupported(
                "date format %r without %s (Oracle takes the current "
                "date's fields then)" % (fmt, required))
    if len(set(n for n in names if n not in ("sep", "lit"))) != len(
            [n for n in names if n not in ("sep", "lit")]):
        raise _ora(1810, "format code appears twice")
    return tuple(elements)


def _date_text(d):
    return "%04d-%02d-%02d %02d:%02d:%02d" % (
        d.year, d.month, d.day, d.hour, d.minute, d.second)


def _to_date(text, fmt):
    """``TO_DATE(text, fmt)`` for numeric format models (YYYY MM DD HH24 MI SS
    and separators); the result is the date as 'YYYY-MM-DD HH:MM:SS'."""
    text = _as_text(text)
    fmt = _as_text(fmt)
    if text is None or fmt is None:
        return None
    elements = _parse_date_format(fmt)
    fields = {"YYYY": None, "MM": None, "DD": None, "HH24": 0, "MI": 0, "SS": 0}
    pos = 0
    n = len(text)
    for kind, arg in elements:
        if kind == "sep":
            # outside FX mode Oracle lets any punctuation stand for any other
            # and tolerates a missing one
            if pos < n and not text[pos].isalnum():
                pos += 1
            continue
        if kind == "lit":
            if text.startswith(arg, pos):
                pos += len(arg)
                continue
            raise _ora(1861, "literal does not match format string")
        while pos < n and text[pos] == " ":
            pos += 1
        j = pos
        while j < n and j - pos < arg and text[j].isdigit():
            j += 1
        if j == pos:
            if pos >= n:
                raise _ora(1840, "input value not long enough for date format")
            raise _ora(1858, "a non-numeric character was found where a "
                             "numeric was expected")
        fields[kind] = int(text[pos:j])
        pos = j
    if text[pos:].strip():
        raise _ora(1830, "date format picture ends before converting entire "
                         "input string")
    year, month, day = fields["YYYY"], fields["MM"], fields["DD"]
    if not 1 <= year <= 9999:
        raise _ora(1841, "(full) year must be between -4713 and +9999, and "
                         "not be 0")
    if not 1 <= month <= 12:
        raise _ora(1843, "not a valid month")
    if not 1 <= day <= 31:
        raise _ora(1847, "day of month must be between 1 and last day of month")
    if day > calendar.monthrange(year, month)[1]:
        raise _ora(1839, "date not valid for month specified")
    if not 0 <= fields["HH24"] <= 23:
        raise _ora(1850, "hour must be between 0 and 23")
    if not 0 <= fields["MI"] <= 59:
        raise _ora(1851, "minutes must be between 0 and 59")
    if not 0 <= fields["SS"] <= 59:
        raise _ora(1852, "seconds must be between 0 and 59")
    return "%04d-%02d-%02d %02d:%02d:%02d" % (
        year, month, day, fields["HH24"], fields["MI"], fields["SS"])


def _parse_date_text(v):
    if not isinstance(v, str) or not _DATE_TEXT_RE.match(v):
        raise _OraFailure(
            "QZDB", 3,
            "a DATE value in the database is not stored as text "
            "'YYYY-MM-DD HH:MM:SS': %r" % (v,))
    return _dt.datetime.fromisoformat(v)


def _date_add(d, days):
    """DATE + number of days (fractions of a day to the second)."""
    if d is None:
        return None
    days = _to_number(days)
    if days is None:
        return None
    base = _parse_date_text(d)
    seconds = decimal.Decimal(repr(days) if isinstance(days, float)
                              else days) * 86400
    seconds = int(seconds.to_integral_value(rounding=decimal.ROUND_HALF_UP))
    try:
        return _date_text(base + _dt.timedelta(seconds=seconds))
    except OverflowError:
        raise _ora(1841, "(full) year must be between -4713 and +9999, and "
                         "not be 0") from None


def _date_diff(a, b):
    """DATE - DATE, in days."""
    if a is None or b is None:
        return None
    delta = _parse_date_text(a) - _parse_date_text(b)
    seconds = delta.days * 86400 + delta.seconds
    if seconds % 86400 == 0:
        return seconds // 86400
    return seconds / 86400


def _div(a, b):
    a = _to_number(a)
    b = _to_number(b)
    if a is None or b is None:
        return None
    if b == 0:
        raise _ora(1476, "divisor is equal to zero")
    return _number_from_decimal(
        decimal.Decimal(repr(a) if isinstance(a, float) else a)
        / decimal.Decimal(repr(b) if isinstance(b, float) else b))


def _padcmp(a, b):
    """Blank-padded comparison of two CHAR values: -1, 0 or 1."""
    if a is None or b is None:
        return None
    width = max(len(a), len(b))
    a = a.ljust(width)
    b = b.ljust(width)
    return (a > b) - (a < b)


def _nls_date_text(v):
    """DATE to text in the default NLS_DATE_FORMAT 'DD-MON-RR'."""
    return "%02d-%s-%02d" % (v.day, _MONTHS[v.month - 1], v.year % 100)


# --------------------------------------------------------------------------
# Statement parsing

_TOKEN_RE = re.compile(
    r"""
     (?P<ws>\s+)
    |(?P<comment>--[^\n]*|/\*.*?\*/)
    |(?P<string>'(?:[^']|'')*')
    |(?P<number>(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?)
    |(?P<bind>:(?:[A-Za-z][A-Za-z0-9_$\#]*|\d+))
    |(?P<qident>"[^"]+")
    |(?P<ident>[A-Za-z][A-Za-z0-9_$\#]*)
    |(?P<op>\|\||<=|>=|<>|!=|\^=|[=<>(),.*+\-/])
    """,
    re.X | re.S,
)

_RESERVED = {
    "ALL", "AND", "ANY", "AS", "ASC", "BETWEEN", "BY", "CHECK", "CONNECT",
    "CREATE", "DELETE", "DESC", "DISTINCT", "ELSE", "ESCAPE", "EXISTS", "FOR",
    "FROM", "GROUP", "HAVING", "IN", "INSERT", "INTERSECT", "IS", "LIKE",
    "MINUS", "NOT", "NULL", "OF", "ON", "OR", "ORDER", "PRIOR", "SELECT",
    "SET", "START", "THEN", "UNION", "UNIQUE", "UPDATE", "VALUES", "WHERE",
    "WITH",
}
_PSEUDO_COLUMNS = {
    "ROWNUM", "ROWID", "SYSDATE", "SYSTIMESTAMP", "USER", "UID", "LEVEL",
    "CURRENT_DATE", "CURRENT_TIMESTAMP", "LOCALTIMESTAMP", "ORA_ROWSCN",
}
_OTHER_STATEMENTS = {
    "INSERT", "UPDATE", "DELETE", "MERGE", "CREATE", "ALTER", "DROP",
    "TRUNCATE", "GRANT", "REVOKE", "COMMIT", "ROLLBACK", "SAVEPOINT", "SET",
    "LOCK", "WITH", "CALL", "EXPLAIN", "COMMENT", "RENAME", "ANALYZE", "AUDIT",
    "NOAUDIT", "PURGE", "FLASHBACK", "DESCRIBE", "EXEC", "EXECUTE",
}
_QUERY_TAIL_KEYWORDS = {
    "ORDER", "GROUP", "HAVING", "CONNECT", "START", "FOR", "FETCH", "OFFSET",
    "MINUS", "INTERSECT", "UNION", "MODEL", "PIVOT", "UNPIVOT", "SAMPLE",
    "PARTITION", "AS", "JOIN", "INNER", "LEFT", "RIGHT", "FULL", "CROSS",
    "NATURAL",
}
_COMPARISONS = {"=", "<>", "!=", "^=", "<", ">", "<=", ">="}
_FUNCTIONS = {"SUBSTR", "TO_DATE", "SYS_CONTEXT", "CAST"}
_PLSQL_RE = re.compile(r"\s*(BEGIN|DECLARE)\b", re.I)


class _Tok:
    __slots__ = ("kind", "value", "text", "pos")

    def __init__(self, kind, value, text, pos):
        self.kind = kind
        self.value = value
        self.text = text
        self.pos = pos

    def is_kw(self, *words):
        return self.kind == "ident" and self.value in words

    def is_op(self, *ops):
        return self.kind == "op" and self.value in ops


def _tokenize(sql):
    tokens = []
    pos = 0
    n = len(sql)
    while pos < n:
        m = _TOKEN_RE.match(sql, pos)
        if m is None:
            if sql[pos] == "'":
                raise _ora(1756, "quoted string not properly terminated")
            if sql[pos] == '"':
                raise _ora(1740, "missing double quote in identifier")
            raise _ora(911, "invalid character")
        kind = m.lastgroup
        text = m.group()
        if kind in ("ws", "comment"):
            pass
        elif kind == "string":
            tokens.append(_Tok("string", text[1:-1].replace("''", "'"), text, pos))
        elif kind == "number":
            tokens.append(_Tok("number", text, text, pos))
        elif kind == "bind":
            tokens.append(_Tok("bind", text[1:].upper(), text, pos))
        elif kind == "qident":
            tokens.append(_Tok("qident", text[1:-1], text, pos))
        elif kind == "ident":
            tokens.append(_Tok("ident", text.upper(), text, pos))
        else:
            tokens.append(_Tok("op", text, text, pos))
        pos = m.end()
    return tokens


# AST nodes are plain tuples: (tag, ...).


class _Parser:
    def __init__(self, sql):
        self.sql = sql
        self.toks = _tokenize(sql)
        self.i = 0
        self.binds = []

    # helpers
    def peek(self, k=0):
        j = self.i + k
        return self.toks[j] if j < len(self.toks) else None

    def next(self):
        t = self.peek()
        self.i += 1
        return t

    def at_kw(self, *words):
        t = self.peek()
        return t is not None and t.is_kw(*words)

    def at_op(self, *ops):
        t = self.peek()
        return t is not None and t.is_op(*ops)

    def expect_op(self, op, code, text):
        if not self.at_op(op):
            raise _ora(code, text)
        self.next()

    # statement
    def parse_statement(self):
        if not self.toks:
            raise _ora(900, "invalid SQL statement")
        first = self.toks[0]
        if first.kind == "ident" and first.value in _OTHER_STATEMENTS:
            raise _unsupported("%s statements" % first.value)
        if first.is_op("("):
            raise _unsupported("a parenthesized query")
        if not first.is_kw("SELECT"):
            raise _ora(900, "invalid SQL statement")
        blocks = [self.parse_select()]
        while self.at_kw("UNION"):
            self.next()
            if not self.at_kw("ALL"):
                raise _unsupported("UNION without ALL")
            self.next()
            if not self.at_kw("SELECT"):
                if self.at_op("("):
                    raise _unsupported("a parenthesized query")
                raise _ora(928, "missing SELECT keyword")
            blocks.append(self.parse_select())
        t = self.peek()
        if t is not None:
            if t.kind == "ident" and t.value in _QUERY_TAIL_KEYWORDS:
                raise _unsupported("%s after a query block" % t.value)
            raise _ora(933, "SQL command not properly ended")
        return ("query", blocks)

    def parse_select(self):
        self.next()  # SELECT
        if self.at_kw("DISTINCT", "UNIQUE"):
            raise _unsupported("SELECT DISTINCT")
        if self.at_kw("ALL"):
            self.next()
        items = []
        if self.at_op("*"):
            self.next()
            items.append(("star",))
            if self.at_op(","):
                raise _unsupported("* together with other select items")
        else:
            while True:
                start = self.i
                expr = self.parse_expr()
                text = "".join(t.text for t in self.toks[start:self.i]).upper()
                alias = None
                if self.at_kw("AS"):
                    self.next()
                    t = self.next()
                    if t is None or t.kind not in ("ident", "qident") or (
                            t.kind == "ident" and t.value in _RESERVED):
                        raise _ora(923, "FROM keyword not found where expected")
                    alias = t.value
                else:
                    t = self.peek()
                    if t is not None and (t.kind == "qident" or (
                            t.kind == "ident" and t.value not in _RESERVED)):
                        self.next()
                        alias = t.value
                items.append(("item", expr, text, alias))
                if self.at_op(","):
                    self.next()
                    if self.at_op("*"):
                        raise _unsupported("* together with other select items")
                    continue
                break
        if not self.at_kw("FROM"):
            raise _ora(923, "FROM keyword not found where expected")
        self.next()
        source = self.parse_table()
        where = None
        if self.at_kw("WHERE"):
            self.next()
            where = self.parse_condition()
        return ("select", items, source, where)

    def parse_table(self):
        t = self.peek()
        if t is None:
            raise _ora(903, "invalid table name")
        if t.is_op("("):
            raise _unsupported("subqueries in FROM")
        if t.kind not in ("ident", "qident") or (
                t.kind == "ident" and t.value in _RESERVED):
            raise _ora(903, "invalid table name")
        self.next()
        schema, name = None, t.value
        if self.at_op("."):
            self.next()
            t2 = self.next()
            if t2 is None or t2.kind not in ("ident", "qident"):
                raise _ora(903, "invalid table name")
            schema, name = name, t2.value
        if self.at_op(","):
            raise _unsupported("more than one table in FROM")
        t = self.peek()
        if t is not None and (t.kind == "qident" or (
                t.kind == "ident" and t.value not in _RESERVED
                and t.value not in _QUERY_TAIL_KEYWORDS)):
            raise _unsupported("table aliases")
        if t is not None and t.kind == "ident" and t.value in (
                "JOIN", "INNER", "LEFT", "RIGHT", "FULL", "CROSS", "NATURAL"):
            raise _unsupported("joins")
        return ("table", schema, name)

    # conditions
    def parse_condition(self):
        left = self.parse_and()
        while self.at_kw("OR"):
            self.next()
            left = ("or", left, self.parse_and())
        return left

    def parse_and(self):
        left = self.parse_not()
        while self.at_kw("AND"):
            self.next()
            left = ("and", left, self.parse_not())
        return left

    def parse_not(self):
        if self.at_kw("NOT"):
            self.next()
            return ("not", self.parse_not())
        return self.parse_predicate()

    def parse_predicate(self):
        if self.at_kw("EXISTS"):
            raise _unsupported("EXISTS")
        if self.at_op("("):
            saved = self.i
            try:
                self.next()
                cond = self.parse_condition()
                self.expect_op(")", 907, "missing right parenthesis")
            except _OraFailure as first_error:
                self.i = saved
                try:
                    return self.parse_comparison()
                except _OraFailure:
                    raise first_error from None
            t = self.peek()
            continues = t is not None and (
                t.is_op(*_COMPARISONS, "||", "+", "-", "*", "/")
                or t.is_kw("LIKE", "IN", "IS", "BETWEEN")
                or (t.is_kw("NOT") and self.peek(1) is not None
                    and self.peek(1).is_kw("LIKE", "IN", "BETWEEN")))
            if not continues:
                return ("paren", cond)
            self.i = saved
        return self.parse_comparison()

    def parse_comparison(self):
        left = self.parse_expr()
        t = self.peek()
        if t is None:
            raise _ora(920, "invalid relational operator")
        if t.is_op(*_COMPARISONS):
            self.next()
            if self.at_kw("ANY", "SOME", "ALL"):
                raise _unsupported("%s comparisons" % self.peek().value)
            right = self.parse_expr()
            return ("cmp", t.value, left, right)
        negated = False
        if t.is_kw("NOT"):
            negated = True
            self.next()
            t = self.peek()
            if t is None:
                raise _ora(920, "invalid relational operator")
        if t.is_kw("LIKE"):
            self.next()
            pattern = self.parse_expr()
            escape = None
            if self.at_kw("ESCAPE"):
                self.next()
                escape = self.parse_expr()
            return ("like", negated, left, pattern, escape)
        if t.is_kw("IN"):
            self.next()
            self.expect_op("(", 906, "missing left parenthesis")
            if self.at_kw("SELECT"):
                raise _unsupported("subqueries in IN")
            items = [self.parse_expr()]
            while self.at_op(","):
                self.next()
                items.append(self.parse_expr())
            self.expect_op(")", 907, "missing right parenthesis")
            return ("in", negated, left, items)
        if t.is_kw("BETWEEN"):
            raise _unsupported("BETWEEN")
        if t.is_kw("IS") and not negated:
            self.next()
            neg = False
            if self.at_kw("NOT"):
                self.next()
                neg = True
            if not self.at_kw("NULL"):
                if self.at_kw("NAN", "INFINITE", "OF", "A", "EMPTY", "JSON"):
                    raise _unsupported("IS %s" % self.peek().value)
                raise _ora(908, "missing NULL keyword")
            self.next()
            return ("isnull", neg, left)
        raise _ora(920, "invalid relational operator")

    # expressions: + - || share one level, then * /, then unary signs
    def parse_expr(self):
        left = self.parse_term()
        while self.at_op("+", "-", "||"):
            op = self.next().value
            left = ("binop", op, left, self.parse_term())
        return left

    def parse_term(self):
        left = self.parse_factor()
        while self.at_op("*", "/"):
            op = self.next().value
            left = ("binop", op, left, self.parse_factor())
        return left

    def parse_factor(self):
        if self.at_op("-", "+"):
            op = self.next().value
            operand = self.parse_factor()
            return ("neg", operand) if op == "-" else ("pos", operand)
        return self.parse_primary()

    def parse_primary(self):
        t = self.peek()
        if t is None or t.is_op(")", ","):
            raise _ora(936, "missing expression")
        if t.kind == "string":
            self.next()
            return ("lit", "CHAR", t.value if t.value != "" else None)
        if t.kind == "number":
            self.next()
            return ("lit", "NUMBER",
                    _number_from_decimal(decimal.Decimal(t.value)))
        if t.kind == "bind":
            self.next()
            if t.value not in self.binds:
                self.binds.append(t.value)
            return ("bind", t.value)
        if t.is_op("("):
            self.next()
            if self.at_kw("SELECT"):
                raise _unsupported("scalar subqueries")
            e = self.parse_expr()
            self.expect_op(")", 907, "missing right parenthesis")
            return e
        if t.kind == "op":
            raise _ora(936, "missing expression")
        if t.kind == "ident":
            if t.value == "NULL":
                self.next()
                return ("lit", "NULL", None)
            if t.value in ("CASE", "DATE", "TIMESTAMP", "INTERVAL", "PRIOR"):
                raise _unsupported("%s expressions" % t.value)
            if t.value in _RESERVED:
                raise _ora(936, "missing expression")
            nxt = self.peek(1)
            if nxt is not None and nxt.is_op("("):
                return self.parse_function()
            if t.value in _PSEUDO_COLUMNS:
                raise _unsupported("the pseudo-column %s" % t.value)
        self.next()
        if self.at_op("."):
            raise _unsupported("qualified column names")
        return ("col", t.value)

    def parse_function(self):
        name = self.next().value
        self.next()  # (
        if name not in _FUNCTIONS:
            raise _unsupported("the function %s" % name)
        if name == "CAST":
            e = self.parse_expr()
            if not self.at_kw("AS"):
                raise _ora(905, "missing keyword")
            self.next()
            target = self.parse_type()
            self.expect_op(")", 907, "missing right parenthesis")
            return ("cast", e, target)
        args = []
        if not self.at_op(")"):
            args.append(self.parse_expr())
            while self.at_op(","):
                self.next()
                args.append(self.parse_expr())
        self.expect_op(")", 907, "missing right parenthesis")
        return ("func", name, args)

    def parse_type(self):
        t = self.next()
        if t is None or t.kind != "ident":
            raise _ora(902, "invalid datatype")
        name = t.value
        params = []
        if self.at_op("("):
            self.next()
            while True:
                p = self.next()
                if p is None or p.kind != "number":
                    raise _ora(902, "invalid datatype")
                params.append(int(p.value))
                if self.at_kw("BYTE", "CHAR"):
                    self.next()
                if self.at_op(","):
                    self.next()
                    continue
                break
            self.expect_op(")", 907, "missing right parenthesis")
        if name in ("VARCHAR2", "VARCHAR", "NVARCHAR2"):
            if len(params) != 1:
                raise _ora(906, "missing left parenthesis")
            return ("CHAR", params[0])
        if name == "NUMBER":
            return ("NUMBER", None)
        if name == "DATE":
            return ("DATE", None)
        raise _unsupported("CAST to %s" % name)


# --------------------------------------------------------------------------
# Translation to SQLite


class _OType:
    """Oracle type of an expression or column."""

    __slots__ = ("kind", "size", "precision", "scale", "padded", "nullable")

    def __init__(self, kind, size=None, precision=None, scale=None,
                 padded=False, nullable=True):
        self.kind = kind  # CHAR NUMBER DATE CLOB BLOB NULL
        self.size = size
        self.precision = precision
        self.scale = scale
        self.padded = padded
        self.nullable = nullable

    def dbtype(self):
        return {
            "CHAR": DB_TYPE_CHAR if self.padded else DB_TYPE_VARCHAR,
            "NUMBER": DB_TYPE_NUMBER, "DATE": DB_TYPE_DATE,
            "CLOB": DB_TYPE_CLOB, "BLOB": DB_TYPE_BLOB,
            "NULL": DB_TYPE_VARCHAR,
        }[self.kind]

    def describe(self, name):
        null_ok = 1 if self.nullable else 0
        if self.kind in ("CHAR", "NULL"):
            size = self.size or 0
            return (name, self.dbtype(), size, size, None, None, null_ok)
        if self.kind == "NUMBER":
            precision = self.precision if self.precision is not None else 0
            scale = self.scale if self.scale is not None else -127
            return (name, DB_TYPE_NUMBER, 127, None, precision, scale, null_ok)
        if self.kind == "DATE":
            return (name, DB_TYPE_DATE, 23, None, None, None, null_ok)
        return (name, self.dbtype(), None, None, None, None, null_ok)


_DECLTYPE_RE = re.compile(
    r"\s*(VARCHAR2|NVARCHAR2|VARCHAR|CHAR|NCHAR|NUMBER|INTEGER|FLOAT|DATE|"
    r"CLOB|NCLOB|BLOB)\s*(?:\(\s*(\d+)(?:\s+(?:BYTE|CHAR))?\s*"
    r"(?:,\s*(-?\d+)\s*)?\))?\s*\Z",
    re.I,
)


def _otype_from_decl(decl, notnull, where):
    m = _DECLTYPE_RE.match(decl or "")
    if not m:
        raise _OraFailure(
            "QZDB", 2,
            "column %s is declared %r, a type the qzdb Oracle stand-in does "
            "not serve" % (where, decl))
    name = m.group(1).upper()
    a = int(m.group(2)) if m.group(2) else None
    b = int(m.group(3)) if m.group(3) else None
    nullable = not notnull
    if name in ("VARCHAR2", "NVARCHAR2", "VARCHAR"):
        return _OType("CHAR", size=a or 4000, nullable=nullable)
    if name in ("CHAR", "NCHAR"):
        return _OType("CHAR", size=a or 1, padded=True, nullable=nullable)
    if name == "NUMBER":
        return _OType("NUMBER", precision=a, scale=(b or 0) if a else None,
                      nullable=nullable)
    if name == "INTEGER":
        return _OType("NUMBER", precision=38, scale=0, nullable=nullable)
    if name == "FLOAT":
        return _OType("NUMBER", precision=a or 126, scale=-127,
                      nullable=nullable)
    if name == "DATE":
        return _OType("DATE", nullable=nullable)
    if name in ("CLOB", "NCLOB"):
        return _OType("CLOB", nullable=nullable)
    return _OType("BLOB", nullable=nullable)


class _X:
    """A translated expression: SQLite text, Oracle type, and the value when
    the expression is a constant."""

    __slots__ = ("sql", "t", "const", "value", "is_column")

    def __init__(self, sql, t, const=False, value=None, is_column=False):
        self.sql = sql
        self.t = t
        self.const = const
        self.value = value
        self.is_column = is_column


def _sql_literal(v):
    if v is None:
        return "NULL"
    if isinstance(v, bool):
        return str(int(v))
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        r = repr(v)
        return r if ("." in r or "e" in r or "n" in r) else r + ".0"
    if isinstance(v, str):
        return "'" + v.replace("'", "''") + "'"
    raise TypeError(v)


def _const(value, t):
    return _X(_sql_literal(value), t, const=True, value=value)


_CHAR = "CHAR"


class _Source:
    def __init__(self, sql, columns, star_ok=True):
        self.sql = sql
        self.columns = columns  # dict NAME -> _OType, in order
        self.star_ok = star_ok


class _Translation:
    def __init__(self, sql, columns, param_names):
        self.sql = sql
        self.columns = columns  # list of (name, _OType)
        self.param_names = param_names  # bind NAME -> sqlite param name


class _Translator:
    def __init__(self, conn, ast, bind_kinds, statement):
        self.conn = conn
        self.ast = ast
        self.bind_kinds = bind_kinds  # NAME -> _OType
        self.statement = statement
        self.params = {}

    def translate(self):
        blocks = self.ast[1]
        parts = []
        first_columns = None
        for block in blocks:
            sql, columns = self.select(block)
            if first_columns is None:
                first_columns = columns
            else:
                if len(columns) != len(first_columns):
                    raise _ora(1789, "query block has incorrect number of "
                                     "result columns")
                merged = []
                for (name, t1), (_, t2) in zip(first_columns, columns):
                    if t1.kind == "NULL":
                        merged.append((name, t2))
                    elif t2.kind == "NULL" or t1.kind == t2.kind:
                        merged.append((name, t1))
                    else:
                        raise _ora(1790, "expression must have same datatype "
                                         "as corresponding expression")
                first_columns = merged
            parts.append(sql)
        return _Translation(" UNION ALL ".join(parts), first_columns,
                            dict(self.params))

    def select(self, block):
        _, items, table, where = block
        source = self.source(table)
        self.current = source
        out_sql = []
        columns = []
        for item in items:
            if item[0] == "star":
                if not source.star_ok:
                    raise _unsupported("SELECT * from %s" % table[2])
                for name, t in source.columns.items():
                    out_sql.append('"%s"' % name.replace('"', '""'))
                    columns.append((name, t))
                continue
            _, expr, text, alias = item
            x = self.expr(expr)
            out_sql.append(x.sql)
            if alias is not None:
                name = alias
            elif expr[0] == "col":
                name = expr[1]
            else:
                name = text
            columns.append((name, x.t))
        sql = "SELECT " + ", ".join(out_sql) + " FROM " + source.sql
        if where is not None:
            sql += " WHERE " + self.cond(where)
        return sql, columns

    def source(self, table):
        _, schema, name = table
        return self.conn._source(schema, name)

    # ----- conditions
    def cond(self, node):
        tag = node[0]
        if tag == "or":
            return "(%s OR %s)" % (self.cond(node[1]), self.cond(node[2]))
        if tag == "and":
            return "(%s AND %s)" % (self.cond(node[1]), self.cond(node[2]))
        if tag == "not":
            return "(NOT %s)" % self.cond(node[1])
        if tag == "paren":
            return "(%s)" % self.cond(node[1])
        if tag == "cmp":
            return self.compare(node[1], self.expr(node[2]), self.expr(node[3]))
        if tag == "like":
            _, negated, left, pattern, escape = node
            lx = self.expr(left)
            px = self.expr(pattern)
            for x in (lx, px):
                if x.t.kind == "DATE":
                    raise _unsupported(
                        "LIKE on a DATE (implicit conversion by "
                        "NLS_DATE_FORMAT)")
                if x.t.kind == "BLOB":
                    raise _ora(932, "inconsistent datatypes: expected - got "
                                    "BLOB")
            args = [lx.sql, px.sql]
            if escape is not None:
                ex = self.expr(escape)
                args.append(ex.sql)
            sql = "QZ_LIKE(%s)" % ", ".join(args)
            return "(NOT %s)" % sql if negated else sql
        if tag == "in":
            _, negated, left, items = node
            lx = self.expr(left)
            alternatives = [self.compare("=", lx, self.expr(i)) for i in items]
            sql = "(" + " OR ".join(alternatives) + ")"
            return "(NOT %s)" % sql if negated else sql
        if tag == "isnull":
            _, negated, left = node
            lx = self.expr(left)
            return "(%s IS %sNULL)" % (lx.sql, "NOT " if negated else "")
        raise AssertionError(tag)

    def compare(self, op, lx, rx):
        sqlop = "<>" if op in ("!=", "^=") else op
        kinds = (lx.t.kind, rx.t.kind)
        for k in kinds:
            if k in ("CLOB", "BLOB"):
                raise _ora(932, "inconsistent datatypes: expected - got %s" % k)
        if "NULL" in kinds:
            return "(%s %s %s)" % (lx.sql, sqlop, rx.sql)
        if kinds == ("CHAR", "CHAR"):
            if lx.t.padded and rx.t.padded:
                return "(QZ_PADCMP(%s, %s) %s 0)" % (lx.sql, rx.sql, sqlop)
            return "(%s %s %s)" % (lx.sql, sqlop, rx.sql)
        if kinds == ("DATE", "DATE"):
            return "(%s %s %s)" % (lx.sql, sqlop, rx.sql)
        if "DATE" in kinds:
            other = kinds[0] if kinds[1] == "DATE" else kinds[1]
            if other == "CHAR":
                raise _unsupported(
                    "comparing a DATE with text (implicit conversion by "
                    "NLS_DATE_FORMAT)")
            raise _ora(932, "inconsistent datatypes: expected DATE got %s"
                       % other)
        # NUMBER with NUMBER or text: text is converted to a number
        return "(%s %s %s)" % (self.to_number(lx).sql, sqlop,
                               self.to_number(rx).sql)

    # ----- conversions
    def to_number(self, x):
        k = x.t.kind
        if k in ("NUMBER", "NULL"):
            return x
        if k == "CHAR":
            if x.const:
                return _const(_to_number(x.value), _OType("NUMBER"))
            return _X("QZ_TO_NUMBER(%s)" % x.sql, _OType("NUMBER"))
        raise _ora(932, "inconsistent datatypes: expected NUMBER got %s" % k)

    def to_text(self, x):
        k = x.t.kind
        if k in ("CHAR", "NULL", "CLOB"):
            return x
        if k == "NUMBER":
            if x.const:
                return _const(_number_text(x.value), _OType("CHAR", size=40))
            return _X("QZ_NUMBER_TEXT(%s)" % x.sql, _OType("CHAR", size=40))
        if k == "DATE":
            raise _unsupported(
                "converting a DATE to text (implicit conversion by "
                "NLS_DATE_FORMAT)")
        raise _ora(932, "inconsistent datatypes: expected CHAR got %s" % k)

    # ----- expressions
    def expr(self, node):
        tag = node[0]
        if tag == "lit":
            kind, value = node[1], node[2]
            if kind == "CHAR":
                if value is None:
                    return _const(None, _OType("NULL"))
                return _const(value, _OType("CHAR", size=len(value),
                                            padded=True))
            if kind == "NUMBER":
                return _const(value, _OType("NUMBER"))
            return _const(None, _OType("NULL"))
        if tag == "bind":
            name = node[1]
            t = self.bind_kinds[name]
            pname = "b%d" % len(self.params) if name not in self.params \
                else self.params[name]
            self.params[name] = pname
            return _X(":" + pname, t)
        if tag == "col":
            name = node[1]
            t = self.current.columns.get(name)
            if t is None:
                raise _ora(904, '"%s": invalid identifier' % name)
            return _X('"%s"' % name.replace('"', '""'), t, is_column=True)
        if tag == "pos":
            x = self.expr(node[1])
            return self.to_number(x) if x.t.kind == "CHAR" else x
        if tag == "neg":
            x = self.expr(node[1])
            if x.t.kind == "DATE":
                raise _ora(932, "inconsistent datatypes: expected NUMBER got "
                                "DATE")
            x = self.to_number(x)
            if x.const:
                return _const(None if x.value is None else -x.value, x.t)
            return _X("(-%s)" % x.sql, x.t)
        if tag == "binop":
            return self.binop(node[1], self.expr(node[2]), self.expr(node[3]))
        if tag == "func":
            return self.func(node[1], [self.expr(a) for a in node[2]])
        if tag == "cast":
            return self.cast(self.expr(node[1]), node[2])
        raise AssertionError(tag)

    def binop(self, op, lx, rx):
        if op == "||":
            for x in (lx, rx):
                if x.t.kind == "BLOB":
                    raise _ora(932, "inconsistent datatypes: expected CHAR "
                                    "got BLOB")
            lt, rt = self.to_text(lx), self.to_text(rx)
            kind = "CLOB" if "CLOB" in (lt.t.kind, rt.t.kind) else "CHAR"
            t = _OType(kind, size=(lt.t.size or 0) + (rt.t.size or 0))
            if lt.const and rt.const:
                return _const(_concat(lt.value, rt.value), t)
            return _X("QZ_CONCAT(%s, %s)" % (lt.sql, rt.sql), t)
        lk, rk = lx.t.kind, rx.t.kind
        for k in (lk, rk):
            if k in ("CLOB", "BLOB"):
                raise _ora(932, "inconsistent datatypes: expected NUMBER got "
                                "%s" % k)
        if op in ("+", "-") and "DATE" in (lk, rk):
            if lk == "DATE" and rk == "DATE":
                if op == "+":
                    raise _ora(975, "date + date not allowed")
                t = _OType("NUMBER")
                if lx.const and rx.const:
                    return _const(_date_diff(lx.value, rx.value), t)
                return _X("QZ_DATE_DIFF(%s, %s)" % (lx.sql, rx.sql), t)
            if lk == "DATE":
                date, days = lx, self.to_number(rx)
                if op == "-":
                    days = (_const(None if days.value is None else -days.value,
                                   days.t) if days.const
                            else _X("(-%s)" % days.sql, days.t))
            else:
                if op == "-":
                    raise _ora(932, "inconsistent datatypes: expected NUMBER "
                                    "got DATE")
                date, days = rx, self.to_number(lx)
            t = _OType("DATE")
            if date.const and days.const:
                return _const(_date_add(date.value, days.value), t)
            return _X("QZ_DATE_ADD(%s, %s)" % (date.sql, days.sql), t)
        if "DATE" in (lk, rk):
            raise _ora(932, "inconsistent datatypes: expected NUMBER got DATE")
        ln, rn = self.to_number(lx), self.to_number(rx)
        t = _OType("NUMBER")
        if op == "/":
            if ln.const and rn.const:
                return _const(_div(ln.value, rn.value), t)
            return _X("QZ_DIV(%s, %s)" % (ln.sql, rn.sql), t)
        if ln.const and rn.const:
            if ln.value is None or rn.value is None:
                return _const(None, t)
            a, b = ln.value, rn.value
            value = a + b if op == "+" else a - b if op == "-" else a * b
            return _const(value, t)
        return _X("(%s %s %s)" % (ln.sql, op, rn.sql), t)

    def func(self, name, args):
        def arity(lo, hi):
            if len(args) < lo:
                raise _ora(938, "not enough arguments for function")
            if len(args) > hi:
                raise _ora(939, "too many arguments for function")

        if name == "SUBSTR":
            arity(2, 3)
            s = args[0]
            if s.t.kind == "BLOB":
                raise _ora(932, "inconsistent datatypes: expected CHAR got "
                                "BLOB")
            s = self.to_text(s)
            rest = [self.to_number(a) for a in args[1:]]
            t = _OType("CLOB" if s.t.kind == "CLOB" else "CHAR",
                       size=s.t.size)
            if s.const and all(a.const for a in rest):
                return _const(_substr(s.value, *[a.value for a in rest]), t)
            return _X("QZ_SUBSTR(%s)" % ", ".join(
                [s.sql] + [a.sql for a in rest]), t)
        if name == "TO_DATE":
            arity(1, 3)
            if len(args) == 1:
                raise _unsupported("TO_DATE without a format (NLS_DATE_FORMAT)")
            if len(args) == 3:
                raise _unsupported("TO_DATE with NLS parameters")
            s, fmt = args
            if s.t.kind == "DATE":
                raise _unsupported("TO_DATE of a DATE")
            if s.t.kind in ("CLOB", "BLOB"):
                raise _ora(932, "inconsistent datatypes: expected CHAR got %s"
                           % s.t.kind)
            s, fmt = self.to_text(s), self.to_text(fmt)
            t = _OType("DATE")
            if s.const and fmt.const:
                return _const(_to_date(s.value, fmt.value), t)
            return _X("QZ_TO_DATE(%s, %s)" % (s.sql, fmt.sql), t)
        if name == "SYS_CONTEXT":
            arity(2, 3)
            if len(args) == 3 or not all(
                    a.const and a.t.kind == "CHAR" for a in args):
                raise _unsupported("SYS_CONTEXT other than with two literals")
            namespace, param = (a.value.upper() for a in args)
            if namespace != "USERENV":
                raise _unsupported("SYS_CONTEXT namespace %s" % namespace)
            if param in ("CURRENT_SCHEMA", "CURRENT_USER", "SESSION_USER"):
                value = self.conn._schema if param == "CURRENT_SCHEMA" \
                    else self.conn._user_upper
                return _const(value, _OType("CHAR", size=256))
            if param == "DB_NAME":
                return _const(SCHEMA, _OType("CHAR", size=256))
            raise _unsupported("SYS_CONTEXT('USERENV', '%s')" % param)
        raise _unsupported("the function %s" % name)

    def cast(self, x, target):
        kind, size = target
        if kind == "CHAR":
            if x.t.kind in ("CLOB", "BLOB"):
                raise _ora(932, "inconsistent datatypes: expected CHAR got %s"
                           % x.t.kind)
            x = self.to_text(x)
            t = _OType("CHAR", size=size)
            return _X(x.sql, t, const=x.const, value=x.value)
        if kind == "NUMBER":
            if x.t.kind == "DATE":
                raise _ora(932, "inconsistent datatypes: expected NUMBER got "
                                "DATE")
            return self.to_number(x)
        if x.t.kind in ("DATE", "NULL"):
            return _X(x.sql, _OType("DATE"), const=x.const, value=x.value)
        raise _unsupported("CAST of %s to DATE (NLS_DATE_FORMAT)" % x.t.kind)


# --------------------------------------------------------------------------
# Connections and cursors


def makedsn(host, port, sid=None, service_name=None, region=None,
            sharding_key=None, super_sharding_key=None):
    """Build a connect descriptor as cx_Oracle does.  For the stand-in the
    SID (or service name) is the path of the SQLite file."""
    if region is not None or sharding_key is not None or \
            super_sharding_key is not None:
        raise _exc(NotSupportedError, "QZDB", 1,
                   "not supported by the qzdb Oracle stand-in: makedsn with "
                   "region or sharding keys")
    if sid is not None:
        connect_data = "(SID=%s)" % sid
    elif service_name is not None:
        connect_data = "(SERVICE_NAME=%s)" % service_name
    else:
        connect_data = ""
    for value in (host, port, sid, service_name):
        if value is not None and any(c in str(value) for c in "()="):
            raise ProgrammingError(_Error(
                0, "DPI-1079: makedsn() arguments must not contain the "
                   "characters '(', ')' or '=': %r" % (value,), "DPI-01079"))
    return ("(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=%s)(PORT=%s))"
            "(CONNECT_DATA=%s))" % (host, port, connect_data))


_DSN_RE = re.compile(
    r"\(DESCRIPTION=\(ADDRESS=\(PROTOCOL=TCP\)\(HOST=[^()=]*\)\(PORT=[^()=]*\)\)"
    r"\(CONNECT_DATA=\((?:SID|SERVICE_NAME)=([^()=]*)\)\)\)\Z"
)


def _database_path(dsn):
    if dsn is None:
        raise _exc(DatabaseError, "ORA", 12162,
                   "TNS:net service name is incorrectly specified")
    if not isinstance(dsn, str):
        raise TypeError("expecting a string for dsn")
    if dsn.startswith("("):
        m = _DSN_RE.match(dsn)
        if not m:
            raise _exc(DatabaseError, "ORA", 12154,
                       "TNS:could not resolve the connect identifier "
                       "specified\nqzdb: dsn %r" % dsn)
        return m.group(1)
    return dsn


def connect(user=None, password=None, dsn=None, mode=None, handle=None,
            pool=None, threaded=False, events=False, cclass=None, purity=None,
            newpassword=None, encoding=None, nencoding=None, edition=None,
            appcontext=[], tag=None, matchanytag=False, shardingkey=[],
            supershardingkey=[], stmtcachesize=20, **kwargs):
    """Open a connection; ``dsn`` names the SQLite file (see module doc)."""
    if kwargs:
        raise TypeError("connect() got an unexpected keyword argument %r"
                        % sorted(kwargs)[0])
    if mode not in (None, DEFAULT_AUTH):
        raise _exc(NotSupportedError, "QZDB", 1,
                   "not supported by the qzdb Oracle stand-in: connect mode")
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
        self._tables = {}
        self._parsed = {}
        self._translated = {}
        self._fn_error = [None]
        path = _database_path(dsn)
        self.path = path
        self._db = self._open(path)
        try:
            self._authenticate(user, password)
        except BaseException:
            self._db.close()
            self._db = None
            raise
        self._user_upper = user.upper() if user else SCHEMA
        self._schema = self._user_upper

    # -- setting up
    def _open(self, path):
        def no_database(reason):
            return _exc(
                DatabaseError, "ORA", 12505,
                "TNS:listener does not currently know of SID given in connect "
                "descriptor\nqzdb: %s: %s" % (path, reason))

        import os
        if not path or not os.path.isfile(path):
            raise no_database("no such file")
        db = sqlite3.connect(":memory:", uri=True, check_same_thread=False,
                             isolation_level=None)
        uri = "file:%s?mode=ro" % urllib.parse.quote(os.path.abspath(path))
        try:
            db.execute("ATTACH DATABASE ? AS %s" % SCHEMA, (uri,))
            db.execute("SELECT count(*) FROM %s.sqlite_master" % SCHEMA)
        except sqlite3.Error as e:
            db.close()
            raise no_database("not a SQLite database (%s)" % e) from None
        holder = self._fn_error
        functions = {
            "QZ_TO_NUMBER": (_to_number, 1),
            "QZ_NUMBER_TEXT": (_number_text, 1),
            "QZ_CONCAT": (_concat, 2),
            "QZ_SUBSTR": (_substr, -1),
            "QZ_LIKE": (_like, -1),
            "QZ_TO_DATE": (_to_date, 2),
            "QZ_DATE_ADD": (_date_add, 2),
            "QZ_DATE_DIFF": (_date_diff, 2),
            "QZ_DIV": (_div, 2),
            "QZ_PADCMP": (_padcmp, 2),
        }
        for name, (fn, nargs) in functions.items():
            db.create_function(name, nargs, _guarded(fn, holder),
                               deterministic=True)
        return db

    def _authenticate(self, user, password):
        row = self._db.execute(
            "SELECT count(*) FROM %s.sqlite_master WHERE type = 'table' AND "
            "name = ?" % SCHEMA, (USERS_TABLE,)).fetchone()
        if not row[0]:
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
        if schema is None and name == "DUAL" or (schema, name) == ("SYS", "DUAL"):
            return _Source("(SELECT 'X' AS \"DUMMY\")",
                           {"DUMMY": _OType("CHAR", size=1)})
        if schema in (None, "SYS") and name == "ALL_TABLES":
            return _Source(
                "(SELECT name AS \"TABLE_NAME\", '%s' AS \"OWNER\" FROM "
                "%s.sqlite_master WHERE type = 'table' AND "
                "substr(name, 1, 7) <> 'sqlite_' AND "
                "substr(name, 1, %d) <> '%s')"
                % (SCHEMA, SCHEMA, len(INTERNAL_PREFIX), INTERNAL_PREFIX),
                {"TABLE_NAME": _OType("CHAR", size=128, nullable=False),
                 "OWNER": _OType("CHAR", size=128, nullable=False)},
                star_ok=False)
        if schema is None:
            schema = self._schema
        if schema != SCHEMA or name.startswith(INTERNAL_PREFIX):
            raise _ora(942, "table or view does not exist")
        columns = self._tables.get(name)
        if columns is None:
            exists = self._db.execute(
                "SELECT count(*) FROM %s.sqlite_master WHERE type IN "
                "('table', 'view') AND name = ?" % SCHEMA, (name,)).fetchone()[0]
            if not exists:
                raise _ora(942, "table or view does not exist")
            columns = {}
            for _, cname, decl, notnull, _, _ in self._db.execute(
                    'PRAGMA %s.table_info("%s")'
                    % (SCHEMA, name.replace('"', '""'))):
                columns[cname] = _otype_from_decl(
                    decl, notnull, "%s.%s" % (name, cname))
            self._tables[name] = columns
        return _Source('%s."%s"' % (SCHEMA, name.replace('"', '""')), columns)

    # -- statements
    def _parse(self, statement):
        parsed = self._parsed.get(statement)
        if parsed is None:
            if _PLSQL_RE.match(statement):
                raise _unsupported("PL/SQL blocks")
            p = _Parser(statement)
            parsed = (p.parse_statement(), tuple(p.binds))
            if len(self._parsed) > 512:
                self._parsed.clear()
            self._parsed[statement] = parsed
        return parsed

    def _translate(self, statement, ast, bind_kinds):
        key = (statement, tuple(sorted(
            (k, v.kind) for k, v in bind_kinds.items())))
        tr = self._translated.get(key)
        if tr is None:
            tr = _Translator(self, ast, bind_kinds, statement).translate()
            if len(self._translated) > 512:
                self._translated.clear()
            self._translated[key] = tr
        return tr

    # -- DB-API
    def _check_open(self):
        if self._db is None:
            raise InterfaceError(_Error(0, "not connected", "DPI-01001"))

    @property
    def version(self):
        self._check_open()
        return SERVER_VERSION

    def cursor(self, scrollable=False):
        self._check_open()
        if scrollable:
            raise _exc(NotSupportedError, "QZDB", 1,
                       "not supported by the qzdb Oracle stand-in: scrollable "
                       "cursors")
        return Cursor(self)

    def commit(self):
        self._check_open()

    def rollback(self):
        self._check_open()

    def ping(self):
        self._check_open()

    def close(self):
        self._check_open()
        with self._lock:
            self._db.close()
            self._db = None

    def cancel(self):
        self._check_open()

    def _not_supported(self, what):
        raise _exc(NotSupportedError, "QZDB", 1,
                   "not supported by the qzdb Oracle stand-in: %s" % what)

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

    def __repr__(self):
        return "<qzdb.oracle.Connection to %s@%s>" % (self.username, self.path)


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
        raise _exc(NotSupportedError, "QZDB", 1,
                   "not supported by the qzdb Oracle stand-in: arrayvar")

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
        raise _exc(NotSupportedError, "QZDB", 1,
                   "not supported by the qzdb Oracle stand-in: callproc")

    def callfunc(self, name, returnType, parameters=None,
                 keywordParameters=None, keyword_parameters=None):
        raise _exc(NotSupportedError, "QZDB", 1,
                   "not supported by the qzdb Oracle stand-in: callfunc")

    def executemany(self, statement, parameters, **kwargs):
        raise _exc(NotSupportedError, "QZDB", 1,
                   "not supported by the qzdb Oracle stand-in: executemany "
                   "(the stand-in is read-only)")

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
                conn._fn_error[0] = None
                try:
                    rows = conn._db.execute(tr.sql, sqlite_params)
                except sqlite3.Error as e:
                    raise self._sqlite_failure(e) from None
            self.description = [t.describe(name) for name, t in tr.columns]
            converters = self._make_converters(tr.columns)
        except _OraFailure as e:
            self.description = None
            raise e.to_exception(statement) from None
        self._converters = converters
        self._rows = rows
        return self

    def _sqlite_failure(self, e):
        pending = self.connection._fn_error[0]
        self.connection._fn_error[0] = None
        if pending is not None:
            return pending
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
            converters.append(_converter(name, t, var))
        return converters

    def _fetch(self, n):
        self._check_open()
        if self._rows is None:
            raise InterfaceError(_Error(0, "not a query", "DPI-01027"))
        conn = self.connection
        try:
            with conn._lock:
                conn._fn_error[0] = None
                try:
                    raw = self._rows.fetchall() if n is None \
                        else self._rows.fetchmany(n)
                except sqlite3.Error as e:
                    raise self._sqlite_failure(e) from None
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


def _converter(name, t, var):
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
                DB_TYPE_CLOB, text(v) or "")
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
                DB_TYPE_BLOB, blob_bytes(v))
        else:
            fail(var.type.name)

    if outconverter is None:
        return base

    def converted(v):
        value = base(v)
        return None if value is None else outconverter(value)

    return converted
