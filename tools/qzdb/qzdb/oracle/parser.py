"""Parsing the Oracle statements the stand-in understands.

The tree is made of plain tuples ``(tag, ...)``:

- ``("query", [select, ...])``: the blocks joined by UNION ALL;
- ``("select", items, ("table", schema, name), where)``, items being
  ``("star",)`` or ``("item", expr, text, alias)``;
- conditions ``("or", [cond, ...])``, ``("and", [cond, ...])``,
  ``("not", cond)``, ``("paren", cond)``, ``("cmp", op, left, right)``,
  ``("like", negated, left, pattern, escape)``,
  ``("in", negated, left, [expr, ...])``, ``("isnull", negated, left)``;
- expressions ``("lit", kind, value)``, ``("bind", NAME)``, ``("col", NAME)``,
  ``("neg", e)``, ``("pos", e)``, ``("binop", op, left, right)``,
  ``("func", NAME, [arg, ...])``, ``("cast", e, (kind, size))``.

Chains of OR and AND and the blocks of a UNION ALL are lists, never nested
pairs, so that statements with thousands of alternatives or blocks parse
without deep recursion.
"""

from __future__ import annotations

import decimal

from .errors import _ora, _OraFailure, _unsupported
from .tokenizer import (
    _COMPARISONS, _FUNCTIONS, _OTHER_STATEMENTS, _PSEUDO_COLUMNS,
    _PLSQL_RE, _QUERY_TAIL_KEYWORDS, _RESERVED, _tokenize,
)
from .values import _number_from_decimal

#: Oracle's limit on the expressions of an IN list (ORA-01795 beyond it).
MAX_IN_LIST = 1000


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

    # conditions: a chain of OR (or AND) is one node holding the list of its
    # operands, so that thousands of alternatives make a flat tree
    def parse_condition(self):
        terms = [self.parse_and()]
        while self.at_kw("OR"):
            self.next()
            terms.append(self.parse_and())
        return terms[0] if len(terms) == 1 else ("or", terms)

    def parse_and(self):
        terms = [self.parse_not()]
        while self.at_kw("AND"):
            self.next()
            terms.append(self.parse_not())
        return terms[0] if len(terms) == 1 else ("and", terms)

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
            if len(items) > MAX_IN_LIST:
                raise _ora(1795, "maximum number of expressions in a list is "
                                 "%d" % MAX_IN_LIST)
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


def parse(statement):
    """The tree of a statement and the names of its binds, in the order of
    their first use."""
    if _PLSQL_RE.match(statement):
        raise _unsupported("PL/SQL blocks")
    p = _Parser(statement)
    try:
        tree = p.parse_statement()
    except RecursionError:
        raise _unsupported("parentheses or expressions nested this deeply") \
            from None
    return tree, tuple(p.binds)
