"""The module's namespace: every function and SignalServiceClient member, with its kind and
signature, and argument errors that read exactly like those of a Python function."""

import ast
import copy
import inspect
from pathlib import Path

import pytest

from quillmarsh import submit
from quillmarsh.submit import SignalServiceClient

STUB = ast.parse(Path(submit.__file__).with_name("submit.pyi").read_text())
KINDS = {"staticmethod": "static", "classmethod": "class"}


def declared(definition):
    """(kind, signature as seen on the class or module) of a `def` in the stub, annotations left
    out; a native method's `self` is positional-only."""
    decorators = {d.id for d in definition.decorator_list if isinstance(d, ast.Name)}
    kind = next((KINDS[d] for d in decorators if d in KINDS), "instance")
    args = copy.deepcopy(definition.args)
    for arg in [*args.posonlyargs, *args.args, *args.kwonlyargs, args.vararg, args.kwarg]:
        if arg is not None:
            arg.annotation = None
    if kind == "class":
        args.args = args.args[1:]
    elif args.args and args.args[0].arg == "self" and not args.posonlyargs:
        args.posonlyargs, args.args = args.args[:1], args.args[1:]
    return kind, f"({ast.unparse(args)})"


def stub_functions(body):
    return {node.name: declared(node) for node in body if isinstance(node, ast.FunctionDef)}


# The module's functions and the client's callable members, as the stub declares them.
FUNCTIONS = {
    name: signature
    for name, (_, signature) in stub_functions(STUB.body).items()
    if callable(getattr(submit, name, None))
}
CLIENT = next(node for node in STUB.body if isinstance(node, ast.ClassDef) and node.name == "SignalServiceClient")
CLIENT_MEMBERS = [(name, kind, signature) for name, (kind, signature) in stub_functions(CLIENT.body).items()]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_module_function_signature_and_argument_errors(argument_errors, name):
    function = getattr(submit, name)
    assert function.__module__ == "quillmarsh.submit"
    assert str(inspect.signature(function)) == FUNCTIONS[name]
    argument_errors(function, name)


def test_client_members_in_definition_order_with_their_kinds():
    assert len(FUNCTIONS) >= 40 and len(CLIENT_MEMBERS) >= 30  # the stub was read
    assert SignalServiceClient.__bases__ == (object,)
    names = [name for name, _, _ in CLIENT_MEMBERS]
    assert [name for name in vars(SignalServiceClient) if name in names] == names
    for name, kind, signature in CLIENT_MEMBERS:
        static = type(inspect.getattr_static(SignalServiceClient, name))
        assert {staticmethod: "static", classmethod: "class"}.get(static, "instance") == kind, name
        assert str(inspect.signature(getattr(SignalServiceClient, name))) == signature, name


@pytest.mark.parametrize("name, kind", [(name, kind) for name, kind, _ in CLIENT_MEMBERS])
def test_client_member_argument_errors(argument_errors, fake_transport, name, kind):
    client = SignalServiceClient("http://127.0.0.1:8000", "tok", transport=fake_transport)
    if kind == "instance":
        argument_errors(getattr(SignalServiceClient, name), f"SignalServiceClient.{name}", client)
    else:
        argument_errors(getattr(SignalServiceClient, name), f"SignalServiceClient.{name}")


def test_every_class_documents_itself_as_the_stub_does():
    documented = {
        node.name: ast.get_docstring(node, clean=False) for node in STUB.body if isinstance(node, ast.ClassDef)
    }
    documented = {
        name: doc for name, doc in documented.items() if doc and isinstance(getattr(submit, name, None), type)
    }
    assert len(documented) >= 5
    assert {name: getattr(submit, name).__doc__ for name in documented} == documented


CLASSES = [
    submit.SubmissionReceipt,
    submit.SubmissionStatus,
    submit.SubmissionRejectedError,
    submit.SignalClientResponseError,
    submit._TransmissionObservedBody,
    SignalServiceClient,
]


def python_twin(cls):
    """The class a Python developer would write: the same bases, and each member a Python
    function with the member's declared signature, a static or class method, or a property,
    as the member is. A C method's `self` is positional-only, so the twin's is too."""
    namespace = {"__module__": cls.__module__, "__qualname__": cls.__qualname__}
    for name, member in vars(cls).items():
        kind = type(member) if isinstance(member, (staticmethod, classmethod, property)) else None
        native = {
            staticmethod: lambda m: m.__func__,
            classmethod: lambda m: m.__func__,
            property: lambda m: m.fget,
        }.get(kind, lambda m: m)(member)
        text = getattr(native, "__text_signature__", None)
        if not text:
            continue
        parameters = text[1:-1].replace("$self", "self, /").replace("$module, ", "").replace("$module", "")
        code = {}
        exec(f"def {name}({parameters}): pass", code)
        namespace[name] = kind(code[name]) if kind else code[name]
    return type(cls.__name__, cls.__bases__, namespace)


def signatures(cls):
    """The signatures a caller sees: the class's, and each member's through the class and
    through an instance."""
    instance = cls.__new__(cls)
    seen = {"(class)": str(inspect.signature(cls))}
    for name, member in vars(cls).items():
        if callable(getattr(cls, name)) and not isinstance(member, type) and name not in ("__new__", "__doc__"):
            seen[name] = str(inspect.signature(getattr(cls, name)))
            seen[name + " (bound)"] = str(inspect.signature(getattr(instance, name)))
    return seen


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_every_class_and_member_has_its_python_twins_signature(cls):
    native, twin = signatures(cls), signatures(python_twin(cls))
    assert native == twin and len(native) > 1
