"""Hosts that bend the type system: objects made without their constructor
(object.__new__, which is how pickle protocols 0 and 1 rebuild objects), one
class's __new__ applied to another, classes derived despite the refusal,
__class__ assignment, pickling and copying. CPython refuses each through its
own checks; PyPy does not make those checks, so the module refuses them
itself. Either way: a TypeError, never a crash or a silently empty copy."""

import copy
import gc
import pickle
import random

import pytest
import zolangpy
from conftest import Command, an_arg, ir


MAKERS = {
    "Interpreter": lambda: zolangpy.Interpreter(ir("yield")),
    "Compiler": zolangpy.Compiler,
    "Arg": an_arg,
}

# Every method of the classes whose instances carry a payload.
METHODS = {
    "Interpreter": [("run", ()), ("stop", ()), ("reset", ()),
                    ("register_callable", ("f", Command([], "f"))),
                    ("register_property", ("p", zolangpy.Prop()))],
    "Compiler": [("compile", ("$x = 1;",)), ("into_raw", ()), ("has_program", ()),
                 ("print_errors", ()), ("into_interpreter", ()),
                 ("register_callable", ("f", Command([], "f"))),
                 ("register_property", ("p", zolangpy.Prop()))],
    "Arg": [("is_value", ()), ("is_word", ()), ("matches_word", ("x",))],
}

NOT_MADE = "object was not made by zolangpy and cannot be used"


def refused_everywhere(instance, name):
    """Every method of class `name` called on `instance` raises TypeError."""
    for method, args in METHODS[name]:
        with pytest.raises(TypeError, match=NOT_MADE):
            getattr(getattr(zolangpy, name), method)(instance, *args)


@pytest.mark.parametrize("name", METHODS)
def test_an_object_made_by_object_new_is_refused_by_every_method(name):
    cls = getattr(zolangpy, name)
    try:
        made = object.__new__(cls)
    except TypeError:
        return  # CPython refuses to make it at all
    refused_everywhere(made, name)
    del made
    gc.collect()


@pytest.mark.parametrize("name", MAKERS)
@pytest.mark.parametrize("duplicate", [
    *[lambda obj, protocol=protocol: pickle.dumps(obj, protocol=protocol)
      for protocol in range(pickle.HIGHEST_PROTOCOL + 1)],
    copy.copy, copy.deepcopy,
])
def test_objects_with_a_payload_cannot_be_pickled_or_copied(name, duplicate):
    with pytest.raises(TypeError, match=f"cannot pickle '{name}' object"):
        duplicate(MAKERS[name]())


CLASSES = ["Interpreter", "Compiler", "Callable", "CallableGenerator", "Prop"]


@pytest.mark.parametrize("own", CLASSES)
@pytest.mark.parametrize("other", CLASSES + ["Arg"])
def test_new_of_one_class_refuses_to_make_another(own, other):
    if own == other:
        return
    with pytest.raises(TypeError, match=rf"^{own}.__new__\({other}\): {other} is not a "
                                        rf"subtype of {own}$"):
        getattr(zolangpy, own).__new__(getattr(zolangpy, other))


class Quiet:
    """A base whose __init_subclass__ does not chain to the next one."""

    def __init_subclass__(cls, **kwargs):
        pass


@pytest.mark.parametrize("name", ["Interpreter", "Compiler", "Arg"])
def test_a_class_derived_past_the_refusal_makes_no_usable_instances(name):
    try:
        derived = type("Derived", (Quiet, getattr(zolangpy, name)), {})
    except TypeError:
        return  # CPython refuses the class itself
    for make in (derived, lambda: object.__new__(derived)):
        try:
            instance = make()
        except TypeError:
            continue
        refused_everywhere(instance, name)


class Foreign:
    pass


ASSIGNMENTS = [
    (lambda: zolangpy.Prop(), "Interpreter"),
    (lambda: zolangpy.Callable(), "Compiler"),
    (lambda: zolangpy.CallableGenerator(), "Arg"),
    (lambda: Foreign(), "Interpreter"),
    (lambda: zolangpy.Compiler.check_if_prop(Foreign()) or Foreign(), "Compiler"),
    (lambda: zolangpy.Interpreter(), "Compiler"),
    (lambda: zolangpy.Compiler(), "Interpreter"),
    (an_arg, "Interpreter"),
]


@pytest.mark.parametrize("make, target", ASSIGNMENTS)
@pytest.mark.parametrize("assign", [
    lambda obj, cls: setattr(obj, "__class__", cls),
    lambda obj, cls: object.__setattr__(obj, "__class__", cls),
], ids=["plain", "object.__setattr__"])
def test_class_assignment_between_the_modules_types_never_reaches_a_payload(make, target, assign):
    instance = make()
    try:
        assign(instance, getattr(zolangpy, target))
    except (TypeError, AttributeError):
        return  # refused at once: always on CPython, for payload classes on PyPy
    refused_everywhere(instance, target)
    del instance
    gc.collect()


@pytest.mark.parametrize("name", ["Interpreter", "Compiler"])
def test_instances_of_payload_classes_keep_their_class(name):
    instance = MAKERS[name]()
    with pytest.raises((TypeError, AttributeError)):
        instance.__class__ = Foreign
    with pytest.raises(TypeError):
        object.__setattr__(instance, "__class__", Foreign)
    assert type(instance) is getattr(zolangpy, name)
    assert instance.__class__ is getattr(zolangpy, name)


def test_many_objects_dropped_in_any_order_leave_the_others_working():
    rng = random.Random(18)
    alive = [zolangpy.Interpreter(ir("yield")) if n % 2 else zolangpy.Compiler()
             for n in range(3000)]
    for _ in range(4):
        rng.shuffle(alive)
        del alive[: len(alive) // 2]
        alive.extend(zolangpy.Interpreter(ir("yield")) for _ in range(500))
        for instance in alive:
            if isinstance(instance, zolangpy.Interpreter):
                instance.reset()
            else:
                assert instance.has_program() is False
