"""The driver surface of qzdb.oracle: module attributes, type objects,
makedsn and connect, cursors, output type handlers, LOBs, binds, errors."""

import datetime
import gzip
import sqlite3

import pytest

from qzdb import oracle, sample


def fetch(cur, sql, params=None):
    cur.execute(sql, params) if params is not None else cur.execute(sql)
    return cur.fetchall()


class TestModule:
    @pytest.mark.parametrize(
        "name, expected",
        [("version", "8.3.0"), ("paramstyle", "named"), ("apilevel", "2.0"),
         ("threadsafety", 2)],
    )
    def test_attributes(self, name, expected):
        assert getattr(oracle, name) == expected

    @pytest.mark.parametrize(
        "name, base",
        [("Warning", Exception), ("Error", Exception),
         ("InterfaceError", oracle.Error), ("DatabaseError", oracle.Error),
         ("DataError", oracle.DatabaseError),
         ("OperationalError", oracle.DatabaseError),
         ("IntegrityError", oracle.DatabaseError),
         ("InternalError", oracle.DatabaseError),
         ("ProgrammingError", oracle.DatabaseError),
         ("NotSupportedError", oracle.DatabaseError)],
    )
    def test_exception_hierarchy(self, name, base):
        cls = getattr(oracle, name)
        assert issubclass(cls, base)
        assert getattr(oracle.Connection, name) is cls

    @pytest.mark.parametrize(
        "name",
        ["DATETIME", "NCLOB", "CLOB", "LOB", "NCHAR", "FIXED_NCHAR", "BLOB",
         "FIXED_CHAR", "TIMESTAMP", "NUMBER", "NATIVE_FLOAT", "STRING",
         "LONG_STRING", "LONG_BINARY", "BINARY", "ROWID", "NATIVE_INT"],
    )
    def test_type_constants_are_hashable(self, name):
        value = getattr(oracle, name)
        assert value in {value}

    @pytest.mark.parametrize(
        "left, right, equal",
        [("STRING", "DB_TYPE_VARCHAR", True), ("STRING", "DB_TYPE_CHAR", True),
         ("STRING", "DB_TYPE_LONG", True), ("STRING", "DB_TYPE_CLOB", False),
         ("NUMBER", "DB_TYPE_NUMBER", True), ("NUMBER", "NATIVE_FLOAT", True),
         ("NUMBER", "DB_TYPE_VARCHAR", False),
         ("DATETIME", "DB_TYPE_DATE", True),
         ("DATETIME", "DB_TYPE_TIMESTAMP", True),
         ("BINARY", "LONG_BINARY", True), ("BINARY", "DB_TYPE_BLOB", False),
         ("CLOB", "DB_TYPE_CLOB", True), ("CLOB", "DB_TYPE_NCLOB", False)],
    )
    def test_type_object_equality(self, left, right, equal):
        a, b = getattr(oracle, left), getattr(oracle, right)
        assert (a == b) is equal
        assert (b == a) is equal

    def test_future_takes_attributes(self):
        oracle.__future__.dml_ret_array_val = True
        assert oracle.__future__.dml_ret_array_val is True


class TestMakedsn:
    @pytest.mark.parametrize(
        "args, kwargs, expected",
        [
            (("h", 1521, "QZDB"), {},
             "(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=h)(PORT=1521))"
             "(CONNECT_DATA=(SID=QZDB)))"),
            (("h", 1521), {"sid": "db"},
             "(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=h)(PORT=1521))"
             "(CONNECT_DATA=(SID=db)))"),
            (("h", "1522"), {"service_name": "svc"},
             "(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=h)(PORT=1522))"
             "(CONNECT_DATA=(SERVICE_NAME=svc)))"),
        ],
    )
    def test_descriptor(self, args, kwargs, expected):
        assert oracle.makedsn(*args, **kwargs) == expected

    @pytest.mark.parametrize("sid", ["a(b", "a)b", "a=b"])
    def test_rejects_descriptor_characters(self, sid):
        with pytest.raises(oracle.ProgrammingError):
            oracle.makedsn("h", 1521, sid)


class TestConnect:
    @pytest.mark.parametrize(
        "make_dsn",
        [lambda p: oracle.makedsn("localhost", 1521, sample.DEFAULT_SID),
         lambda p: oracle.makedsn("localhost", 1521, sid=sample.DEFAULT_SID),
         lambda p: oracle.makedsn("localhost", 1521,
                                  service_name=sample.DEFAULT_SERVICE_NAME),
         lambda p: "db.example:1521/" + sample.DEFAULT_SERVICE_NAME,
         lambda p: "db.example/" + sample.DEFAULT_SERVICE_NAME,
         lambda p: p],
        ids=["positional-sid", "sid-keyword", "service-name", "easy-connect",
             "easy-connect-without-port", "plain-path"],
    )
    def test_dsn_forms(self, qz_sample_path, make_dsn):
        conn = oracle.connect(user=sample.DEFAULT_USER,
                              password=sample.DEFAULT_PASSWORD,
                              dsn=make_dsn(qz_sample_path))
        with conn.cursor() as cur:
            assert fetch(cur, "SELECT DUMMY FROM DUAL") == [("X",)]
        assert conn.version == "19.0.0.0.0"
        conn.close()

    def test_user_name_is_case_insensitive(self, qz_sample_path):
        conn = oracle.connect(sample.DEFAULT_USER.upper(),
                              sample.DEFAULT_PASSWORD, qz_sample_path)
        conn.close()

    @pytest.mark.parametrize(
        "user, password",
        [(sample.DEFAULT_USER, "wrong"),
         (sample.DEFAULT_USER, sample.DEFAULT_PASSWORD.upper()),
         ("someone", sample.DEFAULT_PASSWORD),
         (None, None), (sample.DEFAULT_USER, None)],
    )
    def test_bad_credentials(self, qz_sample_path, user, password):
        with pytest.raises(oracle.DatabaseError) as info:
            oracle.connect(user=user, password=password, dsn=qz_sample_path)
        assert str(info.value).startswith(
            "ORA-01017: invalid username/password; logon denied")
        assert info.value.args[0].code == 1017

    def test_password_has_url_characters(self):
        for c in "@/:% ":
            assert c in sample.DEFAULT_PASSWORD

    def test_missing_database(self, tmp_path):
        # neither a descriptor, nor easy connect text, nor an existing file
        with pytest.raises(oracle.DatabaseError, match="^ORA-12154"):
            oracle.connect("u", "p", str(tmp_path / "nothing.sqlite"))

    def test_not_a_database(self, tmp_path):
        path = tmp_path / "text.sqlite"
        path.write_text("this is not SQLite " * 100)
        with pytest.raises(oracle.DatabaseError, match="^ORA-01034"):
            oracle.connect("u", "p", str(path))

    def test_no_dsn(self):
        with pytest.raises(oracle.DatabaseError, match="^ORA-12162"):
            oracle.connect("u", "p")

    def test_file_without_users_accepts_anyone(self, tmp_path):
        path = tmp_path / "plain.sqlite"
        db = sqlite3.connect(path)
        db.execute('CREATE TABLE "T" ("A" VARCHAR2(4))')
        db.execute("INSERT INTO \"T\" VALUES ('x')")
        db.commit()
        db.close()
        conn = oracle.connect("anyone", "anything", str(path))
        with conn.cursor() as cur:
            assert fetch(cur, "SELECT A FROM QZDATA.T") == [("x",)]
            # the current schema is the user's, so QZDATA needs its prefix
            with pytest.raises(oracle.DatabaseError, match="^ORA-00942"):
                cur.execute("SELECT A FROM T")
            assert fetch(
                cur, "select sys_context( 'userenv', 'current_schema' ) from dual"
            ) == [("ANYONE",)]
        conn.close()

    def test_closed_connection(self, qz_sample_path):
        conn = oracle.connect(sample.DEFAULT_USER, sample.DEFAULT_PASSWORD,
                              qz_sample_path)
        cur = conn.cursor()
        conn.close()
        for action in (conn.cursor, conn.commit, lambda: conn.version,
                       lambda: cur.execute("SELECT 1 FROM DUAL")):
            with pytest.raises(oracle.InterfaceError, match="not connected"):
                action()

    def test_context_manager_closes(self, qz_sample_path):
        with oracle.connect(sample.DEFAULT_USER, sample.DEFAULT_PASSWORD,
                            qz_sample_path) as conn:
            conn.ping()
        with pytest.raises(oracle.InterfaceError):
            conn.ping()

    def test_read_only(self, cursor):
        with pytest.raises(oracle.DatabaseError, match="^QZDB-00001"):
            cursor.execute("INSERT INTO QZDATA.QZ_DICT_ITEMS VALUES ('1','2','3')")


class TestErrors:
    def test_single_argument_with_code(self, cursor):
        with pytest.raises(oracle.DatabaseError) as info:
            cursor.execute("SELECT * FROM QZDATA.NO_SUCH_TABLE")
        (error,) = info.value.args
        assert error.code == 942
        assert error.message == str(info.value) == str(error)
        assert str(error).startswith("ORA-00942: table or view does not exist")
        assert "SELECT * FROM QZDATA.NO_SUCH_TABLE" in str(error)

    def test_failed_statement_leaves_no_result(self, cursor):
        cursor.execute("SELECT 1 FROM DUAL")
        with pytest.raises(oracle.DatabaseError):
            cursor.execute("SELECT * FROM QZDATA.NO_SUCH_TABLE")
        assert cursor.description is None
        with pytest.raises(oracle.InterfaceError, match="not a query"):
            cursor.fetchall()


class TestCursor:
    def test_description_of_select_star(self, cursor):
        cursor.execute("SELECT * FROM QZDATA.QZ_411_DYU_90")
        names = [d[0] for d in cursor.description]
        assert names == ["STATIONID", "POINTID", "ITEMID", "STARTDATE",
                         "OBSVALUE", "UNIT"]
        types = [d[1] for d in cursor.description]
        assert types == [oracle.DB_TYPE_VARCHAR] * 3 + [
            oracle.DB_TYPE_DATE, oracle.DB_TYPE_CLOB, oracle.DB_TYPE_VARCHAR]
        assert cursor.description[0][2] == 8

    def test_values_without_handler(self, cursor, raw_db):
        rows = fetch(cursor, "SELECT * FROM QZDATA.QZ_411_DYU_90")
        expected = raw_db.execute('SELECT * FROM "QZ_411_DYU_90"').fetchall()
        assert len(rows) == len(expected) > 0
        for got, want in zip(rows, expected):
            assert got[:3] == want[:3]
            assert got[3] == datetime.datetime.fromisoformat(want[3])
            assert isinstance(got[4], oracle.LOB)
            assert got[4].type is oracle.DB_TYPE_CLOB
            assert got[4].read() == want[4]
            assert got[5] == want[5]

    def test_blob_values(self, cursor, raw_db):
        rows = fetch(cursor, "SELECT OBSVALUE FROM QZDATA.QZ_312_DYS_02")
        expected = [r[0] for r in raw_db.execute(
            'SELECT OBSVALUE FROM "QZ_312_DYS_02"')]
        assert [r[0].read() for r in rows] == expected
        text = gzip.decompress(rows[0][0].read()).decode()
        assert text == "NULLALL" or len(text.split(" ")) == 86400

    @pytest.mark.parametrize(
        "offset, amount, expected",
        [(1, None, "abcdef"), (1, 2, "ab"), (3, None, "cdef"), (6, 5, "f"),
         (7, None, "")],
    )
    def test_lob_read(self, offset, amount, expected):
        lob = oracle.LOB(oracle.DB_TYPE_CLOB, "abcdef")
        assert lob.read(offset, amount) == expected
        assert lob.size() == 6

    def test_lob_is_read_only(self):
        lob = oracle.LOB(oracle.DB_TYPE_BLOB, b"xy")
        with pytest.raises(oracle.NotSupportedError):
            lob.write(b"z")

    def test_fetch_styles(self, cursor):
        sql = "SELECT STATIONID FROM QZDATA.QZ_DICT_STATIONS"
        everything = fetch(cursor, sql)
        cursor.execute(sql)
        first = cursor.fetchone()
        two = cursor.fetchmany(2)
        rest = cursor.fetchall()
        assert [first] + two + rest == everything
        assert cursor.fetchone() is None
        assert cursor.rowcount == len(everything)
        cursor.execute(sql)
        assert list(cursor) == everything

    def test_execute_returns_cursor(self, cursor):
        assert cursor.execute("SELECT 1 FROM DUAL") is cursor

    def test_closed_cursor(self, ora_conn):
        cur = ora_conn.cursor()
        cur.close()
        with pytest.raises(oracle.InterfaceError):
            cur.execute("SELECT 1 FROM DUAL")

    def test_rowfactory(self, cursor):
        cursor.execute("SELECT DUMMY FROM DUAL")
        cursor.rowfactory = lambda *row: list(row)
        assert cursor.fetchall() == [["X"]]


class TestOutputTypeHandler:
    @pytest.mark.parametrize(
        "sql, var_type, expected",
        [("SELECT 1.1 FROM DUAL", "STRING", "1.1"),
         ("SELECT 0.5 FROM DUAL", "STRING", ".5"),
         ("SELECT -2 FROM DUAL", "STRING", "-2"),
         ("SELECT 1.1 FROM DUAL", "NATIVE_FLOAT", 1.1),
         ("SELECT 7 FROM DUAL", "NUMBER", 7),
         ("SELECT TO_DATE('20090105','yyyymmdd') FROM DUAL", "STRING",
          "05-JAN-09"),
         ("SELECT TO_DATE('20090105','yyyymmdd') FROM DUAL", "DATETIME",
          datetime.datetime(2009, 1, 5))],
    )
    def test_cursor_handler(self, cursor, sql, var_type, expected):
        seen = []

        def handler(cur, name, default_type, size, precision, scale):
            seen.append((name, default_type))
            return cur.var(getattr(oracle, var_type), 255,
                           arraysize=cur.arraysize)

        cursor.outputtypehandler = handler
        value = fetch(cursor, sql)[0][0]
        assert value == expected and type(value) is type(expected)
        assert len(seen) == 1

    def test_number_without_handler(self, cursor):
        assert fetch(cursor, "SELECT 1.1 FROM DUAL") == [(1.1,)]
        assert fetch(cursor, "SELECT 3 FROM DUAL") == [(3,)]
        assert cursor.description[0][1:] == (
            oracle.DB_TYPE_NUMBER, 127, None, 0, -127, 1)

    @pytest.mark.parametrize(
        "table, var_type, python_type",
        [("QZ_411_DYU_90", "LONG_STRING", str),
         ("QZ_312_DYS_02", "LONG_BINARY", bytes)],
    )
    def test_lob_columns_fetched_as_values(self, ora_conn, raw_db, table,
                                           var_type, python_type):
        def handler(cur, name, default_type, size, precision, scale):
            if default_type in (oracle.CLOB, oracle.BLOB):
                return cur.var(getattr(oracle, var_type), size, cur.arraysize)
            return None

        ora_conn.outputtypehandler = handler
        try:
            with ora_conn.cursor() as cur:
                rows = fetch(cur, "SELECT OBSVALUE FROM QZDATA.%s" % table)
        finally:
            ora_conn.outputtypehandler = None
        expected = [r[0] for r in raw_db.execute(
            'SELECT OBSVALUE FROM "%s"' % table)]
        assert [r[0] for r in rows] == expected
        assert all(type(r[0]) is python_type for r in rows)

    def test_outconverter(self, cursor):
        cursor.outputtypehandler = lambda cur, *a: cur.var(
            oracle.STRING, 255, cur.arraysize, outconverter=lambda v: v + "!")
        assert fetch(cursor, "SELECT DUMMY, NULL FROM DUAL") == [("X!", None)]

    def test_cursor_handler_overrides_connection_handler(self, ora_conn):
        ora_conn.outputtypehandler = lambda cur, *a: cur.var(
            str, 10, cur.arraysize, outconverter=lambda v: "conn")
        try:
            with ora_conn.cursor() as cur:
                assert fetch(cur, "SELECT DUMMY FROM DUAL") == [("conn",)]
                cur.outputtypehandler = lambda c, *a: None
                assert fetch(cur, "SELECT DUMMY FROM DUAL") == [("X",)]
        finally:
            ora_conn.outputtypehandler = None

    def test_handler_must_return_a_variable(self, cursor):
        cursor.outputtypehandler = lambda *a: "not a variable"
        with pytest.raises(TypeError, match="expecting variable"):
            cursor.execute("SELECT DUMMY FROM DUAL")


class TestBinds:
    SQL = ("SELECT METHODID FROM QZDATA.QZ_DICT_METHODS "
           "WHERE METHODNAME LIKE '%' || :methodname || '%'")

    @pytest.mark.parametrize(
        "params",
        [{"methodname": "水位"}, {"METHODNAME": "水位"}, ["水位"], ("水位",)],
        ids=["dict", "upper-case key", "list", "tuple"],
    )
    def test_forms(self, cursor, params):
        assert fetch(cursor, self.SQL, params) == [("411",)]

    def test_keyword_parameters(self, cursor):
        cursor.execute(self.SQL, methodname="水位")
        assert cursor.fetchall() == [("411",)]

    @pytest.mark.parametrize(
        "params, code",
        [({}, "ORA-01008"), (None, "ORA-01008"),
         ({"methodname": "x", "other": 1}, "ORA-01036"),
         (["a", "b"], "ORA-01036")],
    )
    def test_mismatch(self, cursor, params, code):
        with pytest.raises(oracle.DatabaseError, match="^" + code):
            cursor.execute(self.SQL, params)

    def test_empty_text_is_null(self, cursor):
        # '%' || NULL || '%' is '%%', which matches every name
        assert len(fetch(cursor, self.SQL, {"methodname": ""})) == len(
            sample.METHODS)


class TestStatementLog:
    def test_records_every_execute(self, cursor, qz_statement_log):
        cursor.execute("SELECT 1 FROM DUAL")
        params = {"methodname": "水位"}
        cursor.execute(TestBinds.SQL, params)
        with pytest.raises(oracle.DatabaseError):
            cursor.execute("SELECT * FROM QZDATA.NOPE")
        assert qz_statement_log == [
            ("SELECT 1 FROM DUAL", None),
            (TestBinds.SQL, {"methodname": "水位"}),
            ("SELECT * FROM QZDATA.NOPE", None),
        ]
        params["methodname"] = "changed"
        assert qz_statement_log[1][1] == {"methodname": "水位"}

    def test_clear(self, cursor, qz_statement_log):
        cursor.execute("SELECT 1 FROM DUAL")
        oracle.statement_log.clear()
        assert qz_statement_log == []
