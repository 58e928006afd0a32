"""The committed type stub against the built module. mypy's stubtest checks
that the names agree; pybind11 functions carry their signature only in the
docstring, so parameter names, defaults and return types are compared here."""

import ast
import pathlib

import pytest

import QuorvanDepthCamera as qdc

STUB = pathlib.Path(__file__).resolve().parents[2] / "python" / "QuorvanDepthCamera.pyi"

# Where the stub is deliberately more precise than pybind11's own annotation.
REFINED_RETURNS = {("QuorvanCamera", "requestFrame"): "RawData | DepthData | None",
                   ("QuorvanPlaybackCamera", "requestFrame"): "RawData | DepthData | None"}


def normalise(annotation):
    return annotation.replace("QuorvanDepthCamera.", "") if annotation else None


def runtime_signature(function):
    """The signature line pybind11 puts first in the docstring, parsed."""
    line = function.__doc__.splitlines()[0]
    if line.startswith("("):  # property getters have no name
        line = "getter" + line
    return ast.parse(f"def {line}: ...").body[0]


def describe(function_node):
    """Parameter names with defaults, without `self`, and the return type."""
    arguments = function_node.args
    names = [a.arg for a in arguments.posonlyargs + arguments.args][1:]
    defaults = [ast.literal_eval(d) for d in arguments.defaults]
    with_defaults = list(zip(names, [None] * (len(names) - len(defaults)) + defaults))
    return with_defaults, normalise(ast.unparse(function_node.returns))


def stub_classes():
    tree = ast.parse(STUB.read_text())
    return {node.name: node for node in tree.body
            if isinstance(node, ast.ClassDef) and not node.name.startswith("_")}


def stub_methods():
    for class_name, node in stub_classes().items():
        for item in node.body:
            if isinstance(item, ast.FunctionDef) and not item.name.startswith("__") and \
                    not item.decorator_list:
                yield pytest.param(class_name, item, id=f"{class_name}.{item.name}")


@pytest.mark.parametrize("class_name, stub_method", list(stub_methods()))
def test_method_signature_matches(class_name, stub_method):
    runtime = getattr(getattr(qdc, class_name), stub_method.name)
    runtime_parameters, runtime_return = describe(runtime_signature(runtime))
    stub_parameters, stub_return = describe(stub_method)
    assert stub_parameters == runtime_parameters
    assert stub_return == REFINED_RETURNS.get((class_name, stub_method.name), runtime_return)


def test_every_public_name_is_in_the_stub():
    classes = stub_classes()
    for name, value in vars(qdc).items():
        if isinstance(value, type):
            assert name in classes, name
            stub_names = {item.name if isinstance(item, ast.FunctionDef) else item.target.id
                          for item in classes[name].body
                          if isinstance(item, (ast.FunctionDef, ast.AnnAssign))}
            runtime_names = {n for n in vars(value) if not n.startswith("_")}
            assert runtime_names <= stub_names, name


@pytest.mark.parametrize("class_name", ["QuorvanFormat", "QuorvanInfo"])
def test_record_property_types_match(class_name):
    stub_fields = {item.target.id: ast.unparse(item.annotation)
                   for item in stub_classes()[class_name].body if isinstance(item, ast.AnnAssign)}
    runtime_class = getattr(qdc, class_name)
    runtime_fields = [n for n in vars(runtime_class) if not n.startswith("_")]
    assert list(stub_fields) == runtime_fields
    for name in runtime_fields:
        getter = getattr(runtime_class, name).fget
        assert stub_fields[name] == describe(runtime_signature(getter))[1], name
