"""Rewriting a parsed statement as SQLite statements with Oracle's result.

Each SELECT block becomes one SQLite SELECT; the values keep Oracle's
semantics through the ``QZ_*`` functions of :mod:`.values`.  Three things
differ from a word-for-word rewrite:

- Strict evaluation.  Oracle may evaluate the terms of a WHERE clause in any
  order and promises no shortcut, so a conversion that fails on some row
  (``STATIONID=37005`` where one STATIONID is '37008A') fails the statement
  whichever other term decides the row.  SQLite stops an AND or OR at the
  first operand that decides it, and reads only the rows an index points at.
  So when a WHERE clause holds anything that can fail on a row's values, the
  clause becomes ``QZ_ROW(e1, ..., en, condition)``: every such expression
  is an argument, and SQLite evaluates all arguments of a function on every
  row it reads; a single function call also leaves no term an index could
  use, so every row of the table is read.
- Flat chains.  SQLite nests ``a OR b OR c`` as binary operators, and an
  expression may be at most 1000 levels deep.  Equalities of one expression
  with row-independent values inside an OR become one ``IN (...)``; other
  long chains are grouped into balanced parentheses.
- Grouped UNION ALL.  SQLite accepts at most 500 blocks in one compound
  SELECT; the blocks are run in groups whose rows the cursor concatenates in
  order.
"""

from __future__ import annotations

from .columns import _OType
from .errors import _ora, _unsupported
from .values import (
    _concat, _date_add, _date_diff, _div, _number_text, _substr, _to_date,
    _to_number,
)

#: SELECT blocks run together in one SQLite compound statement.
UNION_GROUP = 100

#: Operands of AND / OR joined at one level of parentheses.
CHAIN_GROUP = 50

#: Expressions passed to one QZ_ROW call (SQLite's limit is 127 arguments).
ROW_GROUP = 100


class _X:
    """A translated expression: SQLite text, Oracle type, and the value when
    the expression is a constant.  ``rowfree`` is true for constants and bind
    values (the same on every row)."""

    __slots__ = ("sql", "t", "const", "value", "rowfree", "bind", "arith",
                 "concat")

    def __init__(self, sql, t, const=False, value=None, rowfree=None,
                 bind=None, arith=None, concat=None):
        self.sql = sql
        self.t = t
        self.const = const
        self.value = value
        self.rowfree = const if rowfree is None else rowfree
        self.bind = bind  # the bind NAME when the expression is one bind
        # "+" when sql is "(a + b ...)" or "(a - b ...)", "*" for
        # "(a * b ...)": a left operand of the same kind needs no
        # parentheses of its own, so that long chains do not nest
        self.arith = arith
        # the arguments when sql is QZ_CONCAT(...)
        self.concat = concat


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


def _chain(op, parts):
    """``(p1 op p2 op ...)`` in balanced groups of at most CHAIN_GROUP."""
    while len(parts) > CHAIN_GROUP:
        parts = [_chain(op, parts[i:i + CHAIN_GROUP])
                 for i in range(0, len(parts), CHAIN_GROUP)]
    if len(parts) == 1:
        return parts[0]
    return "(" + (" %s " % op).join(parts) + ")"


def _row_call(checks, condition):
    """``QZ_ROW(check..., condition)`` with at most ROW_GROUP arguments a
    call."""
    while len(checks) >= ROW_GROUP:
        checks = ["QZ_ROW(%s, 1)" % ", ".join(checks[i:i + ROW_GROUP - 1])
                  for i in range(0, len(checks), ROW_GROUP - 1)]
    return "QZ_ROW(%s)" % ", ".join(checks + [condition])


class _Cmp:
    """A translated comparison.  ``lhs`` / ``rhs`` are set when it is a plain
    SQLite ``lhs = rhs`` whose ``rhs`` is the same on every row, so that
    several of them on one ``lhs`` can be joined into ``lhs IN (...)``."""

    __slots__ = ("sql", "lhs", "rhs")

    def __init__(self, sql, lhs=None, rhs=None):
        self.sql = sql
        self.lhs = lhs
        self.rhs = rhs


class _Translation:
    def __init__(self, sqls, columns, param_names, derived):
        self.sqls = sqls  # SQLite statements whose rows follow one another
        self.columns = columns  # list of (name, _OType)
        self.param_names = param_names  # bind NAME -> SQLite parameter name
        # SQLite parameter name -> bind NAME whose value, converted to a
        # number once per execution, it holds
        self.derived = derived


class _Translator:
    def __init__(self, catalog, ast, bind_kinds, statement):
        self.catalog = catalog  # has source(schema, name), schema, user
        self.ast = ast
        self.bind_kinds = bind_kinds  # NAME -> _OType
        self.statement = statement
        self.params = {}
        self.derived = {}
        self.checks = None  # expressions that can fail on a row, in WHERE

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
        sqls = [" UNION ALL ".join(parts[i:i + UNION_GROUP])
                for i in range(0, len(parts), UNION_GROUP)]
        return _Translation(sqls, first_columns, dict(self.params),
                            dict(self.derived))

    def select(self, block):
        _, items, table, where = block
        source = self.catalog.source(table[1], table[2])
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
            self.checks = []
            try:
                condition = self.cond(where)
                checks = list(dict.fromkeys(self.checks))
            finally:
                self.checks = None
            if checks:
                condition = _row_call(checks, condition)
            sql += " WHERE " + condition
        return sql, columns

    def risky(self, x):
        """Note an expression that can fail on a row's values."""
        if self.checks is not None and not x.rowfree:
            self.checks.append(x.sql)
        return x

    # ----- conditions
    def cond(self, node):
        tag = node[0]
        if tag == "or":
            return self.alternatives([self.cond_or_cmp(n) for n in node[1]])
        if tag == "and":
            return _chain("AND", [self.cond(n) for n in node[1]])
        if tag == "not":
            # NOT NOT c is c, also when c is NULL
            negated = True
            node = node[1]
            while node[0] == "not":
                negated = not negated
                node = node[1]
            inner = self.cond(node)
            return "(NOT %s)" % inner if negated else inner
        if tag == "paren":
            return self.cond(node[1])
        if tag == "cmp":
            return self.compare(node[1], self.expr(node[2]),
                                self.expr(node[3])).sql
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
            args = [lx, px]
            if escape is not None:
                args.append(self.expr(escape))
            x = _X("QZ_LIKE(%s)" % ", ".join(a.sql for a in args),
                   _OType("NUMBER"), rowfree=all(a.rowfree for a in args))
            if escape is not None:
                # the escape rules are checked on the pattern's text
                self.risky(x)
            return "(NOT %s)" % x.sql if negated else x.sql
        if tag == "in":
            _, negated, left, items = node
            lx = self.expr(left)
            sql = self.alternatives(
                [self.compare("=", lx, self.expr(i)) for i in items])
            return "(NOT %s)" % sql if negated else sql
        if tag == "isnull":
            _, negated, left = node
            lx = self.expr(left)
            return "(%s IS %sNULL)" % (lx.sql, "NOT " if negated else "")
        raise AssertionError(tag)

    def cond_or_cmp(self, node):
        if node[0] == "paren":
            return self.cond_or_cmp(node[1])
        if node[0] == "cmp":
            return self.compare(node[1], self.expr(node[2]),
                                self.expr(node[3]))
        return _Cmp(self.cond(node))

    def alternatives(self, cmps):
        """OR of translated conditions; equalities of one expression with
        row-independent values become one IN list."""
        groups = {}
        order = []
        for c in cmps:
            if isinstance(c, str):
                c = _Cmp(c)
            if c.lhs is not None:
                if c.lhs not in groups:
                    groups[c.lhs] = []
                    order.append(("in", c.lhs))
                groups[c.lhs].append(c.rhs)
            else:
                order.append(("sql", c.sql))
        parts = []
        for kind, value in order:
            if kind == "sql":
                parts.append(value)
                continue
            values = list(dict.fromkeys(groups[value]))
            if len(values) == 1:
                parts.append("(%s = %s)" % (value, values[0]))
            else:
                parts.append("(%s IN (%s))" % (value, ", ".join(values)))
        return _chain("OR", parts)

    def compare(self, op, lx, rx):
        sqlop = "<>" if op in ("!=", "^=") else op
        kinds = (lx.t.kind, rx.t.kind)
        for k in kinds:
            if k in ("CLOB", "BLOB"):
                raise _ora(932, "inconsistent datatypes: expected - got %s" % k)
        if "NULL" in kinds:
            return _Cmp("(%s %s %s)" % (lx.sql, sqlop, rx.sql))
        if kinds == ("CHAR", "CHAR"):
            if lx.t.padded and rx.t.padded:
                return _Cmp("(QZ_PADCMP(%s, %s) %s 0)"
                            % (lx.sql, rx.sql, sqlop))
            return self.plain(sqlop, lx, rx)
        if kinds == ("DATE", "DATE"):
            return self.plain(sqlop, lx, rx)
        if "DATE" in kinds:
            other = kinds[0] if kinds[1] == "DATE" else kinds[1]
            if other == "CHAR":
                raise _unsupported(
                    "comparing a DATE with text (implicit conversion by "
                    "NLS_DATE_FORMAT)")
            raise _ora(932, "inconsistent datatypes: expected DATE got %s"
                       % other)
        # NUMBER with NUMBER or text: text is converted to a number
        return self.plain(sqlop, self.to_number(lx), self.to_number(rx))

    @staticmethod
    def plain(sqlop, lx, rx):
        sql = "(%s %s %s)" % (lx.sql, sqlop, rx.sql)
        if sqlop == "=":
            if lx.rowfree and not rx.rowfree:
                lx, rx = rx, lx
            if rx.rowfree and not lx.rowfree:
                return _Cmp(sql, lx.sql, rx.sql)
        return _Cmp(sql)

    # ----- conversions
    def to_number(self, x):
        k = x.t.kind
        if k in ("NUMBER", "NULL"):
            return x
        if k == "CHAR":
            if x.const:
                return _const(_to_number(x.value), _OType("NUMBER"))
            if x.bind is not None:
                # converted once per execution, before any row is read
                pname = "n%s" % self.params[x.bind]
                self.derived[pname] = x.bind
                return _X(":" + pname, _OType("NUMBER"), rowfree=True)
            return self.risky(_X("QZ_TO_NUMBER(%s)" % x.sql, _OType("NUMBER"),
                                 rowfree=x.rowfree))
        raise _ora(932, "inconsistent datatypes: expected NUMBER got %s" % k)

    def to_text(self, x):
        k = x.t.kind
        if k in ("CHAR", "NULL", "CLOB"):
            return x
        if k == "NUMBER":
            if x.const:
                return _const(_number_text(x.value), _OType("CHAR", size=40))
            return _X("QZ_NUMBER_TEXT(%s)" % x.sql, _OType("CHAR", size=40),
                      rowfree=x.rowfree)
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
            return _X(":" + pname, t, rowfree=True, bind=name)
        if tag == "col":
            name = node[1]
            t = self.current.columns.get(name)
            if t is None:
                raise _ora(904, '"%s": invalid identifier' % name)
            return _X('"%s"' % name.replace('"', '""'), t)
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
            return _X("(-%s)" % x.sql, x.t, rowfree=x.rowfree)
        if tag == "binop":
            # a chain a op b op c ... is a left-deep tree: walk its left
            # spine without recursion
            spine = []
            while node[0] == "binop":
                spine.append((node[1], node[3]))
                node = node[2]
            x = self.expr(node)
            for op, right in reversed(spine):
                x = self.binop(op, x, self.expr(right))
            return x
        if tag == "func":
            return self.func(node[1], [self.expr(a) for a in node[2]])
        if tag == "cast":
            return self.cast(self.expr(node[1]), node[2])
        raise AssertionError(tag)

    def binop(self, op, lx, rx):
        rowfree = lx.rowfree and rx.rowfree
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
            args = list(lt.concat) if lt.concat and len(lt.concat) < 100 \
                else [lt.sql]
            args.append(rt.sql)
            return _X("QZ_CONCAT(%s)" % ", ".join(args), t, rowfree=rowfree,
                      concat=args)
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
                return _X("QZ_DATE_DIFF(%s, %s)" % (lx.sql, rx.sql), t,
                          rowfree=rowfree)
            if lk == "DATE":
                date, days = lx, self.to_number(rx)
                if op == "-":
                    days = (_const(None if days.value is None else -days.value,
                                   days.t) if days.const
                            else _X("(-%s)" % days.sql, days.t,
                                    rowfree=days.rowfree))
            else:
                if op == "-":
                    raise _ora(932, "inconsistent datatypes: expected NUMBER "
                                    "got DATE")
                date, days = rx, self.to_number(lx)
            t = _OType("DATE")
            if date.const and days.const:
                return _const(_date_add(date.value, days.value), t)
            return self.risky(_X("QZ_DATE_ADD(%s, %s)" % (date.sql, days.sql),
                                 t, rowfree=rowfree))
        if "DATE" in (lk, rk):
            raise _ora(932, "inconsistent datatypes: expected NUMBER got DATE")
        ln, rn = self.to_number(lx), self.to_number(rx)
        t = _OType("NUMBER")
        if op == "/":
            if ln.const and rn.const:
                return _const(_div(ln.value, rn.value), t)
            return self.risky(_X("QZ_DIV(%s, %s)" % (ln.sql, rn.sql), t,
                                 rowfree=rowfree))
        if ln.const and rn.const:
            if ln.value is None or rn.value is None:
                return _const(None, t)
            a, b = ln.value, rn.value
            value = a + b if op == "+" else a - b if op == "-" else a * b
            return _const(value, t)
        kind = "*" if op == "*" else "+"
        left = ln.sql[1:-1] if ln.arith == kind else ln.sql
        return _X("(%s %s %s)" % (left, op, rn.sql), t, rowfree=rowfree,
                  arith=kind)

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
                [s.sql] + [a.sql for a in rest]), t,
                rowfree=s.rowfree and all(a.rowfree for a in rest))
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
            return self.risky(_X("QZ_TO_DATE(%s, %s)" % (s.sql, fmt.sql), t,
                                 rowfree=s.rowfree and fmt.rowfree))
        if name == "SYS_CONTEXT":
            arity(2, 3)
            if len(args) == 3 or not all(
                    a.const and a.t.kind == "CHAR" for a in args):
                raise _unsupported("SYS_CONTEXT other than with two literals")
            namespace, param = (a.value.upper() for a in args)
            if namespace != "USERENV":
                raise _unsupported("SYS_CONTEXT namespace %s" % namespace)
            if param in ("CURRENT_SCHEMA", "CURRENT_USER", "SESSION_USER"):
                value = self.catalog.schema if param == "CURRENT_SCHEMA" \
                    else self.catalog.user
                return _const(value, _OType("CHAR", size=256))
            if param == "DB_NAME":
                return _const(self.catalog.db_name, _OType("CHAR", size=256))
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
            return _X(x.sql, t, const=x.const, value=x.value,
                      rowfree=x.rowfree, bind=x.bind)
        if kind == "NUMBER":
            if x.t.kind == "DATE":
                raise _ora(932, "inconsistent datatypes: expected NUMBER got "
                                "DATE")
            return self.to_number(x)
        if x.t.kind in ("DATE", "NULL"):
            return _X(x.sql, _OType("DATE"), const=x.const, value=x.value,
                      rowfree=x.rowfree)
        raise _unsupported("CAST of %s to DATE (NLS_DATE_FORMAT)" % x.t.kind)
