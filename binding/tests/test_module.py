"""What `import zolangpy` provides: classes, docstrings, ZoError."""

import ast
import inspect
import os
import subprocess
import sys
import weakref

import pytest
import zolangpy
from conftest import IS_PYPY, an_arg, raises_zo_error, zo_error_type

CLASSES = ["Interpreter", "Compiler", "Arg", "Callable", "CallableGenerator", "Prop"]


def test_all_lists_the_six_classes_in_order_and_nothing_else():
    assert zolangpy.__all__ == CLASSES
    for name in CLASSES:
        assert isinstance(getattr(zolangpy, name), type)


def test_the_module_docstring_is_exact():
    assert zolangpy.__doc__ == (
        "A Python implementation of the Zo automation language. For a specification of the "
        "language, as\nwell as an introduction to the external concepts, read the TODO docs."
    )


def test_the_module_defines_no_functions_and_hides_zo_error():
    assert not hasattr(zolangpy, "ZoError")
    public = [name for name in dir(zolangpy) if not name.startswith("__")]
    assert sorted(public) == sorted(CLASSES)


@pytest.mark.parametrize("name", CLASSES)
def test_classes_have_bare_names_derive_from_object_and_live_in_zolangpy(name):
    cls = getattr(zolangpy, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "zolangpy"
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("name", ["Interpreter", "Compiler", "Arg"])
def test_closed_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError, match=f"'{name}' is not an acceptable base type"):
        type("Sub", (getattr(zolangpy, name),), {})


@pytest.mark.parametrize("name", ["Interpreter", "Compiler"])
def test_closed_class_instances_take_no_attributes(name):
    instance = getattr(zolangpy, name)()
    with pytest.raises(AttributeError, match=f"'{name}' object has no attribute 'anything'"):
        instance.anything = 1
    with pytest.raises(AttributeError):
        del instance.run


# PyPy 7.3.11 gives every extension object a __dict__ and weak-reference slot.
@pytest.mark.skipif(IS_PYPY, reason="PyPy adds a __dict__ to every extension object")
@pytest.mark.parametrize("name", ["Interpreter", "Compiler", "Callable", "CallableGenerator", "Prop"])
def test_instances_have_no_dict_or_weak_reference_slot(name):
    instance = getattr(zolangpy, name)()
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(instance)


# On PyPy too, where the base classes refuse by hand (see pypy_guards.hpp).
@pytest.mark.parametrize("name", ["Callable", "CallableGenerator", "Prop"])
@pytest.mark.parametrize("change, text", [
    (lambda obj: setattr(obj, "anything", 1), "'{}' object has no attribute 'anything'"),
    (lambda obj: delattr(obj, "anything"), "'{}' object has no attribute 'anything'"),
    (lambda obj: setattr(obj, "__dict__", {}), "'{}' object has no attribute '__dict__'"),
    (lambda obj: setattr(obj, "__doc__", ""), "'{}' object attribute '__doc__' is read-only"),
    (lambda obj: delattr(obj, "__init__"), "'{}' object attribute '__init__' is read-only"),
])
def test_base_class_instances_take_no_attributes(name, change, text):
    with pytest.raises(AttributeError) as info:
        change(getattr(zolangpy, name)())
    assert str(info.value) == text.format(name)


class Recording:
    """A mixin whose __setattr__ records each name it sets."""

    def __setattr__(self, name, value):
        object.__setattr__(self, "last", name)
        object.__setattr__(self, name, value)


class Quiet:
    """A mixin whose __init_subclass__ does not chain to the next one."""

    def __init_subclass__(cls, **kwargs):
        pass


class OwnSetattr(zolangpy.Prop):
    def __setattr__(self, name, value):
        super().__setattr__(name, value.upper())


SUBCLASSES = {
    "plain": type("Plain", (zolangpy.Prop,), {}),
    "two bases": type("Both", (zolangpy.Callable, zolangpy.CallableGenerator), {}),
    "own __setattr__": OwnSetattr,
    "unhooked": type("Unhooked", (Quiet, zolangpy.Prop), {}),
    "mixin first": type("MixinFirst", (Recording, zolangpy.Prop), {}),
    "mixin after": type("MixinAfter", (zolangpy.Prop, Recording), {}),
}


@pytest.mark.parametrize("kind", SUBCLASSES)
def test_python_subclasses_of_base_classes_get_a_dict_as_usual(kind):
    instance = SUBCLASSES[kind]()
    instance.anything = "a"
    expected = {"anything": "A" if kind == "own __setattr__" else "a"}
    if kind.startswith("mixin"):
        expected["last"] = "anything"
    assert instance.__dict__ == expected
    del instance.anything
    assert "anything" not in instance.__dict__


def test_arg_cannot_be_constructed_from_python():
    with pytest.raises(TypeError, match="Arg"):
        zolangpy.Arg()


def test_base_classes_accept_and_ignore_any_arguments():
    assert type(zolangpy.Prop()) is zolangpy.Prop
    assert type(zolangpy.Callable(1, 2, key=3)) is zolangpy.Callable
    assert type(zolangpy.CallableGenerator("x", y=None)) is zolangpy.CallableGenerator


def test_compiler_takes_no_arguments():
    with pytest.raises(TypeError):
        zolangpy.Compiler(1)


def test_zo_error_is_one_exception_type_named_zolangpy_zo_error():
    first, second = zo_error_type(), zo_error_type()
    assert first is second
    assert first.__name__ == "ZoError"
    assert first.__module__ == "zolangpy"
    assert first.__bases__ == (Exception,)
    assert first.__doc__ is None


def test_a_zo_error_carries_the_rendered_text_as_its_only_argument():
    with raises_zo_error("[line 2] Invalid op: 'bogus'") as info:
        zolangpy.Interpreter("push 1\nbogus\n")
    assert info.value.args == ("[line 2] Invalid op: 'bogus'",)
    assert isinstance(info.value, Exception)


CLASS_SIGNATURES = {
    "Interpreter": "(ir=None)",
    "Compiler": "()",
    "Callable": "(*args, **kwargs)",
    "CallableGenerator": "(*args, **kwargs)",
    "Prop": "(*args, **kwargs)",
}


@pytest.mark.parametrize("name, signature", CLASS_SIGNATURES.items())
def test_class_signatures_come_from_the_docstring(name, signature):
    assert str(inspect.signature(getattr(zolangpy, name))) == signature


def test_class_docstrings_open_with_their_description():
    assert zolangpy.Callable.__doc__.startswith(
        "A superclass required for defining an Zo-compatible native callable.")
    assert zolangpy.CallableGenerator.__doc__.startswith(
        "A superclass required for defining an Zo-compatible native callable.")
    assert zolangpy.Prop.__doc__.startswith("A superclass required for defining an Zo property.")
    assert zolangpy.Arg.__doc__.startswith(
        "A class representing the compile-time concept of an argument.")
    assert zolangpy.Compiler.__doc__.startswith("A compiler for the Zo language.")
    assert not zolangpy.Interpreter.__doc__


METHOD_SIGNATURES = [
    ("Interpreter", "run", "(self, /)", "Invokes the interpreter, which will continue until it yields."),
    ("Interpreter", "stop", "(self, /)", "Stops execution of the interpreter"),
    ("Interpreter", "reset", "(self, /)", "Resets the interpreter to its initial state."),
    ("Interpreter", "register_callable", "(self, /, name, value)",
     "Registers the given `CallableGenerator` under the provided name."),
    ("Interpreter", "register_property", "(self, /, name, value)",
     "Registers the given `Prop` under the provided name."),
    ("Callable", "call", "(self, /)", "Called by the Zo runtime any time a native call"),
    ("Callable", "terminate", "(self, /)", "Called by the Zo runtime whenever a native call"),
    ("CallableGenerator", "generate", "(self, /, args)", "Called by the Zo runtime when it"),
    ("CallableGenerator", "check_syntax", "(self, /, args)",
     "Called by the Zo compiler to check if a call's syntax is considrered valid."),
    ("Prop", "get", "(self, /)", "Retrieves a value from the property."),
    ("Prop", "set", "(self, /, value)", 'Sets the value of the property, for some definition of "set".'),
    ("Prop", "is_settable", "(self, /)", "Returns whether the property is settable."),
    ("Arg", "is_value", "(self, /)", "Returns whether an Arg represents a value."),
    ("Arg", "is_word", "(self, /)", "Returns whether an Arg represents a word."),
    ("Arg", "matches_word", "(self, /, s)", "Returns whether both an Arg is a word"),
]


# PyPy 7.3.11 exposes neither the docstring nor the text signature of methods
# of extension types (static methods and classes are fine).
@pytest.mark.skipif(IS_PYPY, reason="PyPy hides docstrings of extension-type methods")
@pytest.mark.parametrize("cls, method, signature, doc", METHOD_SIGNATURES)
def test_method_docstrings_carry_signature_and_description(cls, method, signature, doc):
    function = getattr(getattr(zolangpy, cls), method)
    assert str(inspect.signature(function)) == signature
    assert function.__doc__.startswith(doc)


@pytest.mark.parametrize("cls", ["Interpreter", "Compiler"])
@pytest.mark.parametrize("method, what", [("check_if_prop", "`Prop`"),
                                          ("check_if_callable", "`CallableGenerator`")])
def test_static_checks_have_signatures_without_self(cls, method, what):
    function = getattr(getattr(zolangpy, cls), method)
    assert str(inspect.signature(function)) == "(value)"
    assert function.__doc__.startswith(f"Checks if a value is a subclass of {what}.")


def test_the_module_imports_cleanly_when_warnings_are_errors():
    result = subprocess.run([sys.executable, "-W", "error", "-c", "import zolangpy"],
                            capture_output=True, text=True, env=os.environ)
    assert result.returncode == 0, result.stderr


ARGUMENT_ERRORS = [
    (lambda: zolangpy.Interpreter.check_if_prop(),
     "Interpreter.check_if_prop() missing required argument 'value' (pos 1)"),
    (lambda: zolangpy.Compiler.check_if_callable(1, 2),
     "Compiler.check_if_callable() takes at most 1 argument (2 given)"),
    (lambda: zolangpy.Interpreter().stop(1), "Interpreter.stop() takes no arguments (1 given)"),
    (lambda: zolangpy.Interpreter().reset(x=1), "Interpreter.reset() takes no keyword arguments"),
    (lambda: zolangpy.Compiler().into_raw(1, 2),
     "Compiler.into_raw() takes no arguments (2 given)"),
    (lambda: zolangpy.Compiler().has_program(1),
     "Compiler.has_program() takes no arguments (1 given)"),
    (lambda: zolangpy.Compiler().print_errors(x=1),
     "Compiler.print_errors() takes no keyword arguments"),
    (lambda: zolangpy.Compiler().into_interpreter(1),
     "Compiler.into_interpreter() takes no arguments (1 given)"),
    (lambda: zolangpy.Callable().call(1), "Callable.call() takes no arguments (1 given)"),
    (lambda: zolangpy.Callable().terminate(1), "Callable.terminate() takes no arguments (1 given)"),
    (lambda: zolangpy.Prop().get(1), "Prop.get() takes no arguments (1 given)"),
    (lambda: zolangpy.Prop().is_settable(1), "Prop.is_settable() takes no arguments (1 given)"),
    (lambda: an_arg().is_value(1), "Arg.is_value() takes no arguments (1 given)"),
    (lambda: an_arg().is_word(1), "Arg.is_word() takes no arguments (1 given)"),
    (lambda: zolangpy.Interpreter().run(1), "Interpreter.run() takes no arguments (1 given)"),
    (lambda: zolangpy.Interpreter().run(x=1), "Interpreter.run() takes no keyword arguments"),
]


@pytest.mark.parametrize("call, text", ARGUMENT_ERRORS)
def test_argument_errors_name_the_class_and_the_method(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


STUBS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "zolangpy.pyi")


def stub_docstrings():
    """{(class, member or None): docstring} as written in the stubs."""
    tree = ast.parse(open(STUBS, encoding="utf-8").read())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            found[(node.name, None)] = ast.get_docstring(node)
            for member in node.body:
                setter = any(isinstance(decorator, ast.Attribute) and decorator.attr == "setter"
                             for decorator in getattr(member, "decorator_list", []))
                if isinstance(member, ast.FunctionDef) and not member.name.startswith("_") \
                        and not setter:
                    found[(node.name, member.name)] = ast.get_docstring(member)
    return found


# PyPy keeps no docstrings for methods of extension types: the stubs carry
# them for editors, and are checked against CPython's here.
@pytest.mark.parametrize("name", CLASSES)
def test_the_stubs_carry_every_method_with_its_docstring(name):
    cls = getattr(zolangpy, name)
    stubs = stub_docstrings()
    public = {member for member in vars(cls) if not member.startswith("_")}
    assert public == {member for (owner, member) in stubs if owner == name and member}
    assert (stubs[(name, None)] or "") == (inspect.getdoc(cls) or "")
    for member in public:
        assert stubs[(name, member)], member
        if not IS_PYPY:
            assert stubs[(name, member)] == inspect.getdoc(getattr(cls, member)), member
