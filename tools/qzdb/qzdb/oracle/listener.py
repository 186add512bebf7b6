"""The listener: which database file a data source name reaches.

A database file declares one SID and one service name (table
``QZDB_INSTANCE``).  The listener knows the files registered in this process
with :func:`register`, and the files named by the environment variable
``QZDB_DATABASES`` (paths separated by ``os.pathsep``, each known by the
names it declares), which it reads again at every connect so that
subprocesses and worker processes reach the databases their parent named.
A registration wins over an entry of the environment for the same names.

Data source names, as a client of Oracle Net writes them:

- a connect descriptor, as :func:`makedsn` builds it:
  ``(CONNECT_DATA=(SID=x))`` reaches the database whose SID is x, else
  ORA-12505; ``(CONNECT_DATA=(SERVICE_NAME=y))`` the one whose service name
  is y, else ORA-12514.  A SID is not a service name nor the reverse, and
  both are matched exactly.
- easy connect ``host[:port]/service_name``: a service name.
- the path of an existing file: that file, directly (a development shortcut;
  no real client has it).

Host and port are not looked at.
"""

from __future__ import annotations

import os
import re
import sqlite3
import threading

from .catalog import read_instance_names
from .errors import DatabaseError, ProgrammingError, _Error, _exc, \
    _not_supported_error

#: The environment variable naming database files for every process.
ENVIRONMENT_VARIABLE = "QZDB_DATABASES"

_NAME_RE = re.compile(r"[A-Za-z][A-Za-z0-9_$#.\-]*\Z")

_lock = threading.RLock()
_registered = {}  # absolute path -> (sid, service_name)
_declared_cache = {}  # (absolute path, mtime_ns, size) -> names or problem


def makedsn(host, port, sid=None, service_name=None, region=None,
            sharding_key=None, super_sharding_key=None):
    """Build a connect descriptor as cx_Oracle does."""
    if region is not None or sharding_key is not None or \
            super_sharding_key is not None:
        raise _not_supported_error("makedsn with region or sharding keys")
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


# --------------------------------------------------------------------------
# Registrations


def _check_name(kind, value):
    if not isinstance(value, str) or not _NAME_RE.match(value):
        raise ValueError(
            "%s must be a name of letters, digits and _ $ # . - starting with "
            "a letter, got %r" % (kind, value))
    return value


def _declared_names(path):
    """(sid, service_name) the file declares, or a text saying why there
    are none.  Cached while the file is unchanged."""
    try:
        st = os.stat(path)
    except OSError:
        return "no such file"
    key = (path, st.st_mtime_ns, st.st_size)
    with _lock:
        found = _declared_cache.get(key)
    if found is None:
        try:
            names = read_instance_names(path)
        except sqlite3.Error as e:
            found = "not a SQLite database (%s)" % e
        else:
            found = tuple(names) if names is not None else \
                "declares no SID and service name (no QZDB_INSTANCE row)"
        with _lock:
            if len(_declared_cache) > 256:
                _declared_cache.clear()
            _declared_cache[key] = found
    return found


def register(path, sid=None, service_name=None):
    """Make the database file at ``path`` known to the listener.

    The names default to the ones the file declares; explicit names override
    them (to serve a copy of a database under other names).  A name that
    another registered file has already raises ValueError.  Registering a
    path again replaces its names.  Returns ``(sid, service_name)``.
    """
    path = os.path.abspath(os.fspath(path))
    if not os.path.isfile(path):
        raise FileNotFoundError("no database file %s" % path)
    declared = _declared_names(path)
    if isinstance(declared, str) and declared.startswith("not a SQLite"):
        raise ValueError("%s is %s" % (path, declared))
    if sid is None or service_name is None:
        if isinstance(declared, str):
            raise ValueError(
                "%s %s: pass sid= and service_name=" % (path, declared))
        sid = declared[0] if sid is None else sid
        service_name = declared[1] if service_name is None else service_name
    _check_name("sid", sid)
    _check_name("service_name", service_name)
    with _lock:
        for other, (other_sid, other_service) in _registered.items():
            if other == path:
                continue
            if other_sid == sid:
                raise ValueError("SID %r is already registered for %s"
                                 % (sid, other))
            if other_service == service_name:
                raise ValueError("service name %r is already registered for "
                                 "%s" % (service_name, other))
        _registered[path] = (sid, service_name)
    return sid, service_name


def unregister(path):
    """Forget the registration of ``path`` (KeyError when there is none)."""
    path = os.path.abspath(os.fspath(path))
    with _lock:
        if path not in _registered:
            raise KeyError("%s is not registered" % path)
        del _registered[path]


def _environment_entries():
    """[(path, names or problem text)] of QZDB_DATABASES."""
    value = os.environ.get(ENVIRONMENT_VARIABLE, "")
    entries = []
    for piece in value.split(os.pathsep):
        if piece.strip():
            path = os.path.abspath(piece)
            entries.append((path, _declared_names(path)))
    return entries


def _known():
    """([(path, sid, service_name)] the listener serves, in the order it
    looks names up; [problem texts of environment entries])."""
    with _lock:
        known = [(p, s, v) for p, (s, v) in _registered.items()]
    problems = []
    for path, names in _environment_entries():
        if isinstance(names, str):
            problems.append("%s entry %s: %s" % (ENVIRONMENT_VARIABLE, path,
                                                 names))
        elif not any(p == path for p, _, _ in known):
            known.append((path,) + names)
    return known, problems


def registered():
    """{path: (sid, service_name)} of every database the listener knows:
    the registered files and those of QZDB_DATABASES."""
    known, _ = _known()
    out = {}
    for path, sid, service in known:
        out.setdefault(path, (sid, service))
    return out


# --------------------------------------------------------------------------
# Resolving a data source name


def _net_error(code, text, detail):
    return _exc(DatabaseError, "ORA", code, "%s\nqzdb: %s" % (text, detail))


_UNRESOLVED = "TNS:could not resolve the connect identifier specified"

_TOKEN_RE = re.compile(r"\s*(?:([()=])|([^()=]+))")


def _parse_descriptor(text):
    """The descriptor as nested lists [KEY, value or [children]], or None
    when it is not one."""
    tokens = []
    pos = 0
    while pos < len(text):
        m = _TOKEN_RE.match(text, pos)
        if m is None:
            break
        if m.group(1):
            tokens.append(m.group(1))
        elif m.group(2).strip():
            tokens.append(m.group(2).strip())
        pos = m.end()
    i = 0

    def node():
        nonlocal i
        if tokens[i:i + 1] != ["("] or i + 2 >= len(tokens) or \
                tokens[i + 1] in "()=" or tokens[i + 2] != "=":
            raise ValueError
        key = tokens[i + 1].upper()
        i += 3
        if tokens[i:i + 1] == ["("]:
            children = []
            while tokens[i:i + 1] == ["("]:
                children.append(node())
            value = children
        elif tokens[i:i + 1] == [")"]:
            value = ""
        else:
            value = tokens[i]
            i += 1
        if tokens[i:i + 1] != [")"]:
            raise ValueError
        i += 1
        return [key, value]

    try:
        tree = node()
    except (ValueError, IndexError):
        return None
    return tree if i == len(tokens) else None


def _connect_data(tree):
    """(kind, value) asked for by a descriptor: kind "SID" or
    "SERVICE_NAME"."""
    if tree[0] != "DESCRIPTION" or not isinstance(tree[1], list):
        raise _net_error(12154, _UNRESOLVED, "not a DESCRIPTION")
    data = [c for c in tree[1] if c[0] == "CONNECT_DATA"]
    if len(data) != 1 or not isinstance(data[0][1], list):
        raise _net_error(12504, "TNS:listener was not given the SERVICE_NAME "
                                "in CONNECT_DATA", "no CONNECT_DATA")
    asked = {k: v for k, v in data[0][1]
             if k in ("SID", "SERVICE_NAME") and isinstance(v, str) and v}
    if len(asked) == 2:
        raise _not_supported_error("a connect descriptor with both SID and "
                                   "SERVICE_NAME")
    if not asked:
        raise _net_error(12504, "TNS:listener was not given the SERVICE_NAME "
                                "in CONNECT_DATA", "no SID or SERVICE_NAME")
    return next(iter(asked.items()))


_EASY_CONNECT_RE = re.compile(
    r"(?://)?(?:\[[^\]/]+\]|[^\s/:()=\[\]]+)(?::\d+)?/([^\s/:()=]+)\Z")


def resolve(dsn):
    """``(path, sid, service_name)`` of the database file that ``dsn``
    reaches; sid and service_name are None for a plain path."""
    if dsn is None:
        raise _exc(DatabaseError, "ORA", 12162,
                   "TNS:net service name is incorrectly specified")
    if not isinstance(dsn, str):
        raise TypeError("expecting a string for dsn")
    text = dsn.strip()
    if text.startswith("("):
        tree = _parse_descriptor(text)
        if tree is None:
            raise _net_error(12154, _UNRESOLVED, "dsn %r" % dsn)
        kind, name = _connect_data(tree)
    elif text and os.path.isfile(dsn):
        return dsn, None, None
    else:
        m = _EASY_CONNECT_RE.match(text)
        if m is None:
            raise _net_error(12154, _UNRESOLVED,
                             "dsn %r is no connect descriptor, no easy "
                             "connect text host[:port]/service_name and no "
                             "existing file" % dsn)
        kind, name = "SERVICE_NAME", m.group(1)
    known, problems = _known()
    index = 1 if kind == "SID" else 2
    for entry in known:
        if entry[index] == name:
            return entry
    listed = sorted({e[index] for e in known})
    detail = "%s %r; the listener knows %s %s" % (
        kind, name, "SIDs" if kind == "SID" else "service names",
        ", ".join(listed) if listed else "none")
    if problems:
        detail += "; " + "; ".join(problems)
    if kind == "SID":
        raise _net_error(12505, "TNS:listener does not currently know of SID "
                                "given in connect descriptor", detail)
    raise _net_error(12514, "TNS:listener does not currently know of service "
                            "requested in connect descriptor", detail)
