"""Splitting an Oracle statement into tokens, and the keyword sets the parser
uses."""

from __future__ import annotations

import re

from .errors import _ora


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
