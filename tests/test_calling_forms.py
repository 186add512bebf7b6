"""Every public function: its parameters, defaults and how it takes arguments,
and that it behaves like a Python function (pickling, copying, pydoc)."""
import concurrent.futures
import copy
import datetime
import inspect
import pickle
import pydoc
import re
import subprocess
import sys

import pandas as pd
import pandas.testing as tm

import pytest

import velmora.bisource
import velmora.cleaning
import velmora.fetching

P = inspect.Parameter
POS_ONLY, POS_OR_KW = P.POSITIONAL_ONLY, P.POSITIONAL_OR_KEYWORD
NO_DEFAULT = P.empty

ALL = "全部"
FETCH = [("conn", NO_DEFAULT), ("startdate", NO_DEFAULT), ("enddate", NO_DEFAULT), ("methodname", NO_DEFAULT),
         ("stationname", NO_DEFAULT), ("data_type", NO_DEFAULT), ("base_type", NO_DEFAULT), ("itemname", ALL),
         ("gzip_flag", False), ("my_split_lines", True), ("pointid", "")]
DAILY = [("conn", NO_DEFAULT), ("period", NO_DEFAULT), ("is_preprocessed", NO_DEFAULT), ("item", NO_DEFAULT),
         ("datatype", NO_DEFAULT), ("gzip_flag", False)]
CONN = [("conn", NO_DEFAULT)]

# (module, name, [(parameter, default)], positional only, docstring)
FUNCTIONS = [
    (velmora.cleaning, "split_lines", [("df", NO_DEFAULT), ("sample_by_seconds", NO_DEFAULT)], False, None),
    (velmora.cleaning, "concat_df", [("df_1", NO_DEFAULT), ("df_2", NO_DEFAULT)], False, None),
    (velmora.cleaning, "remove_steps_v2", [("df", NO_DEFAULT), ("remove_peaks_steps", False)], False, None),
    (velmora.fetching, "conn_to_Oracle", [("db", NO_DEFAULT)], True, "Connect to Oracle database."),
    (velmora.fetching, "timeseries_info", CONN, True, None),
    (velmora.fetching, "load_Oracle_data_daily", DAILY, False, None),
    (velmora.fetching, "load_Oracle_data_resistivity_year", [("conn", NO_DEFAULT), ("date_0", "20090101")], False, None),
    (velmora.fetching, "load_Oracle_data_water_year", CONN, True, None),
    (velmora.fetching, "fetching_data", FETCH, False, None),
    (velmora.fetching, "fetching_dialog_sd", [], False, None),
    (velmora.bisource, "conn_to_Oracle", [("basetype", NO_DEFAULT)], True, None),
    (velmora.bisource, "conn_to_MySQL", [("basetype", NO_DEFAULT)], True, None),
    (velmora.bisource, "timeseries_info", CONN, True, None),
    (velmora.bisource, "load_Oracle_data_daily", DAILY, False, None),
    (velmora.bisource, "load_Oracle_data_resistivity_year", CONN, True, None),
    (velmora.bisource, "load_Oracle_data_water_year", CONN, True, None),
    (velmora.bisource, "fetching_data", FETCH, False, None),
]
IDS = [f"{m.__name__.split('.')[-1]}.{n}" for m, n, *_ in FUNCTIONS]


@pytest.mark.parametrize("module,name,params,positional_only,doc", FUNCTIONS, ids=IDS)
def test_attributes_and_signature(module, name, params, positional_only, doc):
    f = getattr(module, name)
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == (name, name, module.__name__, doc)
    defaults = tuple(d for _, d in params if d is not NO_DEFAULT)
    assert f.__defaults__ == (defaults or None)
    assert f.__kwdefaults__ is None
    kind = POS_ONLY if positional_only else POS_OR_KW
    assert inspect.signature(f) == inspect.Signature([P(p, kind, default=d) for p, d in params])
    assert callable(f) and not inspect.isclass(f)


@pytest.mark.parametrize("module,name,params,positional_only,doc", FUNCTIONS + [
    (velmora.fetching, "fetching_dialog", [], False, None), (velmora.bisource, "fetching_dialog", [], False, None)],
    ids=IDS + ["fetching.fetching_dialog", "bisource.fetching_dialog"])
def test_pickled_and_copied_by_reference(module, name, params, positional_only, doc):
    f = getattr(module, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f and copy.deepcopy([f])[0] is f


@pytest.mark.parametrize("module,name,params,positional_only,doc", FUNCTIONS, ids=IDS)
def test_pydoc_shows_a_function(module, name, params, positional_only, doc):
    f = getattr(module, name)
    assert inspect.isroutine(f)
    text = one_line_signatures(pydoc.render_doc(f, renderer=pydoc.plaintext))
    assert f"\n{name}{inspect.signature(f)}\n" in text
    assert "Methods defined here" not in text and "__call__" not in text
    if doc:
        assert doc in text
    module_text = one_line_signatures(pydoc.render_doc(module, renderer=pydoc.plaintext))
    assert f"    {name}{inspect.signature(f)}" in module_text


def one_line_signatures(text):
    """pydoc's text with signatures on one line: Python 3.13 puts each
    parameter of a long one on a line of its own."""
    return re.sub(r"\(\n\s+(.*?),?\n\s*\)", lambda m: "(" + re.sub(r",\n\s+", ", ", m.group(1)) + ")", text,
                  flags=re.S)


def outcome(function, *args):
    """(result, None) or (None, the exception's type and text) of a call."""
    try:
        return function(*args), None
    except Exception as e:  # noqa: BLE001 - compared with the worker's
        return None, (type(e), str(e))


@pytest.mark.parametrize("module,name,params,positional_only,doc", FUNCTIONS, ids=IDS)
def test_every_function_runs_in_a_worker_process(dirs, module, name, params, positional_only, doc, capsys):
    """Sent by reference and run in the worker: without a connection (None) and
    in a folder without default.conf, each ends as it does here."""
    f = getattr(module, name)
    required = [p for p, d in params if d is NO_DEFAULT]
    values = {"conn": None, "df": pd.Series([1.0, 2.0, 40.0, 41.0]), "df_1": pd.DataFrame({"a": [1]}),
              "df_2": pd.DataFrame({"a": [2]}), "sample_by_seconds": 60, "period": 1}
    args = [values.get(p, "x") for p in required]
    if name == "split_lines":
        args[0] = pd.DataFrame({"startdate": pd.to_datetime(["2009-01-01"]), "obsvalue": ["1 2 NULL"]})
    with concurrent.futures.ProcessPoolExecutor(max_workers=1) as pool:
        future = pool.submit(outcome, f, *args)
        there = future.result()
    here = outcome(f, *args)
    if isinstance(here[0], pd.DataFrame):
        tm.assert_frame_equal(there[0], here[0])
    elif isinstance(here[0], pd.Series):
        tm.assert_series_equal(there[0], here[0])
    else:
        assert there == here


def test_every_module_through_a_process_pool(dirs):
    packed = pd.DataFrame({"startdate": pd.to_datetime(["2009-01-01", "2009-01-02"]), "stationid": ["1", "2"],
                           "obsvalue": ["1.5 2 NULL", "3 99999 4.25"]})
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        split = pool.submit(velmora.cleaning.split_lines, packed, 3600).result()
        joined = pool.submit(velmora.cleaning.concat_df, packed, packed).result()
        # no default.conf here: the functions run in the worker and report it their own way
        missing_conf = pool.submit(velmora.fetching.conn_to_Oracle, "qz").result()
        no_section = pool.submit(velmora.bisource.conn_to_MySQL, "qz").exception()
        nothing = pool.submit(velmora.fetching.fetching_dialog_sd).result()
    tm.assert_frame_equal(split, velmora.cleaning.split_lines(packed, 3600))
    tm.assert_frame_equal(joined, velmora.cleaning.concat_df(packed, packed))
    assert missing_conf is None and nothing is None
    assert isinstance(no_section, KeyError) and no_section.args == ("qz",)


@pytest.mark.parametrize("module,names", [
    (velmora.cleaning, ["np", "pd", "split_lines", "concat_df", "remove_steps_v2"]),
    (velmora.fetching, ["configparser", "dt", "gzip", "sys", "os", "np", "pd", "create_engine", "tsc",
                        "conn_to_Oracle", "timeseries_info", "load_Oracle_data_daily",
                        "load_Oracle_data_resistivity_year", "load_Oracle_data_water_year", "fetching_data",
                        "fetching_dialog", "fetching_dialog_sd"]),
    (velmora.bisource, ["configparser", "dt", "gzip", "sys", "orcl", "np", "pd", "pymysql", "tsc",
                        "conn_to_Oracle", "conn_to_MySQL", "timeseries_info", "load_Oracle_data_daily",
                        "load_Oracle_data_resistivity_year", "load_Oracle_data_water_year", "fetching_data",
                        "fetching_dialog"]),
], ids=["cleaning", "fetching", "bisource"])
def test_namespace_in_load_order(module, names):
    assert [k for k in vars(module) if not k.startswith("__")] == names
    assert module.__doc__ is None


def test_bound_modules():
    import configparser, gzip, os, sqlalchemy
    import numpy
    import pandas
    import pymysql
    try:  # the Oracle driver: cx_Oracle where it is installed, else python-oracledb
        import cx_Oracle as oracle_driver
    except ImportError:
        import oracledb as oracle_driver

    f, b = velmora.fetching, velmora.bisource
    assert (f.configparser, f.dt, f.gzip, f.sys, f.os, f.np, f.pd) == (
        configparser, datetime, gzip, sys, os, numpy, pandas)
    assert f.create_engine is sqlalchemy.create_engine
    assert f.tsc is velmora.cleaning and b.tsc is velmora.cleaning
    assert (b.orcl, b.pymysql) == (oracle_driver, pymysql)


@pytest.mark.parametrize("module", ["fetching", "bisource"])
def test_dialog_defaults_and_signature(module):
    f = getattr(velmora, module).fetching_dialog
    before = datetime.datetime.today()
    start, end, *rest = f.__defaults__
    after = datetime.datetime.today()
    assert rest == [ALL, ALL, ALL, "313"] and f.__kwdefaults__ is None
    assert before - datetime.timedelta(days=1) <= start <= end - datetime.timedelta(days=1) <= after
    names = [p.name for p in inspect.signature(f).parameters.values()]
    assert names == ["conn", "startdate", "enddate", "methodname", "stationname", "itemname", "log_type"]


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)


@pytest.mark.parametrize("blocked,module,failed_at", [
    (["sqlalchemy"], "velmora.fetching", "create_engine"),
    (["pymysql"], "velmora.bisource", "pymysql"),
    # without either Oracle driver, the error names the default one
    (["cx_Oracle", "oracledb"], "velmora.bisource", "orcl"),
])
def test_a_missing_dependency_stops_loading_at_its_step(blocked, module, failed_at):
    code = (f"import sys; sys.modules.update(dict.fromkeys({blocked!r}))\n"
            f"try:\n    import {module}\nexcept ImportError as e:\n    print('ImportError', e.name)\n"
            f"print({module!r} in sys.modules)")
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["ImportError", blocked[-1], "False"]


def test_relative_import_needs_the_package():
    out = run_python("import importlib.util, velmora.fetching as f\n"
                     "module_spec = importlib.util.spec_from_file_location('fetching', f.__file__)\n"
                     "try:\n    importlib.util.module_from_spec(module_spec)\n"
                     "except ImportError as e:\n    print('ImportError:', e)\n")
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ImportError: attempted relative import with no known parent package"


def test_wrong_calls_fail_before_any_work(capsys):
    for call in (lambda f: f(), lambda f: f(1), lambda f: f(1, 2, 3), lambda f: f(df=1)):
        with pytest.raises(TypeError):
            call(velmora.cleaning.split_lines)
    assert capsys.readouterr().out == ""  # "splitting data..." never printed


def split_lines(df, sample_by_seconds):  # what CPython says for the same parameters
    raise AssertionError("never called")


def cpython_error(call):
    with pytest.raises(TypeError) as error:
        call(split_lines)
    return str(error.value)


# Keywords are checked first, as CPython checks them: a keyword for a parameter
# that a positional argument already took, or one that names no parameter.
@pytest.mark.parametrize("call", [
    lambda f: f(1, df=2),
    lambda f: f(1, 2, df=3),
    lambda f: f(1, 2, 3, df=4),
    lambda f: f(1, 2, sample_by_seconds=3),
    lambda f: f(1, x=2),
    lambda f: f(1, 2, x=3),
    lambda f: f(1, 2, 3, x=4),
    lambda f: f(x=1, df=2),
], ids=["df twice", "df twice, all given", "df twice, one too many", "rate twice", "unknown, one missing",
        "unknown", "unknown, one too many", "unknown first"])
def test_keyword_errors_read_as_cpythons(call, capsys):
    message = cpython_error(call)
    assert "multiple values" in message or "unexpected keyword" in message
    with pytest.raises(TypeError) as error:
        call(velmora.cleaning.split_lines)
    assert str(error.value) == message
    assert capsys.readouterr().out == ""


def python_twin(f):
    """A Python function with the parameters of `f` (positional-only where
    f's are, the same defaults): what CPython says about a call is what f
    must say."""
    code = f"def {f.__name__}{inspect.signature(f)}:\n    raise AssertionError('never called')\n"
    namespace = {"datetime": datetime}
    exec(code, namespace)  # noqa: S102 - a test fixture built from a signature
    return namespace[f.__name__]


def bad_calls(f):
    """Calls with missing, surplus, duplicated, unknown and misplaced
    arguments, for f's parameters."""
    params = list(inspect.signature(f).parameters.values())
    names = [p.name for p in params]
    required = sum(p.default is P.empty for p in params)
    calls = [(tuple(range(len(params) + 1)), {}), (tuple(range(len(params) + 3)), {}),
             (tuple(range(required)), {"no_such_parameter": 1}),
             ((), {"no_such_parameter": 1, "another_unknown": 2})]
    if required:
        calls.append(((), {}))
    if required > 1:
        calls += [(tuple(range(required - 1)), {}), ((0,), {})]
    if names:
        first, last = names[0], names[-1]
        calls += [((), {last: 1}),                          # the others missing
                  ((0,), {first: 1}),                       # twice, or positional-only by keyword
                  (tuple(range(len(params))), {first: 1}),  # all given and one again
                  (tuple(range(len(params) + 1)), {first: 1}),
                  ((), {"no_such_parameter": 1, first: 1}),
                  ((), {first: 1, "no_such_parameter": 1})]
    if len(names) > 2:
        calls.append(((), {names[1]: 1, names[2]: 2}))      # the first missing, later ones given
    return calls


@pytest.mark.parametrize("module,name", [(m, n) for m, n, *_ in FUNCTIONS]
                         + [(velmora.fetching, "fetching_dialog"), (velmora.bisource, "fetching_dialog")],
                         ids=IDS + ["fetching.fetching_dialog", "bisource.fetching_dialog"])
def test_argument_errors_read_as_cpythons(module, name, capsys):
    f = getattr(module, name)
    twin = python_twin(f)
    for args, kwargs in bad_calls(f):
        with pytest.raises(TypeError) as cpython:
            twin(*args, **kwargs)
        with pytest.raises(TypeError) as ours:
            f(*args, **kwargs)
        assert str(ours.value) == str(cpython.value), (args, kwargs)
    assert capsys.readouterr().out == ""  # nothing ran


@pytest.mark.parametrize("call,message", [
    (lambda: velmora.cleaning.remove_steps_v2(remove_peaks_steps=1),
     "remove_steps_v2() missing 1 required positional argument: 'df'"),
    (lambda: velmora.cleaning.remove_steps_v2(1, 2, 3),
     "remove_steps_v2() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: velmora.cleaning.split_lines(1, 2, 3), "split_lines() takes 2 positional arguments but 3 were given"),
    (lambda: velmora.fetching.conn_to_Oracle(db="x"),
     "conn_to_Oracle() got some positional-only arguments passed as keyword arguments: 'db'"),
    (lambda: velmora.fetching.timeseries_info(), "timeseries_info() missing 1 required positional argument: 'conn'"),
    (lambda: velmora.fetching.fetching_dialog_sd(1), "fetching_dialog_sd() takes 0 positional arguments but 1 was given"),
    (lambda: velmora.fetching.fetching_data(*range(5)),
     "fetching_data() missing 2 required positional arguments: 'data_type' and 'base_type'"),
    (lambda: velmora.cleaning.concat_df(), "concat_df() missing 2 required positional arguments: 'df_1' and 'df_2'"),
    (lambda: velmora.cleaning.split_lines(**{1: 2}), "keywords must be strings"),
])
def test_messages_as_written(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


def test_equivalent_calls_of_the_resistivity_loader(monkeypatch):
    calls = []
    monkeypatch.setattr(velmora.fetching, "fetching_data", lambda *a, **k: calls.append(a[1]) or None)
    for call in (lambda: velmora.fetching.load_Oracle_data_resistivity_year("c"),
                 lambda: velmora.fetching.load_Oracle_data_resistivity_year("c", "20090101"),
                 lambda: velmora.fetching.load_Oracle_data_resistivity_year("c", date_0="20090101")):
        with pytest.raises(AttributeError):  # None has no loc
            call()
    assert calls == ["20090101"] * 3
