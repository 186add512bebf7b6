"""Oracle types of columns and expressions, and the sources a SELECT block
reads from."""

from __future__ import annotations

import re

from .dbtypes import (
    DB_TYPE_BLOB, DB_TYPE_CHAR, DB_TYPE_CLOB, DB_TYPE_DATE, DB_TYPE_NCLOB,
    DB_TYPE_NUMBER, DB_TYPE_VARCHAR,
)
from .errors import _OraFailure


class _OType:
    """Oracle type of an expression or column."""

    __slots__ = ("kind", "size", "precision", "scale", "padded", "nullable",
                 "national")

    def __init__(self, kind, size=None, precision=None, scale=None,
                 padded=False, nullable=True, national=False):
        self.kind = kind  # CHAR NUMBER DATE CLOB BLOB NULL
        self.size = size
        self.precision = precision
        self.scale = scale
        self.padded = padded
        self.nullable = nullable
        self.national = national  # a CLOB of the national character set: NCLOB

    def dbtype(self):
        if self.kind == "CLOB" and self.national:
            return DB_TYPE_NCLOB
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
        return _OType("CLOB", nullable=nullable, national=name == "NCLOB")
    return _OType("BLOB", nullable=nullable)


class _Source:
    """What a FROM clause names: the SQLite text to read it and its columns
    (NAME -> _OType, in order)."""

    def __init__(self, sql, columns, star_ok=True):
        self.sql = sql
        self.columns = columns
        self.star_ok = star_ok
