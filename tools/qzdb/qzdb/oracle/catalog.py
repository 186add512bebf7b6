"""What a database file holds, as the statements see it.

The file is attached read-only under the name ``QZDATA``.  Its ordinary
tables are the tables of the schema QZDATA.  Tables whose names start with
``QZDB_`` belong to the stand-in and are invisible to statements:

- ``QZDB_USERS (USERNAME, PASSWORD)``: the accepted users (when present);
- ``QZDB_INSTANCE (SID, SERVICE_NAME)``: the names the listener knows the
  database by (one row);
- ``QZDB_<SCHEMA>$<TABLE>``: table ``<TABLE>`` of another schema
  ``<SCHEMA>`` (for instance ``QZDB_QZBAK$QZ_211_DYU_01`` is
  ``QZBAK.QZ_211_DYU_01``).

``ALL_TABLES`` lists the tables of every schema with their owner; ``DUAL``
has its one row.
"""

from __future__ import annotations

import os
import sqlite3
import urllib.parse

from .columns import _OType, _otype_from_decl, _Source
from .errors import _ora

#: Schema name under which the SQLite file is attached; its ordinary tables
#: are the tables of this schema.
SCHEMA = "QZDATA"

#: Tables of the file whose names start with this prefix belong to the
#: stand-in itself (for instance the users table); statements cannot see them.
INTERNAL_PREFIX = "QZDB_"

#: Name of the table holding the accepted user names and passwords.
USERS_TABLE = "QZDB_USERS"

#: Name of the table holding the SID and the service name of the database.
INSTANCE_TABLE = "QZDB_INSTANCE"

#: Separates the schema from the table name in the name of a table of
#: another schema (``QZDB_QZBAK$QZ_211_DYU_01``).
SCHEMA_SEPARATOR = "$"


def internal_table_name(schema, table):
    """The name in the file of table ``table`` of schema ``schema``."""
    if schema == SCHEMA:
        return table
    return "%s%s%s%s" % (INTERNAL_PREFIX, schema, SCHEMA_SEPARATOR, table)


def split_internal_name(name):
    """``(schema, table)`` of a name in the file, or None for the stand-in's
    own tables and SQLite's."""
    if name.startswith("sqlite_"):
        return None
    if not name.startswith(INTERNAL_PREFIX):
        return SCHEMA, name
    rest = name[len(INTERNAL_PREFIX):]
    schema, sep, table = rest.partition(SCHEMA_SEPARATOR)
    if not sep or not schema or not table:
        return None
    return schema, table


def _quote(name):
    return '"%s"' % name.replace('"', '""')


def attach(db, path):
    """Attach the file read-only as QZDATA; sqlite3.Error when it is not a
    SQLite database."""
    uri = "file:%s?mode=ro" % urllib.parse.quote(os.path.abspath(path))
    db.execute("ATTACH DATABASE ? AS %s" % SCHEMA, (uri,))
    db.execute("SELECT count(*) FROM %s.sqlite_master" % SCHEMA)


def has_table(db, name):
    return bool(db.execute(
        "SELECT count(*) FROM %s.sqlite_master WHERE type = 'table' AND "
        "name = ?" % SCHEMA, (name,)).fetchone()[0])


def instance_names(db):
    """``(SID, SERVICE_NAME)`` the attached file declares, or None."""
    if not has_table(db, INSTANCE_TABLE):
        return None
    rows = db.execute('SELECT "SID", "SERVICE_NAME" FROM %s.%s'
                      % (SCHEMA, _quote(INSTANCE_TABLE))).fetchall()
    if len(rows) != 1:
        return None
    return rows[0]


def read_instance_names(path):
    """``(SID, SERVICE_NAME)`` declared by the file at ``path``, or None
    when it declares none.  sqlite3.Error when it is not a SQLite file."""
    db = sqlite3.connect(":memory:")
    try:
        attach(db, path)
        return instance_names(db)
    finally:
        db.close()


_DUAL = _Source("(SELECT 'X' AS \"DUMMY\")",
                {"DUMMY": _OType("CHAR", size=1)})

_NAME = _OType("CHAR", size=128, nullable=False)

# the tables of QZDATA, then those of the other schemas, each in the order
# they were created
_ALL_TABLES_SQL = (
    "(SELECT '{schema}' AS \"OWNER\", name AS \"TABLE_NAME\" "
    "FROM {schema}.sqlite_master WHERE type = 'table' "
    "AND substr(name, 1, 7) <> 'sqlite_' "
    "AND substr(name, 1, {n}) <> '{prefix}' "
    "UNION ALL "
    "SELECT substr(name, {n} + 1, instr(name, '{sep}') - {n} - 1) AS \"OWNER\", "
    "substr(name, instr(name, '{sep}') + 1) AS \"TABLE_NAME\" "
    "FROM {schema}.sqlite_master WHERE type = 'table' "
    "AND substr(name, 1, {n}) = '{prefix}' "
    "AND instr(name, '{sep}') > {n} + 1 "
    "AND instr(name, '{sep}') < length(name))"
).format(schema=SCHEMA, n=len(INTERNAL_PREFIX), prefix=INTERNAL_PREFIX,
         sep=SCHEMA_SEPARATOR)

_ALL_TABLES = _Source(_ALL_TABLES_SQL, {"OWNER": _NAME, "TABLE_NAME": _NAME},
                      star_ok=False)


class _Catalog:
    """The sources of one connection's statements."""

    def __init__(self, db, schema, user, db_name):
        self.db = db
        self.schema = schema  # the current schema (the user's own)
        self.user = user
        self.db_name = db_name
        self._columns = {}

    def source(self, schema, name):
        """The FROM source for [schema.]name, or ORA-00942."""
        if schema is None and name == "DUAL" or (schema, name) == ("SYS",
                                                                   "DUAL"):
            return _DUAL
        if schema in (None, "SYS") and name == "ALL_TABLES":
            return _ALL_TABLES
        if schema is None:
            schema = self.schema
        if name.startswith(INTERNAL_PREFIX) or \
                SCHEMA_SEPARATOR in schema:
            raise _ora(942, "table or view does not exist")
        stored = internal_table_name(schema, name)
        if not self.db.execute(
                "SELECT count(*) FROM %s.sqlite_master WHERE type IN "
                "('table', 'view') AND name = ?" % SCHEMA,
                (stored,)).fetchone()[0]:
            self._columns.pop(stored, None)
            raise _ora(942, "table or view does not exist")
        columns = self._columns.get(stored)
        if columns is None:
            columns = {}
            for _, cname, decl, notnull, _, _ in self.db.execute(
                    "PRAGMA %s.table_info(%s)" % (SCHEMA, _quote(stored))):
                columns[cname] = _otype_from_decl(
                    decl, notnull, "%s.%s" % (name, cname))
            self._columns[stored] = columns
        return _Source("%s.%s" % (SCHEMA, _quote(stored)), columns)
