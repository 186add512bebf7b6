"""The sample QZDATA database: content, codes, determinism, scaling, CLI."""

import contextlib
import datetime
import gzip
import re
import subprocess
import sys

import pytest

from qzdb import sample

RATE_CODES = list(sample.RATES)
BASE_CODES = list(sample.BASES.values())
METHOD_CODES = [m for m, _ in sample.METHODS]


def rows(path, table):
    return list(sample.iter_rows(path, table))


def pieces(value):
    if isinstance(value, bytes):
        value = gzip.decompress(value).decode("utf-8")
    return value.split(" ")


class TestDictionaries:
    def test_stations(self, qz_sample_path):
        stations = dict(rows(qz_sample_path, "QZ_DICT_STATIONS"))
        # the requested stations, and the one whose code is not a number
        assert len(stations) == sample.DEFAULT_STATIONS + 1
        assert "郯城" in stations["37005"]
        assert [c for c, n in stations.items() if "郯城" in n] == ["37005"]
        assert "37008" in stations
        assert stations[sample.ODD_STATION] == sample.ODD_STATION_NAME

    @pytest.mark.parametrize("fragment, code", [("郯城", "37005"),
                                                ("莒县", "37004"),
                                                ("嘉祥", "37008"),
                                                ("梁山", "37008A")])
    def test_name_fragments_find_one_station(self, qz_sample_path, fragment,
                                             code):
        stations = rows(qz_sample_path, "QZ_DICT_STATIONS")
        assert [c for c, n in stations if fragment in n] == [code]

    @pytest.mark.parametrize("name, code", [("水位", "411"),
                                            ("直流单装置地电阻率", "321")])
    def test_methods(self, qz_sample_path, name, code):
        methods = rows(qz_sample_path, "QZ_DICT_METHODS")
        assert [m for m, n in methods if name in n] == [code]

    def test_items_belong_to_methods(self, qz_sample_path):
        items = rows(qz_sample_path, "QZ_DICT_ITEMS")
        methods = {m for m, _ in rows(qz_sample_path, "QZ_DICT_METHODS")}
        for item, name, unit in items:
            assert re.fullmatch(r"[234]\d{3}", item)
            assert item[:3] in methods
            assert name and unit
        assert {"3211", "3212"} <= {i for i, _, _ in items}

    @pytest.mark.parametrize("digit", ["2", "3", "4"])
    def test_every_discipline_has_station_items(self, qz_sample_path, digit):
        assert any(item.startswith(digit) for _, _, item in
                   rows(qz_sample_path, "QZ_DICT_STATIONITEMS"))

    def test_station_items_are_consistent(self, qz_sample_path):
        points = {(s, p) for s, p, _ in rows(qz_sample_path,
                                             "QZ_DICT_STATIONPOINTS")}
        items = {i for i, _, _ in rows(qz_sample_path, "QZ_DICT_ITEMS")}
        station_items = rows(qz_sample_path, "QZ_DICT_STATIONITEMS")
        assert {(s, p) for s, p, _ in station_items} == points
        assert {i for _, _, i in station_items} <= items
        assert {("37008", "2", "3211"), ("37008", "2", "3212"),
                ("37005", "h", "4112")} <= set(station_items)
        assert [i for s, p, i in station_items
                if s == "37005" and i.startswith("411")] == ["4112"]

    def test_all_codes_are_text(self, qz_sample_path):
        for table in sample.DICTIONARY_TABLES:
            for row in rows(qz_sample_path, table):
                assert all(isinstance(v, str) for v in row)


class TestCodes:
    @pytest.mark.parametrize("table", sample.OBSERVATION_TABLES,
                             ids=lambda t: t.name)
    def test_name_carries_its_codes(self, table):
        assert table.name.startswith("QZ_")
        for code in (table.base, table.rate, table.method):
            assert code in table.name
        assert ("_DEV_" in table.name) == table.dev

    @pytest.mark.parametrize(
        "base, rate, method",
        [(b, r, m) for b in BASE_CODES for r in RATE_CODES for m in METHOD_CODES])
    def test_substring_search_finds_only_the_designed_tables(self, base, rate,
                                                             method):
        names = [t.name for t in sample.OBSERVATION_TABLES] + [
            n for n, _ in sample.LOG_TABLES] + list(sample.DICTIONARY_TABLES)
        found = [n for n in names if base in n and rate in n and method in n]
        assert found == [t.name for t in sample.OBSERVATION_TABLES
                         if (t.base, t.rate, t.method) == (base, rate, method)]

    @pytest.mark.parametrize("method", METHOD_CODES)
    def test_method_codes_avoid_rate_codes(self, method):
        assert not any(rate in method for rate in RATE_CODES)

    def test_special_tables(self):
        assert [t.name for t in sample.OBSERVATION_TABLES if t.gzip] == [
            sample.GZIP_TABLE]
        assert [t.name for t in sample.OBSERVATION_TABLES if t.dev] == [
            sample.DEV_TABLE]
        assert all("DLG" in n and m in n for n, m in sample.LOG_TABLES)


class TestObservations:
    @pytest.mark.parametrize("table", sample.OBSERVATION_TABLES,
                             ids=lambda t: t.name)
    def test_packed_rows(self, qz_sample_path, table):
        n = sample.RATES[table.rate][0]
        data = rows(qz_sample_path, table.name)
        assert data
        columns = [c.name for c in next(
            t for t in sample.read_tables(qz_sample_path)
            if t.name == table.name).columns]
        assert columns == ["STATIONID", "POINTID", "ITEMID", "STARTDATE",
                           "OBSVALUE", "UNIT"]
        for station, point, item, start, value, unit in data:
            assert item[:3] == table.method
            assert start.time() == datetime.time(0)
            assert isinstance(value, bytes if table.gzip else str)
            parts = pieces(value)
            if parts == [sample.EMPTY_ROW]:
                continue
            assert len(parts) == n
            for p in parts:
                if p not in sample.MISSING_MARKERS:
                    float(p)
                    assert "99999" not in p
        keys = [(r[0], r[1], r[2], r[3]) for r in data]
        assert len(keys) == len(set(keys))

    def test_placeholders_occur(self, qz_sample_path):
        seen = set()
        for table in sample.OBSERVATION_TABLES:
            for row in rows(qz_sample_path, table.name):
                parts = pieces(row[4])
                seen.update(p for p in parts if p in sample.MISSING_MARKERS
                            or p == sample.EMPTY_ROW)
        assert seen == set(sample.MISSING_MARKERS) | {sample.EMPTY_ROW}

    def test_second_tables_are_limited(self, qz_sample_path):
        for name in ("QZ_312_DYU_02", sample.GZIP_TABLE):
            data = rows(qz_sample_path, name)
            assert len({r[0] for r in data}) == sample.DEFAULT_SECOND_STATIONS
            assert len({r[3] for r in data}) == sample.DEFAULT_SECOND_DAYS

    def test_dev_table_differs(self, qz_sample_path):
        dev = {r[:4]: r[4] for r in rows(qz_sample_path, sample.DEV_TABLE)}
        dyu = {r[:4]: r[4] for r in rows(qz_sample_path, "QZ_321_DYU_60")
               if r[0] != sample.ODD_STATION}
        assert dev.keys() == dyu.keys()
        assert all(dev[k] != dyu[k] for k in dev)

    def test_low_resistivity_at_37008(self, qz_sample_path):
        values = [float(p) for s, pt, item, _, v, _ in
                  rows(qz_sample_path, "QZ_321_DYU_60")
                  if s == "37008" and pt == "2" and item in ("3211", "3212")
                  for p in v.split(" ") if p not in sample.MISSING_MARKERS
                  and v != sample.EMPTY_ROW]
        assert min(values) < 8 <= max(values)

    def test_water_level_series(self, qz_sample_path):
        data = [r for r in rows(qz_sample_path, sample.WATER_LEVEL_TABLE)
                if r[0] == sample.WATER_LEVEL_STATION]
        assert {(r[1], r[2]) for r in data} == {
            (sample.WATER_LEVEL_POINT, sample.WATER_LEVEL_ITEM)}
        first = datetime.datetime.combine(sample.DEFAULT_START, datetime.time())
        offsets = [(r[3] - first).days for r in data]
        missing = sorted(set(range(sample.DEFAULT_DAYS)) - set(offsets))
        assert missing == list(sample.WATER_LEVEL_MISSING_DAY_OFFSETS)
        assert offsets[0] == 0 and offsets[-1] == sample.DEFAULT_DAYS - 1
        for r in data:
            float(r[4])


class TestLogs:
    @pytest.mark.parametrize("name, method", sample.LOG_TABLES)
    def test_log_rows(self, qz_sample_path, name, method):
        data = rows(qz_sample_path, name)
        columns = [c.name for c in next(
            t for t in sample.read_tables(qz_sample_path)
            if t.name == name).columns]
        assert columns[:4] == ["STATIONID", "POINTID", "ITEMID", "STARTDATE"]
        assert "EVTID" in columns and "NOTE" in columns
        evt = columns.index("EVTID")
        note = columns.index("NOTE")
        assert "313" in {r[evt] for r in data}
        assert len({r[evt] for r in data}) > 1
        for r in data:
            assert r[2][:3] == method
            assert r[evt] in sample.EVENT_TYPES
            assert re.search(r"[\u4e00-\u9fff]", r[note])


class TestBuild:
    def test_deterministic(self, tmp_path):
        a, b, c = (tmp_path / n for n in ("a.sqlite", "b.sqlite", "c.sqlite"))
        kwargs = dict(stations=3, days=3, second_stations=1, second_days=1)
        sample.build(a, seed=7, **kwargs)
        sample.build(b, seed=7, **kwargs)
        sample.build(c, seed=8, **kwargs)
        names = [t.name for t in sample.read_tables(a)]
        assert names == [t.name for t in sample.read_tables(b)]
        assert all(rows(a, n) == rows(b, n) for n in names)
        assert any(rows(a, n) != rows(c, n) for n in names)

    def test_scales(self, tmp_path):
        path = tmp_path / "big.sqlite"
        sample.build(path, stations=20, days=2, second_stations=5,
                     second_days=1)
        assert len(rows(path, "QZ_DICT_STATIONS")) == 20 + 1
        assert len({r[0] for r in rows(path, "QZ_412_DYU_01")}) == 20
        second = rows(path, "QZ_312_DYU_02")
        assert len({r[0] for r in second}) == 5
        assert len(second) == 5 * 3

    @pytest.mark.parametrize(
        "kwargs, message",
        [({"stations": 1}, "stations must be between 2 and 2000"),
         ({"stations": 2001}, "stations must be between 2 and 2000"),
         ({"days": 0}, "days must be between"),
         ({"days": 1.5}, "days must be an integer"),
         ({"second_stations": 7}, "second_stations must be between 1 and 6"),
         ({"second_days": 40}, "second_days must be between 1 and 31"),
         ({"start": "2009-13-01"}, "start must be a date"),
         ({"seed": -1}, "seed must be between")],
    )
    def test_bad_arguments(self, tmp_path, kwargs, message):
        with pytest.raises(ValueError, match=re.escape(message)):
            sample.build(tmp_path / "x.sqlite", **kwargs)
        assert not (tmp_path / "x.sqlite").exists()

    def test_refuses_to_overwrite(self, tmp_path):
        path = tmp_path / "x.sqlite"
        path.write_bytes(b"keep")
        with pytest.raises(FileExistsError):
            sample.build(path, stations=2, days=1, second_stations=1,
                         second_days=1)
        assert path.read_bytes() == b"keep"
        sample.build(path, stations=2, days=1, second_stations=1,
                     second_days=1, overwrite=True)
        assert rows(path, "QZ_DICT_METHODS")

    def test_start(self, tmp_path):
        path = tmp_path / "x.sqlite"
        sample.build(path, stations=2, days=2, start="20201231",
                     second_stations=1, second_days=1)
        dates = {r[3] for r in rows(path, "QZ_412_DYU_90")}
        assert dates == {datetime.datetime(2020, 12, 31),
                         datetime.datetime(2021, 1, 1)}


class TestCommandLine:
    def run(self, *args):
        return subprocess.run([sys.executable, "-m", "qzdb.sample", *args],
                              capture_output=True, text=True)

    def test_writes_a_file(self, tmp_path):
        path = tmp_path / "cli.sqlite"
        done = self.run(str(path), "--stations", "2", "--days", "2",
                        "--second-stations", "1", "--second-days", "1",
                        "--seed", "3")
        assert done.returncode == 0, done.stderr
        # two stations asked for, and 37008A
        assert "3 stations, 2 days from 2009-01-01" in done.stdout
        expected = tmp_path / "api.sqlite"
        sample.build(expected, stations=2, days=2, second_stations=1,
                     second_days=1, seed=3)
        assert all(rows(path, t.name) == rows(expected, t.name)
                   for t in sample.read_tables(expected))

    def test_makes_the_folder_of_the_path(self, tmp_path):
        path = tmp_path / "out" / "deeper" / "cli.sqlite"
        done = self.run(str(path), "--stations", "2", "--days", "1",
                        "--second-stations", "1", "--second-days", "1")
        assert done.returncode == 0, done.stderr
        assert rows(path, "QZ_DICT_STATIONS")
        blocked = tmp_path / "a-file"
        blocked.write_bytes(b"")
        done = self.run(str(blocked / "x.sqlite"))
        assert done.returncode == 2 and "error:" in done.stderr

    @pytest.mark.parametrize(
        "args, message",
        [(["--days", "0"], "days must be between"),
         (["--start", "yesterday"], "start must be a date")],
    )
    def test_bad_arguments(self, tmp_path, args, message):
        done = self.run(str(tmp_path / "x.sqlite"), *args)
        assert done.returncode == 2
        assert message in done.stderr

    def test_existing_file_needs_force(self, tmp_path):
        path = tmp_path / "x.sqlite"
        path.write_bytes(b"keep")
        small = ["--stations", "2", "--days", "1", "--second-stations", "1",
                 "--second-days", "1"]
        done = self.run(str(path), *small)
        assert done.returncode == 2 and "exists" in done.stderr
        assert path.read_bytes() == b"keep"
        assert self.run(str(path), *small, "--force").returncode == 0


class TestOddStation:
    def test_dictionaries(self, qz_sample_path):
        odd = sample.ODD_STATION
        assert (odd, sample.ODD_STATION_NAME) in rows(qz_sample_path,
                                                      "QZ_DICT_STATIONS")
        points = [r for r in rows(qz_sample_path, "QZ_DICT_STATIONPOINTS")
                  if r[0] == odd]
        assert [r[:2] for r in points] == [(odd, sample.ODD_STATION_POINT)]
        items = [r for r in rows(qz_sample_path, "QZ_DICT_STATIONITEMS")
                 if r[0] == odd]
        assert items == [(odd, sample.ODD_STATION_POINT, i)
                         for i in sample.ODD_STATION_ITEMS]

    def test_code_is_no_number_but_starts_like_one(self):
        assert sample.ODD_STATION.startswith("37008")
        with pytest.raises(ValueError):
            float(sample.ODD_STATION)

    @pytest.mark.parametrize("fragment", ["郯城", "莒县", "嘉祥"])
    def test_name_holds_no_fragment_of_the_tests(self, fragment):
        assert fragment not in sample.ODD_STATION_NAME

    def test_rows_in_exactly_one_observation_table(self, qz_sample_path):
        holding = [t.name for t in sample.OBSERVATION_TABLES
                   if any(r[0] == sample.ODD_STATION
                          for r in rows(qz_sample_path, t.name))]
        assert holding == [sample.ODD_STATION_TABLE]
        data = rows(qz_sample_path, sample.ODD_STATION_TABLE)
        odd = [r for r in data if r[0] == sample.ODD_STATION]
        assert {(r[1], r[2]) for r in odd} == {
            (sample.ODD_STATION_POINT, i) for i in sample.ODD_STATION_ITEMS}
        assert len({r[3] for r in odd}) == sample.DEFAULT_DAYS
        assert any(r[0] == "37008" for r in data)

    def test_events_in_the_log(self, qz_sample_path):
        holding = [name for name, _ in sample.LOG_TABLES
                   if any(r[0] == sample.ODD_STATION
                          for r in rows(qz_sample_path, name))]
        assert holding == [sample.ODD_STATION_LOG]

    def test_in_a_small_sample_too(self, tmp_path):
        path = tmp_path / "small.sqlite"
        sample.build(path, stations=2, days=1, second_stations=1,
                     second_days=1)
        assert any(r[0] == sample.ODD_STATION
                   for r in rows(path, sample.ODD_STATION_LOG))
        assert any(r[0] == sample.ODD_STATION
                   for r in rows(path, sample.ODD_STATION_TABLE))


BACKUP_TABLES = list(sample.BACKUP_COPIES) + [sample.BACKUP_ONLY_TABLE.name]


class TestBackupSchema:
    def test_schemas(self, qz_sample_path):
        assert sample.schemas(qz_sample_path) == [sample.SCHEMA,
                                                  sample.BACKUP_SCHEMA]
        assert [t.name for t in sample.read_tables(
            qz_sample_path, sample.BACKUP_SCHEMA)] == BACKUP_TABLES
        assert not any(t.name.startswith("QZDB_")
                       for t in sample.read_tables(qz_sample_path))

    @pytest.mark.parametrize("table", sample.BACKUP_COPIES)
    def test_copies(self, qz_sample_path, table):
        copy = list(sample.iter_rows(qz_sample_path, table, "QZBAK"))
        assert copy == rows(qz_sample_path, table) and copy
        columns = {t.name: t.columns for t in sample.read_tables(qz_sample_path)}
        backup = {t.name: t.columns
                  for t in sample.read_tables(qz_sample_path, "QZBAK")}
        assert backup[table] == columns[table]

    def test_table_qzdata_lacks(self, qz_sample_path):
        table = sample.BACKUP_ONLY_TABLE
        assert table.name not in [t.name for t in
                                  sample.read_tables(qz_sample_path)]
        old = list(sample.iter_rows(qz_sample_path, table.name, "QZBAK"))
        new = rows(qz_sample_path, "QZ_211_DYU_01")
        assert [r[:4] for r in old] == [r[:4] for r in new]
        assert all(len(pieces(r[4])) == 1440 for r in old
                   if r[4] != sample.EMPTY_ROW)
        assert sum(a[4] != b[4] for a, b in zip(old, new)) > len(old) // 2

    @pytest.mark.parametrize(
        "base, rate, method",
        [(b, r, m) for b in BASE_CODES for r in RATE_CODES for m in METHOD_CODES])
    def test_substring_search_in_the_second_schema(self, base, rate, method):
        found = [n for n in BACKUP_TABLES
                 if base in n and rate in n and method in n]
        expected = {("DYU", "01", "211"): ["QZ_211_DYU_01",
                                           "QZ_211_DYU_01_OLD"],
                    ("DYU", "90", "411"): ["QZ_411_DYU_90"]}
        assert found == expected.get((base, rate, method), [])

    def test_row_counts_name_the_schema(self, qz_sample_path):
        counts = sample.row_counts(qz_sample_path)
        for name in BACKUP_TABLES:
            assert counts["QZBAK." + name] > 0
        for name in sample.BACKUP_COPIES:
            assert counts["QZBAK." + name] == counts[name]

    def test_read_missing_table(self, qz_sample_path):
        with pytest.raises(KeyError, match="QZBAK.QZ_DICT_ITEMS"):
            list(sample.iter_rows(qz_sample_path, "QZ_DICT_ITEMS", "QZBAK"))


class TestInstanceNames:
    def read(self, path):
        import sqlite3
        with contextlib.closing(sqlite3.connect(path)) as db, db:
            return db.execute("SELECT SID, SERVICE_NAME FROM %s"
                              % sample.INSTANCE_TABLE).fetchall()

    def test_defaults(self, qz_sample_path):
        assert self.read(qz_sample_path) == [("QZDB", "qzpdb")]
        assert (sample.DEFAULT_SID, sample.DEFAULT_SERVICE_NAME) == (
            "QZDB", "qzpdb")
        assert sample.INSTANCE_TABLE not in sample.row_counts(qz_sample_path)

    def test_chosen_names(self, tmp_path):
        path = tmp_path / "x.sqlite"
        sample.build(path, stations=2, days=1, second_stations=1,
                     second_days=1, sid="ORCL2", service_name="pdb2.example")
        assert self.read(path) == [("ORCL2", "pdb2.example")]

    @pytest.mark.parametrize("kwargs", [{"sid": ""}, {"sid": "a b"},
                                        {"service_name": "x=y"},
                                        {"service_name": None}])
    def test_bad_names(self, tmp_path, kwargs):
        with pytest.raises(ValueError, match="must be a name"):
            sample.build(tmp_path / "x.sqlite", **kwargs)
        assert not (tmp_path / "x.sqlite").exists()


@pytest.fixture(scope="module")
def many(tmp_path_factory):
    """(path, plan) of a sample from build_many_stations."""
    path = tmp_path_factory.mktemp("many") / "many.sqlite"
    plan = sample.build_many_stations(path)
    return path, plan


class TestManyStations:
    def test_stations(self, many):
        path, plan = many
        stations = rows(path, "QZ_DICT_STATIONS")
        assert len(stations) == 601 == len(plan.names)
        codes = [c for c, _ in stations]
        names = [n for _, n in stations]
        assert len(set(codes)) == len(codes) and len(set(names)) == len(names)
        assert sum("地震台" in n for n in names) == 600
        assert [c for c in codes if not c.isdigit()] == [sample.ODD_STATION]
        assert max(int(c) for c in codes if c.isdigit()) == 37600

    @pytest.mark.parametrize("fragment, code", [("郯城", "37005"),
                                                ("莒县", "37004"),
                                                ("嘉祥", "37008"),
                                                ("梁山", "37008A")])
    def test_fragments_still_find_one_station(self, many, fragment, code):
        stations = rows(many[0], "QZ_DICT_STATIONS")
        assert [c for c, n in stations if fragment in n] == [code]

    def test_only_small_tables(self, many):
        path, _ = many
        names = [t.name for t in sample.read_tables(path)]
        assert names == list(sample.DICTIONARY_TABLES) + list(
            sample.SMALL_TABLES)
        assert [t.name for t in sample.read_tables(path, "QZBAK")] == [
            n for n in sample.BACKUP_COPIES if n in sample.SMALL_TABLES]
        assert len({r[0] for r in rows(path, "QZ_412_DYU_90")}) == 600

    def test_more_than_a_thousand(self, tmp_path):
        path = tmp_path / "x.sqlite"
        plan = sample.build(path, stations=1200, days=1, second_stations=1,
                            second_days=1, tables=["QZ_412_DYU_90"])
        codes = [c for c, _ in rows(path, "QZ_DICT_STATIONS")]
        assert len(codes) == 1201 and len(set(codes)) == 1201
        assert "37999" in codes and "38001" in codes and "38000" not in codes
        assert len(plan.stations) == 1200

    def test_pool_stations_keep_their_series(self, many, qz_sample_path):
        # the stations of the default sample have the same daily values
        path, _ = many
        small = {r[:4]: r[4] for r in rows(qz_sample_path, "QZ_412_DYU_90")
                 if r[3].day <= 3}
        large = {r[:4]: r[4] for r in rows(path, "QZ_412_DYU_90")
                 if r[0] in {k[0] for k in small}}
        assert large.keys() == small.keys()
        # steps and drift are placed within the period, so values of periods
        # of different lengths differ a little
        assert all(abs(float(large[k]) - float(small[k])) < 1.0
                   for k in small if sample.EMPTY_ROW not in (small[k],
                                                                large[k]))

    @pytest.mark.parametrize("tables, message", [
        (["QZ_NOPE"], "no such observation or log table: QZ_NOPE"),
        ("QZ_412_DYU_90", "tables must be a list")])
    def test_bad_tables(self, tmp_path, tables, message):
        with pytest.raises(ValueError, match=message):
            sample.build(tmp_path / "x.sqlite", tables=tables)
