// The base classes and Arg, as Python sees them, and the registration of
// natives that Compiler and Interpreter share.
#include "natives.hpp"

#include "convert.hpp"
#include "errors.hpp"
#include "pypy_guards.hpp"
#include "runtime.hpp"
#include "types.hpp"

namespace zolangpy {
namespace {

PyObject* not_implemented(const char* method) {
  PyErr_Format(PyExc_NotImplementedError, "'%s' is not implemnted", method);
  return nullptr;
}

// A default that only raises NotImplementedError, after the use check.
template <const char* Method, Access access>
PyObject* unimplemented_noargs(PyObject* self, PyObject*) {
  return with_use<access>(self, [] { return not_implemented(Method); });
}

constexpr char call_name[] = "call";
constexpr char get_name[] = "get";

// The base constructors accept and ignore any arguments, so that subclasses
// may define __init__ with whatever parameters they like. Instances have
// object's layout, with no payload, so that a class can derive from several
// of the bases (Callable and CallableGenerator at once, say).
template <PyTypeObject* ModuleTypes::*Base>
PyObject* native_base_new(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!accepts_type(type, module_types().*Base, true)) return nullptr;
    return type->tp_alloc(type, 0);
  });
}

// --- Callable ---

PyObject* callable_terminate(PyObject* self, PyObject*) {
  return with_use<Access::Exclusive>(self, []() -> PyObject* { Py_RETURN_NONE; });
}

constexpr char callable_call_name[] = "Callable.call";
constexpr char callable_terminate_name[] = "Callable.terminate";

auto callable_methods = base_class_methods({
    no_argument_method<&unimplemented_noargs<call_name, Access::Exclusive>, callable_call_name>(
        "call($self)\n--\n\n"
        "Called by the Zo runtime any time a native call associated with this type is active.\n\n"
        "Returning `True` means the call is complete. Returning `False` makes the Zo interpreter\n"
        "yield and call this method again when execution resumes. `None` is also valid and\n"
        "counts as `True`."),
    no_argument_method<&callable_terminate, callable_terminate_name>(
        "terminate($self)\n--\n\n"
        "Called by the Zo runtime whenever a native call associated with this type is to be ended\n"
        "early.\n\n"
        "This happens when a race group containing native calls ends, or when the Zo interpreter\n"
        "itself is ended early. It is **not** called on a Zo run-time error: cleanup after one\n"
        "must be done outside the interpreter."),
});

auto callable_slots = base_class_slots({
    {Py_tp_doc, const_cast<char*>(
                    "Callable(*args, **kwargs)\n--\n\n"
                    "A superclass required for defining an Zo-compatible native callable.\n\n"
                    "This class is virtual(-ish), with no valid implementation. Its subclasses\n"
                    "should never need to be instantiated directly: a `CallableGenerator` should\n"
                    "create them instead. A class may be a subclass of both `Callable` and\n"
                    "`CallableGenerator`, which is perfectly valid.")},
    {Py_tp_new, slot_pointer(&native_base_new<&ModuleTypes::callable>)},
    {Py_tp_methods, callable_methods.data()},
});

// --- CallableGenerator ---

// A default that checks its one list argument, then raises
// NotImplementedError.
template <const char* Method, const char* Function, Access access>
PyObject* unimplemented_with_list(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_use<access>(self, [&]() -> PyObject* {
    PyObject* list = nullptr;
    if (!parse_arguments(args, kwargs, Function, {{"args", &list}}, 1)) return nullptr;
    if (!list_argument(list, "args")) return nullptr;
    return not_implemented(Method);
  });
}

constexpr char generate_name[] = "generate";
constexpr char generate_function[] = "CallableGenerator.generate";
constexpr char check_syntax_name[] = "check_syntax";
constexpr char check_syntax_function[] = "CallableGenerator.check_syntax";

auto generator_methods = base_class_methods({
    {"generate",
     method_pointer(&unimplemented_with_list<generate_name, generate_function, Access::Exclusive>),
     METH_VARARGS | METH_KEYWORDS,
     "generate($self, args)\n--\n\n"
     "Called by the Zo runtime when it encounters a native call associated with this type.\n\n"
     "It generates a new `Callable` from the arguments passed from Zo. Most generators pass\n"
     "them straight to the constructor of their `Callable`, but a generator may insert\n"
     "arguments (a form of dependency injection), filter them out, or dispatch to different\n"
     "kinds of `Callable`. Unlike in `check_syntax`, the arguments are actual values, and only\n"
     "values: the compiler filters out the words."},
    {"check_syntax",
     method_pointer(
         &unimplemented_with_list<check_syntax_name, check_syntax_function, Access::Shared>),
     METH_VARARGS | METH_KEYWORDS,
     "check_syntax($self, args)\n--\n\n"
     "Called by the Zo compiler to check if a call's syntax is considrered valid.\n\n"
     "The syntax is valid when no exception is raised, so Python's `assert` serves to check\n"
     "the types and count of the arguments (see `Arg`). Values do not exist yet at this point,\n"
     "only the fact that a value stands in a position. Words exist only at compile time, so\n"
     "their text is available and can be tested or switched upon to give a form of\n"
     "overloading (making that work at run time is left to the host)."},
});

auto generator_slots = base_class_slots({
    {Py_tp_doc,
     const_cast<char*>(
         "CallableGenerator(*args, **kwargs)\n--\n\n"
         "A superclass required for defining an Zo-compatible native callable.\n\n"
         "This class is virtual(-ish), with no valid implementation. Its purpose is to generate\n"
         "a new `Callable` whenever Zo needs to execute a new native call: each time the call is\n"
         "reached, but not for each iteration of that call, because parallel groups can run\n"
         "several instances of one callable at once, even for the same instruction. A generator\n"
         "may return a singleton-style `Callable`; this is discouraged, as it may cause problems\n"
         "with parallelism when the call is non-trivial.")},
    {Py_tp_new, slot_pointer(&native_base_new<&ModuleTypes::callable_generator>)},
    {Py_tp_methods, generator_methods.data()},
});

// --- Prop ---

PyObject* prop_set(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_use<Access::Shared>(self, [&]() -> PyObject* {
    PyObject* value = nullptr;
    if (!parse_arguments(args, kwargs, "Prop.set", {{"value", &value}}, 1)) return nullptr;
    return not_implemented("set");
  });
}

PyObject* prop_is_settable(PyObject* self, PyObject*) {
  return with_use<Access::Shared>(self, []() -> PyObject* { Py_RETURN_FALSE; });
}

constexpr char prop_get_name[] = "Prop.get";
constexpr char prop_is_settable_name[] = "Prop.is_settable";

auto prop_methods = base_class_methods({
    no_argument_method<&unimplemented_noargs<get_name, Access::Shared>, prop_get_name>(
        "get($self)\n--\n\n"
        "Retrieves a value from the property.\n\n"
        "The only allowed result types are `int`, `float`, `str`, `bool` and `None`; anything\n"
        "else causes a run-time error. This method should never be called directly, its return\n"
        "value being opaque to Python."),
    {"set", method_pointer(&prop_set), METH_VARARGS | METH_KEYWORDS,
     "set($self, value)\n--\n\n"
     "Sets the value of the property, for some definition of \"set\".\n\n"
     "Setting a value does not imply that a later `get` returns it. This method is needed only\n"
     "if programs assign the property: nothing in the syntax prevents an assignment, but\n"
     "assigning a property that is not settable is reported as an error at compile time and at\n"
     "run time. It should never be called directly, since the required value cannot be made\n"
     "in Python."},
    no_argument_method<&prop_is_settable, prop_is_settable_name>(
        "is_settable($self)\n--\n\n"
        "Returns whether the property is settable.\n\n"
        "A property that is not settable need not implement `set`, which can then never be\n"
        "called."),
});

auto prop_slots = base_class_slots({
    {Py_tp_doc,
     const_cast<char*>(
         "Prop(*args, **kwargs)\n--\n\n"
         "A superclass required for defining an Zo property.\n\n"
         "This class is virtual(-ish), with no valid implementation. A property is treated like\n"
         "a variable by the Zo runtime, except that reading and writing it call the `get` and\n"
         "`set` methods. Being settable is optional, since assigning to a source such as a\n"
         "sensor does not always make sense: a property is by default not settable, as decided\n"
         "by the `is_settable` method, which a subclass overrides to change it. A property that\n"
         "is not settable needs no `set` method, since the compiler checks settability and the\n"
         "interpreter validates IR before running it. Unlike `Callable`s, accessing a property\n"
         "never makes the Zo runtime yield.")},
    {Py_tp_new, slot_pointer(&native_base_new<&ModuleTypes::prop>)},
    {Py_tp_methods, prop_methods.data()},
});

// --- Arg ---

PyObject* arg_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot create 'Arg' instances");
  return nullptr;
}

// Every method of Arg only reads.
template <typename Body>
PyObject* with_arg(PyObject* self, Body&& body) {
  return with_payload<ArgObject, Access::Shared>(
      self, [&](ArgObject& object) { return body(object.arg); });
}

PyObject* arg_is_value(PyObject* self, PyObject*) {
  return with_arg(self, [](const zolang::Arg& arg) { return new_bool(arg.is_value()); });
}

PyObject* arg_is_word(PyObject* self, PyObject*) {
  return with_arg(self, [](const zolang::Arg& arg) { return new_bool(arg.is_word()); });
}

PyObject* arg_matches_word(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_arg(self, [&](const zolang::Arg& arg) -> PyObject* {
    PyObject* text = nullptr;
    if (!parse_arguments(args, kwargs, "Arg.matches_word", {{"s", &text}}, 1)) return nullptr;
    auto word = string_argument(text, "s");
    if (!word) return nullptr;
    return new_bool(arg.matches_word(*word));
  });
}

PyObject* arg_word(PyObject* self, PyObject*) {
  return with_arg(self, [](const zolang::Arg& arg) -> PyObject* {
    if (arg.is_value()) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(arg.text().data(),
                                       static_cast<Py_ssize_t>(arg.text().size()));
  });
}

constexpr char arg_is_value_name[] = "Arg.is_value";
constexpr char arg_is_word_name[] = "Arg.is_word";
constexpr char arg_word_name[] = "Arg.word";

auto arg_methods = closed_class_methods({
    no_argument_method<&arg_is_value, arg_is_value_name>(
        "is_value($self)\n--\n\n"
        "Returns whether an Arg represents a value.\n\n"
        "The value itself does not exist yet; what is certain is that it will eventually be\n"
        "*some* value."),
    no_argument_method<&arg_is_word, arg_is_word_name>(
        "is_word($self)\n--\n\n"
        "Returns whether an Arg represents a word.\n\n"
        "Since words are known at compile time, `Arg.matches_word` is more likely to be useful\n"
        "for checks."),
    no_argument_method<&arg_word, arg_word_name>(
        "word($self)\n--\n\n"
        "Returns the text of a word, or `None` for a value.\n\n"
        "The text is exactly as written in the source, so a check can name what it got:\n"
        "\"expected 'open' or 'close', got 'opne'\"."),
    {"matches_word", method_pointer(&arg_matches_word), METH_VARARGS | METH_KEYWORDS,
     "matches_word($self, s)\n--\n\n"
     "Returns whether both an Arg is a word, and that word matches the given string exactly.\n\n"
     "The comparison is a simple byte-wise equality, so diacritics and other non-unique\n"
     "Unicode may complicate things."},
});

auto arg_getset = closed_class_getset();

auto arg_slots = closed_class_slots({
    {Py_tp_doc,
     const_cast<char*>(
         "A class representing the compile-time concept of an argument.\n\n"
         "It is used only in `CallableGenerator.check_syntax`. An argument is either a value or\n"
         "a word. A value stands for a Zo run-time value that cannot be held yet, because Zo\n"
         "values do not exist at compile time; it is recognised with `Arg.is_value`. A word is\n"
         "anything that is not a value, a variable name or a reserved syntactic element; it is\n"
         "known at compile time, and is matched with `Arg.matches_word`, or merely detected\n"
         "with `Arg.is_word`.")},
    {Py_tp_new, slot_pointer(&arg_new)},
    {Py_tp_methods, arg_methods.data()},
    {Py_tp_getset, arg_getset.data()},
});

// Creates a base class from its description. New reference, or null with an
// exception set.
PyObject* create_base_type(PyType_Spec& description) {
  PyRef type = PyRef::steal(create_type(description));
#ifdef PYPY_VERSION
  if (type && !refuse_base_instance_attributes(type.get())) return nullptr;
#endif
  return type.release();
}

}  // namespace

PyObject* create_callable_type() {
  static PyType_Spec type_description =
      make_type_description("zolangpy.Callable", sizeof(PyObject), true, callable_slots.data());
  return create_base_type(type_description);
}

PyObject* create_callable_generator_type() {
  static PyType_Spec type_description = make_type_description(
      "zolangpy.CallableGenerator", sizeof(PyObject), true, generator_slots.data());
  return create_base_type(type_description);
}

PyObject* create_prop_type() {
  static PyType_Spec type_description =
      make_type_description("zolangpy.Prop", sizeof(PyObject), true, prop_slots.data());
  return create_base_type(type_description);
}

PyObject* create_arg_type() {
  static PyType_Spec type_description =
      make_type_description("zolangpy.Arg", sizeof(Instance<ArgObject>), false, arg_slots.data());
  return create_type(type_description);
}

PyRef make_arg(const zolang::Arg& arg) {
  // Copied first, so that nothing can fail once Python's memory is taken.
  zolang::Arg copy = arg;
  return PyRef::steal(allocate<ArgObject>(module_types().arg, BorrowFlag(), std::move(copy)));
}

}  // namespace zolangpy

// --- Registration ---

namespace zolangpy {
namespace {

// Parses (name, value), checks that value's type is `wanted` (or derives
// from it), and makes the adapter for it.
template <typename Native, typename MakeAdapter>
std::optional<Registration<Native>> registration_of(PyObject* args, PyObject* kwargs,
                                                    const char* function, PyTypeObject* wanted,
                                                    const char* refusal, MakeAdapter make_adapter) {
  Registration<Native> registration;
  PyObject* name = nullptr;
  PyObject* value = nullptr;
  if (!parse_arguments(args, kwargs, function, {{"name", &name}, {"value", &value}}, 2)) {
    return std::nullopt;
  }
  auto text = string_argument(name, "name");
  if (!text) return std::nullopt;
  if (!has_type(value, wanted)) {
    raise_zo_error(refusal);
    return std::nullopt;
  }
  registration.name.assign(*text);
  registration.adapter = make_adapter(value);
  if (!registration.adapter) return std::nullopt;  // the adapter could not read the object
  return registration;
}

PyObject* check_type(PyObject* args, PyObject* kwargs, const char* function, PyTypeObject* wanted) {
  return guarded([&]() -> PyObject* {
    PyObject* value = nullptr;
    if (!parse_arguments(args, kwargs, function, {{"value", &value}}, 1)) return nullptr;
    return new_bool(has_type(value, wanted));
  });
}

}  // namespace

PyObject* check_if_prop(PyObject* args, PyObject* kwargs, const char* function) {
  return check_type(args, kwargs, function, module_types().prop);
}

PyObject* check_if_callable(PyObject* args, PyObject* kwargs, const char* function) {
  return check_type(args, kwargs, function, module_types().callable_generator);
}

template <>
std::optional<Registration<zolang::CallableGenerator>> parse_registration(PyObject* args,
                                                                          PyObject* kwargs,
                                                                          const char* function) {
  return registration_of<zolang::CallableGenerator>(
      args, kwargs, function, module_types().callable_generator,
      "Not an instance of zolangpy.CallableGenerator", make_generator_adapter);
}

template <>
std::optional<Registration<zolang::Prop>> parse_registration(PyObject* args, PyObject* kwargs,
                                                             const char* function) {
  return registration_of<zolang::Prop>(args, kwargs, function, module_types().prop,
                                       "Not an instance of zolangpy.Prop", make_prop_adapter);
}

PyObject* registration_result(const std::expected<void, zolang::Error>& registered) {
  if (!registered) return raise_error(registered.error());
  Py_RETURN_NONE;
}

const char check_if_prop_doc[] =
    "check_if_prop(value)\n--\n\n"
    "Checks if a value is a subclass of `Prop`.\n\n"
    "This method exists mainly for the implementation's convenience and should be treated as\n"
    "deprecated, though it is unlikely ever to be removed.";

const char check_if_callable_doc[] =
    "check_if_callable(value)\n--\n\n"
    "Checks if a value is a subclass of `CallableGenerator`.\n\n"
    "This method exists mainly for the implementation's convenience and should be treated as\n"
    "deprecated, though it is unlikely ever to be removed.";

const char register_callable_doc[] =
    "register_callable($self, name, value)\n--\n\n"
    "Registers the given `CallableGenerator` under the provided name.\n\n"
    "A value that is not a `CallableGenerator` raises an exception. A name is valid in a\n"
    "program only when a generator is registered for it, and the generator is invoked whenever\n"
    "the name is used as a call.";

const char register_property_doc[] =
    "register_property($self, name, value)\n--\n\n"
    "Registers the given `Prop` under the provided name.\n\n"
    "A value that is not a `Prop` raises an exception. The name is given without the leading\n"
    "dollar sign ($), which the compiler handles itself. A name is valid in a program only when\n"
    "a `Prop` is registered for it, whose methods are then used wherever the name is\n"
    "referenced.";

}  // namespace zolangpy
