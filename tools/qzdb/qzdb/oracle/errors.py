"""The DB-API exception classes and the error values they carry.

As in cx_Oracle, every exception raised by the stand-in has one argument, an
:class:`_Error` whose ``code`` is the ORA number (0 for other prefixes) and
whose ``message`` is the full text ("ORA-00942: table or view does not
exist", followed by a line naming the statement when there is one).
"""

from __future__ import annotations


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


def _not_supported_error(what):
    """The exception for a driver call the stand-in does not offer."""
    return _exc(NotSupportedError, "QZDB", 1,
                "not supported by the qzdb Oracle stand-in: %s" % what)
