"""Type information: the functions' text signatures, the stubs against the
module, and the typed usage file run for real."""

import ast
import importlib.util
import inspect
import os

import pytest

import vellkit

HERE = os.path.dirname(os.path.abspath(__file__))
STUB = os.path.join(HERE, os.pardir, "python", "vellkit.pyi")

P = inspect.Parameter
SIGNATURES = {
    "help": [],
    "listContents": [("path", P.POSITIONAL_ONLY, P.empty)],
    "isVellFile": [("path", P.POSITIONAL_ONLY, P.empty)],
    "decode_string": [("s", P.POSITIONAL_OR_KEYWORD, P.empty),
                      ("encodings", P.POSITIONAL_OR_KEYWORD, ("ascii", "utf8", "latin1"))],
    "getVellData": [("path", P.POSITIONAL_OR_KEYWORD, P.empty),
                    ("datablock", P.POSITIONAL_OR_KEYWORD, P.empty)],
    "getVisImages": [("path", P.POSITIONAL_ONLY, P.empty)],
}


def described(parameters):
    return [(p.name, p.kind, p.default) for p in parameters]


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_signature_names_the_parameters(name):
    function = getattr(vellkit, name)
    assert described(inspect.signature(function).parameters.values()) == SIGNATURES[name]
    # The signature line is served separately, never as part of the docstring.
    assert not function.__doc__.startswith(name + "(") and "\n--\n" not in function.__doc__


@pytest.mark.parametrize("name", ["listContents", "isVellFile", "getVisImages", "getVellData"])
def test_signature_tells_how_the_function_takes_its_path(tmp_path, name):
    """A keyword call is refused exactly when the signature says positional only."""
    arguments = {"path": str(tmp_path / "missing.vell")}
    if name == "getVellData":
        arguments["datablock"] = ("AB", "2D", "NONE")
    kind = inspect.signature(getattr(vellkit, name)).parameters["path"].kind
    expected = TypeError if kind == P.POSITIONAL_ONLY else FileNotFoundError
    with pytest.raises(expected):
        getattr(vellkit, name)(**arguments)


def stub_tree():
    with open(STUB, encoding="utf-8") as f:
        return ast.parse(f.read())


def stub_names(tree):
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(target.id for target in node.targets)
        elif isinstance(node, ast.ImportFrom):
            names.update(alias.asname for alias in node.names if alias.asname == alias.name)
    return {name for name in names if not name.startswith("_")}


def test_stub_declares_every_public_name_and_nothing_else():
    public = {name for name in vars(vellkit) if not name.startswith("_")}
    assert stub_names(stub_tree()) == public


def stub_parameters(function):
    args = function.args
    return ([(a.arg, P.POSITIONAL_ONLY) for a in args.posonlyargs]
            + [(a.arg, P.POSITIONAL_OR_KEYWORD) for a in args.args]
            + [(a.arg, P.KEYWORD_ONLY) for a in args.kwonlyargs])


def test_stub_functions_take_the_parameters_of_the_module_functions():
    defined = {}
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef):
            defined[node.name] = stub_parameters(node)  # overloads share their parameters
    assert set(defined) == set(SIGNATURES)
    for name, parameters in defined.items():
        assert parameters == [(n, kind) for n, kind, _ in SIGNATURES[name]], name


def test_stub_constructors_take_the_parameters_of_the_classes():
    base = [name for name in inspect.signature(vellkit.BaseDataReturn.__init__).parameters][1:]
    for node in stub_tree().body:
        if not isinstance(node, ast.ClassDef):
            continue
        init = next(item for item in node.body if isinstance(item, ast.FunctionDef) and item.name == "__init__")
        runtime = list(inspect.signature(getattr(vellkit, node.name).__init__).parameters.values())[1:]
        own = [(p.name, p.kind) for p in runtime if p.kind != P.VAR_KEYWORD]
        # A collected **kwds is spelt out as the base class's parameters, keyword only.
        collected = [(name, P.KEYWORD_ONLY) for name in base] if runtime[-1].kind == P.VAR_KEYWORD else []
        assert stub_parameters(init)[1:] == own + collected, node.name


def test_installed_stubs_are_the_source_stubs():
    origin = os.path.dirname(vellkit.__file__)
    installed = [os.path.join(origin, "vellkit.pyi"), os.path.join(origin, "vellkit-stubs", "__init__.pyi")]
    if not all(os.path.exists(path) for path in installed):
        pytest.skip("vellkit is imported from a build tree, not from an installation")
    with open(STUB, "rb") as f:
        source = f.read()
    for path in installed:
        with open(path, "rb") as f:
            assert f.read() == source, path


def test_typed_usage_holds_at_run_time(tmp_path):
    location = importlib.util.spec_from_file_location("typed_usage", os.path.join(HERE, "typing", "usage.py"))
    usage = importlib.util.module_from_spec(location)
    location.loader.exec_module(usage)
    usage.exercise(tmp_path)
