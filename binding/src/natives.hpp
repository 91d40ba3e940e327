// The natives, the host's objects that a program calls, as both sides see
// them: the base classes a host derives from and Arg; the adapters through
// which the library calls them; their registration with a Compiler or an
// Interpreter; the interned names of the methods the adapters call.
#pragma once

#include <array>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <zolang/error.hpp>
#include <zolang/native.hpp>

#include "py_ref.hpp"
#include "python.hpp"
#include "types.hpp"

namespace zolangpy {

// --- The classes ---

// The Python side of the native interfaces: the base classes Callable,
// CallableGenerator and Prop that host code subclasses, and Arg, through which
// a syntax check inspects a call site. The base classes' methods are the
// defaults a subclass inherits: most raise NotImplementedError.

// The state of an Arg instance, after Python's header: one immutable library
// Arg.
struct ArgObject {
  BorrowFlag use;
  zolang::Arg arg;
};

// Type creators for the module initialiser: new references, or null with an
// exception set.
PyObject* create_callable_type();
PyObject* create_callable_generator_type();
PyObject* create_prop_type();
PyObject* create_arg_type();

// A new Arg object holding a copy of `arg`; null with an exception set.
PyRef make_arg(const zolang::Arg& arg);

// --- Adapters ---

// The adapters through which the library calls host objects: each implements
// one native interface by calling the method of the same role on the Python
// object it wraps, looked up by name at each call (so overrides, even ones set
// on the instance, are seen). Every operation takes the GIL for its call into
// Python; a Python exception becomes the Native error carrying its repr().

// Wraps `object`, which must be an instance of CallableGenerator (the caller
// checks); the adapter owns one strong reference to it. Reads the object's
// `words_at_run_time` once, here: null, with the exception set, when that
// fails.
std::unique_ptr<zolang::CallableGenerator> make_generator_adapter(PyObject* object);
// Wraps `object`, an instance of Prop (checked by the caller).
std::unique_ptr<zolang::Prop> make_prop_adapter(PyObject* object);

// --- Registration ---

// What Compiler and Interpreter share: register_callable and
// register_property with the instance checks that guard them, and the static
// methods check_if_prop and check_if_callable, with their docstrings.

template <typename Native>
struct Registration {
  std::string name;
  std::unique_ptr<Native> adapter;
};

// Parses (name, value) for `function` ("Class.register_callable"): `name`
// must be a str and `value` an instance of the base class of its kind
// (CallableGenerator for a zolang::CallableGenerator, Prop for a
// zolang::Prop), else ZoError "Not an instance of zolangpy.CallableGenerator"
// (or "...Prop"). Returns the name and the adapter wrapping `value`; nothing,
// with an exception raised, on failure.
template <typename Native>
std::optional<Registration<Native>> parse_registration(PyObject* args, PyObject* kwargs,
                                                       const char* function);
template <>
std::optional<Registration<zolang::CallableGenerator>> parse_registration(PyObject* args,
                                                                          PyObject* kwargs,
                                                                          const char* function);
template <>
std::optional<Registration<zolang::Prop>> parse_registration(PyObject* args, PyObject* kwargs,
                                                             const char* function);

// None after a registration that succeeded; otherwise raises ZoError and
// returns null.
PyObject* registration_result(const std::expected<void, zolang::Error>& registered);

// register_callable(name, value) (for `Native` zolang::CallableGenerator) or
// register_property(name, value) (zolang::Prop) as a method of the class
// whose payload `Payload` keeps its natives (a ZoCompiler or an Interpreter)
// in member `Natives`, under exclusive use; `Function` names the method in
// argument errors. None, or null with an exception raised.
template <typename Native, typename Payload, auto Natives, const char* Function>
PyObject* register_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_payload<Payload, Access::Exclusive>(self, [&](Payload& object) -> PyObject* {
    auto registration = parse_registration<Native>(args, kwargs, Function);
    if (!registration) return nullptr;
    auto& natives = object.*Natives;
    std::string& name = registration->name;
    std::unique_ptr<Native>& adapter = registration->adapter;
    if constexpr (std::is_same_v<Native, zolang::Prop>) {
      return registration_result(natives.register_property(std::move(name), std::move(adapter)));
    } else {
      return registration_result(natives.register_callable(std::move(name), std::move(adapter)));
    }
  });
}

// The static methods check_if_prop(value) and check_if_callable(value): True
// exactly when the type of `value` is Prop (CallableGenerator) or a subtype.
// `function` names the method in argument errors ("Compiler.check_if_prop").
PyObject* check_if_prop(PyObject* args, PyObject* kwargs, const char* function);
PyObject* check_if_callable(PyObject* args, PyObject* kwargs, const char* function);

// The two as static methods of a class; `Function` is the name above.
template <const char* Function>
PyObject* check_if_prop_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return check_if_prop(args, kwargs, Function);
}
template <const char* Function>
PyObject* check_if_callable_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return check_if_callable(args, kwargs, Function);
}

// Docstrings shared by both classes.
extern const char check_if_prop_doc[];
extern const char check_if_callable_doc[];
extern const char register_callable_doc[];
extern const char register_property_doc[];

// The method-table rows of the four methods above for such a class. `Names`
// holds, as static char arrays, what each reports in argument errors:
// check_if_prop ("Compiler.check_if_prop"), check_if_callable,
// register_callable and register_property. Built when the class's table is
// (copying a table row across files would depend on the order in which files
// are initialised).
template <typename Payload, auto Natives, typename Names>
std::array<PyMethodDef, 4> registration_rows() {
  return {{
      {"check_if_prop", method_pointer(&check_if_prop_method<Names::check_if_prop>),
       METH_VARARGS | METH_KEYWORDS | METH_STATIC, check_if_prop_doc},
      {"check_if_callable", method_pointer(&check_if_callable_method<Names::check_if_callable>),
       METH_VARARGS | METH_KEYWORDS | METH_STATIC, check_if_callable_doc},
      {"register_callable",
       method_pointer(
           &register_method<zolang::CallableGenerator, Payload, Natives, Names::register_callable>),
       METH_VARARGS | METH_KEYWORDS, register_callable_doc},
      {"register_property",
       method_pointer(&register_method<zolang::Prop, Payload, Natives, Names::register_property>),
       METH_VARARGS | METH_KEYWORDS, register_property_doc},
  }};
}

// --- Method names ---

// The names of the methods the adapters call on host objects, created once
// per process as interned strings so that each call skips building one.

struct MethodNames {
  PyObject* check_syntax = nullptr;
  PyObject* generate = nullptr;
  PyObject* call = nullptr;
  PyObject* terminate = nullptr;
  PyObject* get = nullptr;
  PyObject* set = nullptr;
  PyObject* is_settable = nullptr;
  PyObject* result = nullptr;             // optional: a Callable without it gives nil
  PyObject* words_at_run_time = nullptr;  // optional: read once, at registration
};

// Valid after intern_method_names() succeeded; the strings live for the
// process.
const MethodNames& method_names();
// Creates the names; returns false with an exception set. Idempotent.
bool intern_method_names();

}  // namespace zolangpy
