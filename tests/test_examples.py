"""The quick-start script and notebook run on the sample database."""
import pathlib
import shutil
import subprocess
import sys

import nbformat
import pytest
from nbclient import NotebookClient

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


@pytest.fixture
def examples(tmp_path, qz_sample_path):
    for name in ("quickstart.py", "quickstart.ipynb", "default.conf"):
        shutil.copy(EXAMPLES / name, tmp_path / name)
    (tmp_path / "out").mkdir()
    shutil.copy(qz_sample_path, tmp_path / "out" / "qzdata.sqlite")
    return tmp_path


def test_script_prints_summaries_and_writes_the_plot(examples):
    run = subprocess.run([sys.executable, "quickstart.py"], cwd=examples, capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr
    out = run.stdout
    assert "localhost connected..." in out
    assert "44640 samples of station 370044, item 2131" in out
    assert "2 steps removed:" in out
    assert "21600 + 23040 = 44640 rows, numbered 1 to 44640" in out
    assert "7 stations," in out and "郯城马陵山" in out
    assert "16 events" in out
    assert (examples / "out" / "quickstart.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # jupyter's own, at kernel start
def test_notebook_runs(examples):
    notebook = nbformat.read(examples / "quickstart.ipynb", as_version=4)
    NotebookClient(notebook, timeout=300, kernel_name="python3", resources={"metadata": {"path": str(examples)}}).execute()
    errors = [o for c in notebook.cells if c.cell_type == "code" for o in c.outputs if o.output_type == "error"]
    assert errors == []
    assert (examples / "out" / "quickstart-notebook.png").exists()
    cleaning_cell = next(c for c in notebook.cells if "remove_steps_v2" in c.source)
    removed = cleaning_cell.outputs[-1]["data"]["text/plain"]
    assert "2009-01-05 06:12:00" in removed and "2009-01-24 12:11:00" in removed


# Runs the script's main() in a process of its own (it registers the sample
# under the SID the session's sample has) and reports what the plot draws.
PLOT_REPORT = """
import json, matplotlib
matplotlib.use("Agg")
from matplotlib import font_manager, text
import quickstart
figure = quickstart.main()
top, bottom, *close_ups = figure.axes
family = quickstart.chinese_font()
print(json.dumps({
    "title": top.get_title(), "ylabels": [top.get_ylabel(), bottom.get_ylabel()],
    "markers": [len(line.get_xdata()) for line in top.get_lines() if line.get_marker() == "v"],
    "close_ups": [axis.get_title() for axis in close_ups],
    "drawn": "".join(t.get_text() for t in figure.findobj(text.Text) if t.get_visible()),
    "families": [figure.axes[0].title.get_fontfamily()[0], family],
    "font": font_manager.findfont(font_manager.FontProperties(family=family), fallback_to_default=False),
}))
"""


def test_plot_names_station_item_and_unit_in_a_font_that_has_their_glyphs(examples):
    import json

    from matplotlib import ft2font

    run = subprocess.run([sys.executable, "-c", PLOT_REPORT], cwd=examples, capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr
    plot = json.loads(run.stdout.splitlines()[-1])
    assert "莒县" in plot["title"] and "伸缩仪北南分量" in plot["title"]
    assert plot["ylabels"] == ["伸缩仪北南分量（1e-10）", "去除量（1e-10）"]  # the unit of the item dictionary
    # the two removed steps: marked on the series and each shown close up
    assert plot["markers"] == [2]
    assert [title[:14] for title in plot["close_ups"]] == ["台阶 01-05 06:12", "台阶 01-24 12:11"]
    family, chosen = plot["families"]
    assert family == chosen
    font = ft2font.FT2Font(plot["font"])
    missing = sorted({c for c in plot["drawn"] if not c.isspace() and font.get_char_index(ord(c)) == 0})
    assert "莒" in plot["drawn"] and missing == []
