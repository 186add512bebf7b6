"""Every public function: its parameters, defaults and how it takes arguments."""
import inspect

import pytest

import velmora.cleaning

P = inspect.Parameter
POS_ONLY, POS_OR_KW = P.POSITIONAL_ONLY, P.POSITIONAL_OR_KEYWORD
NO_DEFAULT = P.empty

# (module, name, [(parameter, default)], positional only, docstring)
FUNCTIONS = [
    (velmora.cleaning, "split_lines", [("df", NO_DEFAULT), ("sample_by_seconds", NO_DEFAULT)], False, None),
    (velmora.cleaning, "concat_df", [("df_1", NO_DEFAULT), ("df_2", NO_DEFAULT)], False, None),
    (velmora.cleaning, "remove_steps_v2", [("df", NO_DEFAULT), ("remove_peaks_steps", False)], False, None),
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


def test_cleaning_namespace_in_load_order():
    public = [k for k in vars(velmora.cleaning) if not k.startswith("__")]
    assert public == ["np", "pd", "split_lines", "concat_df", "remove_steps_v2"]


@pytest.mark.parametrize("call,message", [
    (lambda f: f(), "split_lines() takes exactly 2 positional arguments (0 given)"),
    (lambda f: f(1), "split_lines() takes exactly 2 positional arguments (1 given)"),
    (lambda f: f(1, 2, 3), "split_lines() takes exactly 2 positional arguments (3 given)"),
    (lambda f: f(df=1), "split_lines() takes exactly 2 positional arguments (1 given)"),
    (lambda f: f(1, x=2), "split_lines() takes exactly 2 positional arguments (1 given)"),
    (lambda f: f(1, 2, x=3), "split_lines() got an unexpected keyword argument 'x'"),
    (lambda f: f(1, 2, df=3), "split_lines() got multiple values for argument 'df'"),
])
def test_wrong_calls_fail_before_any_work(call, message, capsys):
    with pytest.raises(TypeError) as error:
        call(velmora.cleaning.split_lines)
    assert str(error.value) == message
    assert capsys.readouterr().out == ""  # "splitting data..." never printed


def test_at_least_for_a_function_with_a_default(capsys):
    with pytest.raises(TypeError, match=r"^remove_steps_v2\(\) takes at least 1 positional argument \(0 given\)$"):
        velmora.cleaning.remove_steps_v2()
    with pytest.raises(TypeError, match=r"^remove_steps_v2\(\) takes at most 2 positional arguments \(3 given\)$"):
        velmora.cleaning.remove_steps_v2(1, 2, 3)
