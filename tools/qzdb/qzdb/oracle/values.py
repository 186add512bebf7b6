"""Oracle's semantics of values, for the translator and for the translated
statements (each function here is registered with SQLite as ``QZ_<NAME>``).

Text compared with or used as a number is converted as Oracle converts it
(ORA-01722 when it is not a number); empty text is NULL; ``||`` takes NULL as
empty text; dates are stored as text 'YYYY-MM-DD HH:MM:SS' and computed to
the second.
"""

from __future__ import annotations

import calendar
import datetime as _dt
import decimal
import functools
import re

from .errors import _ora, _OraFailure, _unsupported


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


def _concat(*parts):
    """``a || b || ...``: a NULL operand counts as empty text; empty text is
    NULL."""
    out = "".join(_as_text(p) or "" for p in parts)
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


_ANY_ONE = object()  # "_" in a LIKE pattern


@functools.lru_cache(maxsize=512)
def _like_segments(pattern, escape):
    """The pattern split at its ``%``: a tuple of segments, each a tuple of
    characters and _ANY_ONE."""
    segments = [[]]
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
            segments[-1].append(pattern[i + 1])
            i += 2
            continue
        if c == "%":
            segments.append([])
        elif c == "_":
            segments[-1].append(_ANY_ONE)
        else:
            segments[-1].append(c)
        i += 1
    return tuple(tuple(seg) for seg in segments)


def _segment_at(value, pos, segment):
    if pos + len(segment) > len(value):
        return False
    for k, c in enumerate(segment):
        if c is not _ANY_ONE and value[pos + k] != c:
            return False
    return True


def _like_match(value, segments):
    """Whether value matches: the first segment at the start, the last at
    the end, the others in order between them, each as far left as it goes
    (which finds a match whenever there is one, without backtracking)."""
    if len(segments) == 1:
        return len(value) == len(segments[0]) and _segment_at(
            value, 0, segments[0])
    first, last = segments[0], segments[-1]
    if len(first) + len(last) > len(value):
        return False
    if not _segment_at(value, 0, first) or not _segment_at(
            value, len(value) - len(last), last):
        return False
    pos, end = len(first), len(value) - len(last)
    for segment in segments[1:-1]:
        while pos + len(segment) <= end and not _segment_at(value, pos,
                                                            segment):
            pos += 1
        if pos + len(segment) > end:
            return False
        pos += len(segment)
    return True


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
    return 1 if _like_match(value, _like_segments(pattern, escape)) else 0


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


def _row(*args):
    """``QZ_ROW(e1, ..., en, condition)``: the condition's value.

    SQLite computes every argument of a function before calling it, so each
    ``e`` is evaluated for the row even when the condition is decided without
    it (SQLite's AND and OR stop at the first operand that decides them;
    Oracle promises no order and no such shortcut, so a conversion that can
    fail must be tried on every row the statement visits).
    """
    return args[-1]
