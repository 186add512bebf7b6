"""The type stubs shipped beside the compiled modules describe exactly the
functions the modules have: names, parameter kinds, and defaults."""
import ast
import inspect
import pathlib

import pytest

import velmora
import velmora.bisource
import velmora.cleaning
import velmora.fetching

MODULES = [velmora.cleaning, velmora.fetching, velmora.bisource]


def stub_functions(module):
    path = pathlib.Path(velmora.__file__).parent / (module.__name__.split(".")[-1] + ".pyi")
    tree = ast.parse(path.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def stub_parameters(node):
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    out = []
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        kind = "positional-only" if i < len(args.posonlyargs) else "positional or keyword"
        if default is None:
            value = inspect.Parameter.empty
        elif isinstance(default, ast.Constant) and default.value is Ellipsis:
            value = "computed"
        else:
            value = ast.literal_eval(default)
        out.append((arg.arg, kind, value))
    assert not args.kwonlyargs and args.vararg is None and args.kwarg is None
    return out


def runtime_parameters(function):
    out = []
    for p in inspect.signature(function).parameters.values():
        default = p.default
        if function.__name__ == "fetching_dialog" and p.name in ("startdate", "enddate"):
            default = "computed"
        out.append((p.name, p.kind.description, default))
    return out


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_stubs_match_the_compiled_functions(module):
    stubs = stub_functions(module)
    functions = {name: f for name, f in vars(module).items()
                 if callable(f) and getattr(f, "__module__", None) == module.__name__}
    assert set(stubs) == set(functions)
    for name, function in functions.items():
        assert stub_parameters(stubs[name]) == runtime_parameters(function), name
        # editors show the stubs' docstrings: each says what the function does and shows a call; the
        # runtime docstring, where there is one, opens it
        doc = ast.get_docstring(stubs[name])
        assert doc and ">>> " in doc, name
        assert function.__doc__ is None or doc.startswith(function.__doc__), name


def test_the_package_is_marked_typed():
    assert (pathlib.Path(velmora.__file__).parent / "py.typed").exists()


def test_version_from_the_package_metadata():
    import importlib.metadata

    assert velmora.__version__ == importlib.metadata.version("velmora")
    assert velmora.__version__.count(".") >= 2
