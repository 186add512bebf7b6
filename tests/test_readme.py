"""The README's examples run as written: the first example and "Working with
the result" on the sample database (as the section "production"), and the
bisource walk-through on the Oracle stand-in and a private MariaDB server."""
import io
import os
import pathlib
import re
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pandas.testing as tm
import pytest

from helpers import conf_text, oracle_options

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")


def python_blocks(first_heading, next_heading):
    """The ```python blocks between two headings of the README."""
    start = README.index(first_heading + "\n")
    text = README[start:README.index(next_heading + "\n", start)]
    blocks = re.findall(r"```python\n(.*?)```", text, flags=re.S)
    assert blocks, first_heading
    return blocks


def test_first_example_and_working_with_the_result(dirs, qz_sample_path, qz_cx_oracle, capsys):
    (dirs.work / "default.conf").write_text(conf_text("production", **oracle_options(qz_sample_path)),
                                            encoding="utf-8")
    ns = {}
    for block in python_blocks("## Using it", "### bisource on the sample database"):
        exec(compile(block, "README.md", "exec"), ns)
    df = ns["df"]
    assert df.groupby(["STATIONID", "ITEMID"]).ngroups == 2 and len(df) == 2 * 31 * 1440

    # one step-free series per station point and item, each on its own times
    cleaned = ns["cleaned"]
    assert sorted(cleaned) == [("370054", "2111"), ("370054", "2112")]
    for (station, item), series in cleaned.items():
        own = df[(df["STATIONID"] == station) & (df["ITEMID"] == item)].dropna(subset=["OBSVALUE"])
        tm.assert_index_equal(series.index, own.index)
    assert "remove steps threshold" in capsys.readouterr().out

    one, wide = ns["one"], ns["wide"]
    assert one.index.is_monotonic_increasing and len(one) == 31 * 1440
    assert wide.shape == (31 * 1440, 2)
    assert (wide.dtypes == np.float32).all()  # as fetched, not widened to float64
    np.testing.assert_array_equal(wide["370054", "2111"].to_numpy(), one.to_numpy())

    named = ns["named"]
    assert len(named) == len(df) and not named["STATIONNAME"].isna().any()
    assert set(named["STATIONNAME"]) == {"郯城马陵山"} and set(named["POINTID"]) == {"4"}
    assert set(named["UNIT"]) == {"ms"}

    assert len(ns["hourly"]) == 31 * 24 and list(ns["daily"].columns) == ["mean", "min", "max"]
    tm.assert_frame_equal(ns["from_parquet"], df)
    tm.assert_frame_equal(ns["from_csv"], df, check_freq=False)


def test_bisource_on_the_sample(tmp_path, qz_sample_path, qz_mariadb):
    """Run as a script of its own from an examples folder, as the README says
    (the MariaDB server is installed already: qz_mariadb made sure of it)."""
    (tmp_path / "out").mkdir()
    shutil.copy(qz_sample_path, tmp_path / "out" / "qzdata.sqlite")
    shutil.copy(ROOT / "examples" / "default.conf", tmp_path / "default.conf")
    (block,) = python_blocks("### bisource on the sample database", "### Installing against a real server")
    script = block + (
        "print(len(logs), sorted(set(logs['STATIONID'])))\n"
        "print(len(minutes), minutes.groupby(['STATIONID', 'ITEMID']).ngroups)\n"
        "print(server.running)\n")
    env = {k: v for k, v in os.environ.items() if k != "QZDB_DATABASES"}
    run = subprocess.run([sys.executable, "-W", "ignore::UserWarning", "-c", script], cwd=tmp_path,
                         capture_output=True, text=True, timeout=300, env=env)
    assert run.returncode == 0, run.stderr
    logs_line, minutes_line, running = run.stdout.splitlines()[-3:]
    count, stations = logs_line.split(" ", 1)
    assert int(count) > 0 and stations == "['37004']"
    assert minutes_line == f"{2 * 31 * 1440} 2"
    assert running == "False"


def test_dask_on_the_sample(tmp_path, qz_sample_path, engine, capsys):
    """The sample form of the Dask walk-through, run as a script of its own
    from an examples folder; its daily counts are those of the single call."""
    import velmora.fetching

    (tmp_path / "out").mkdir()
    shutil.copy(qz_sample_path, tmp_path / "out" / "qzdata.sqlite")
    shutil.copy(ROOT / "examples" / "default.conf", tmp_path / "default.conf")
    (block,) = [b for b in python_blocks("### Beyond one machine: Dask", "## Reference") if "dask_plugin" in b]
    script = "import warnings\nwarnings.simplefilter('ignore', DeprecationWarning)\n" + block + (
        "print(daily.to_json())\n")
    env = {k: v for k, v in os.environ.items() if k != "QZDB_DATABASES"}
    run = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True,
                         timeout=300, env=env)
    assert run.returncode == 0, run.stderr
    daily = pd.read_json(io.StringIO(run.stdout.splitlines()[-1]), typ="series")
    single = velmora.fetching.fetching_data(engine, "20090101", "20090131", "形变", "全部", "分钟值", "预处理库")
    expected = single["OBSVALUE"].resample("1D").count()
    assert len(daily) == 31 and daily.sum() > 0
    np.testing.assert_array_equal(daily.to_numpy(), expected.to_numpy())
