"""conn_to_Oracle of velmora.fetching: where the configuration comes from,
the URL it builds, and how it fails."""
import configparser

import pytest

import qzdb.sample
import velmora.fetching as fetching
from helpers import SECTION, conf_text, oracle_options, quietly

ERROR = "连接数据库时发生错误，"
MISSING = "数据库配置文件不存在或缺少配置项，请检查并配置 default.conf"


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")


@pytest.fixture
def home_conf(dirs):
    return dirs.home / ".velmo" / "default.conf"


@pytest.fixture
def work_conf(dirs):
    return dirs.work / "default.conf"


def connect(db=SECTION):
    return quietly(fetching.conn_to_Oracle, db)


@pytest.mark.usefixtures("qz_cx_oracle")
class TestSources:
    @pytest.mark.parametrize("where", ["work", "home"])
    def test_either_location_alone(self, where, work_conf, home_conf, qz_sample_path):
        write(work_conf if where == "work" else home_conf, conf_text(**oracle_options(qz_sample_path)))
        engine, lines = connect()
        assert lines == ["localhost connected..."]
        assert engine.url.password == qzdb.sample.DEFAULT_PASSWORD
        stations, _, _ = fetching.timeseries_info(engine)  # the stand-in accepted the credentials
        assert len(stations) > 0

    def test_home_file_overrides_the_working_directory(self, work_conf, home_conf, qz_sample_path):
        full = oracle_options(qz_sample_path)
        write(work_conf, conf_text(HOST="db.example", PORT="1000"))
        write(home_conf, conf_text(PORT="1521", USERNAME=full["USERNAME"], PASSWORD=full["PASSWORD"],
                                   TNSNAME=full["TNSNAME"]))
        engine, lines = connect()
        assert (engine.url.host, engine.url.port, engine.url.username, engine.url.database) == (
            "db.example", 1521, qzdb.sample.DEFAULT_USER, full["TNSNAME"])
        assert lines == ["db.example connected..."]

    def test_lower_case_options_and_the_default_section(self, work_conf, qz_sample_path):
        options = {k.lower(): v for k, v in oracle_options(qz_sample_path).items()}
        write(work_conf, conf_text("DEFAULT", **options) + "[other]\n")
        engine, lines = connect("DEFAULT")
        assert engine is not None and lines == ["localhost connected..."]
        engine, _ = connect("other")  # inherits every option
        assert engine.url.host == "localhost"

    @pytest.mark.parametrize("password", ["p@ss/w:rd", "with blank", "per%%cent", "ü密码+x", "a%%40b"])
    def test_passwords_reach_the_driver_unchanged(self, work_conf, qz_sample_path, password):
        write(work_conf, conf_text(**oracle_options(qz_sample_path, PASSWORD=password)))
        engine, lines = connect()
        assert engine.url.password == password.replace("%%", "%")
        assert all(password.replace("%%", "%") not in line for line in lines)


class TestFailures:
    def test_no_configuration(self, work_conf, home_conf):
        assert connect() == (None, [MISSING, f"no section 'qz': no file could be read (looked for {work_conf} "
                                              f"and {home_conf})"])

    def test_no_such_section_names_the_files_read_and_a_section_of_another_case(self, work_conf, home_conf):
        write(work_conf, conf_text("other", HOST="h"))
        assert connect() == (None, [MISSING, f"no section 'qz' in {work_conf}; sections there: 'other'"])
        write(home_conf, conf_text("Qz", HOST="h") + "[QZ]\n")
        assert connect("qz") == (None, [MISSING, f"no section 'qz' in {work_conf}, {home_conf}; there is 'Qz', "
                                                 "'QZ' (section names are case-sensitive)"])

    def test_bisource_names_the_same_in_a_note_of_its_key_error(self, work_conf):
        import velmora.bisource as bisource

        write(work_conf, conf_text("Sample", HOST="h"))
        for function in (bisource.conn_to_Oracle, bisource.conn_to_MySQL):
            with pytest.raises(KeyError) as raised:
                function("sample")
            assert raised.value.args == ("sample",)
            assert raised.value.__notes__ == [f"no section 'sample' in {work_conf}; there is 'Sample' (section "
                                              "names are case-sensitive)"]
        work_conf.unlink()
        with pytest.raises(KeyError) as raised:
            bisource.conn_to_MySQL("sample")
        assert raised.value.__notes__ == [f"no section 'sample': no file could be read (looked for {work_conf})"]
        write(work_conf, conf_text("sample", HOST="h"))
        with pytest.raises(KeyError) as raised:  # a missing option has no note
            bisource.conn_to_MySQL("sample")
        assert raised.value.args == ("TNSNAME",) and not hasattr(raised.value, "__notes__")

    def test_missing_option(self, work_conf):
        write(work_conf, conf_text(HOST="h", PORT="1", USERNAME="u", TNSNAME="t"))
        assert connect() == (None, [f"{ERROR} No option 'password' in section: '{SECTION}'"])

    @pytest.mark.parametrize("password", ["secret%zz", "secret%(nothing)s"])
    def test_broken_interpolation_never_shows_the_password(self, work_conf, password):
        write(work_conf, conf_text(HOST="h", PORT="1", USERNAME="u", PASSWORD=password, TNSNAME="t"))
        engine, lines = connect()
        assert engine is None
        assert len(lines) == 1 and lines[0].startswith(ERROR + " ")
        assert "secret" not in lines[0] and "%zz" not in lines[0]

    def test_non_numeric_port(self, work_conf, qz_cx_oracle):
        write(work_conf, conf_text(HOST="h", PORT="abc", USERNAME="u", PASSWORD="pw", TNSNAME="t"))
        engine, lines = connect()
        assert engine is None and lines[0].startswith(ERROR + " ")

    def test_errors_naming_the_url_hide_the_password(self, work_conf, monkeypatch):
        def refuse(url, **kwargs):
            raise RuntimeError(f"cannot use {url}")

        monkeypatch.setattr(fetching, "create_engine", refuse)
        write(work_conf, conf_text(HOST="h", PORT="1", USERNAME="u", PASSWORD="s3cr@t x", TNSNAME="t"))
        assert connect() == (None, [f"{ERROR} cannot use oracle+cx_oracle://u:***@h:1/t"])

    def test_unparsable_file_raises_and_prints_nothing(self, work_conf, capsys):
        write(work_conf, "HOST = h\n[qz]\n")
        with pytest.raises(configparser.MissingSectionHeaderError):
            fetching.conn_to_Oracle(SECTION)
        write(work_conf, "[qz]\nHOST = a\nHOST = b\n")
        with pytest.raises(configparser.DuplicateOptionError):
            fetching.conn_to_Oracle(SECTION)
        assert capsys.readouterr().out == ""

    def test_keyboard_interrupt_is_not_caught(self, work_conf, monkeypatch):
        def interrupt(url, **kwargs):
            raise KeyboardInterrupt

        monkeypatch.setattr(fetching, "create_engine", interrupt)
        write(work_conf, conf_text(HOST="h", PORT="1", USERNAME="u", PASSWORD="p", TNSNAME="t"))
        with pytest.raises(KeyboardInterrupt):
            connect()

    def test_wrong_password_is_found_at_the_first_query(self, work_conf, qz_sample_path, qz_cx_oracle):
        write(work_conf, conf_text(**oracle_options(qz_sample_path, PASSWORD="wrong")))
        engine, lines = connect()
        assert lines == ["localhost connected..."]
        with pytest.raises(Exception, match="ORA-01017"):
            fetching.timeseries_info(engine)
