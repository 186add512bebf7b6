"""Type objects, DB-API constructors, LOB values and variables.

The database types (``DB_TYPE_VARCHAR`` ...) and the DB-API type objects
(``STRING``, ``NUMBER`` ...) compare as in cx_Oracle 8: a type object equals
each of its database types.  :class:`Var` is what ``Cursor.var`` makes and an
output type handler returns; its type decides how a column is fetched.
"""

from __future__ import annotations

import datetime as _dt
import decimal
import time as _time

from .errors import DatabaseError, _exc, _not_supported_error


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
# python-oracledb's type for NCLOB fetched as a long string (cx_Oracle 8.3,
# which the module stands in for, has no name for it; a variable of
# python-oracledb's type object is accepted)
DB_TYPE_LONG_NVARCHAR = DbType("DB_TYPE_LONG_NVARCHAR")
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

    As the driver's, it is a locator: its value is read from the server, one
    round trip for each ``read()`` or ``size()`` (and for ``str()``), so it
    works only while its connection is open; after ``close()`` (or once the
    network has dropped the connection) every use raises.  The stand-in is
    read-only: ``write`` and ``trim`` raise :class:`NotSupportedError`.
    """

    def __init__(self, dbtype, value, connection=None):
        self._type = dbtype
        self._value = value
        self._connection = connection

    @property
    def type(self):
        return self._type

    def _round_trip(self):
        if self._connection is not None:
            self._connection._round_trip()

    def read(self, offset=1, amount=None):
        self._round_trip()
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
        self._round_trip()
        return len(self._value)

    def getchunksize(self):
        self._round_trip()
        return 8132

    def isopen(self):
        self._round_trip()
        return False

    def open(self):
        self._round_trip()

    def close(self):
        self._round_trip()

    def write(self, data, offset=1):
        raise _not_supported_error("LOB.write")

    def trim(self, newSize=0, new_size=None):
        raise _not_supported_error("LOB.trim")

    def fileexists(self):
        raise _exc(DatabaseError, "DPI", 1002, "invalid OCI handle or LOB type")

    def getfilename(self):
        raise _exc(DatabaseError, "DPI", 1002, "invalid OCI handle or LOB type")

    def setfilename(self, *args):
        raise _exc(DatabaseError, "DPI", 1002, "invalid OCI handle or LOB type")

    def __str__(self):
        if isinstance(self._value, str):
            return self.read()
        raise TypeError("__str__ returned non-string (type bytes)")

    def __repr__(self):
        return "<qzdb.oracle.LOB %s>" % self._type.name


# What a fetched value is turned into, by the type a variable asks for.
_TEXT, _BYTES, _FLOAT, _INT, _DECIMAL, _NUMBER, _DATE, _LOBV = (
    "text", "bytes", "float", "int", "decimal", "number", "date", "lob",
)

_DBTYPE_CATEGORY = {
    DB_TYPE_VARCHAR: _TEXT, DB_TYPE_NVARCHAR: _TEXT, DB_TYPE_CHAR: _TEXT,
    DB_TYPE_NCHAR: _TEXT, DB_TYPE_LONG: _TEXT, DB_TYPE_LONG_NVARCHAR: _TEXT,
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


# The database types by name: a type object of the real drivers (cx_Oracle's
# or python-oracledb's DbType, whose names are the same) is taken for the
# stand-in's own of that name, as when python-oracledb serves as the
# cx_Oracle module and the caller asks for its types.
_DBTYPES_BY_NAME = {
    name: value for name, value in dict(globals()).items()
    if name.startswith("DB_TYPE_") and isinstance(value, DbType)
}


def _own_dbtype(typ):
    if type(typ).__name__ != "DbType" or not isinstance(
            getattr(typ, "name", None), str):
        return None
    return _DBTYPES_BY_NAME.get(typ.name)


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
        elif _own_dbtype(typ) is not None:
            dbtype = _own_dbtype(typ)
            category = _DBTYPE_CATEGORY.get(dbtype)
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
