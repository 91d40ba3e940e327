// What Compiler and Interpreter share: register_callable and
// register_property with the instance checks that guard them, and the static
// methods check_if_prop and check_if_callable, with their docstrings.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <zolang/error.hpp>
#include <zolang/native.hpp>

#include "python.hpp"

namespace zolangpy {

template <typename Native>
struct Registration {
  std::string name;
  std::unique_ptr<Native> adapter;
};

// Parses (name, value) for `function` ("Class.register_callable"): `name`
// must be a str and `value` an instance of CallableGenerator, else ZoError
// "Not an instance of zolangpy.CallableGenerator". Returns the name and the
// adapter wrapping `value`; nothing, with an exception raised, on failure.
std::optional<Registration<zolang::CallableGenerator>> parse_callable_registration(
    PyObject* args, PyObject* kwargs, const char* function);
// The same for register_property, with Prop in place of CallableGenerator.
std::optional<Registration<zolang::Prop>> parse_property_registration(PyObject* args,
                                                                      PyObject* kwargs,
                                                                      const char* function);

// None after a registration that succeeded; otherwise raises ZoError and
// returns null.
PyObject* registration_result(const std::expected<void, zolang::Error>& registered);

// register_callable(name, value) and register_property(name, value) for a
// class whose natives live in `natives` (a ZoCompiler or an Interpreter):
// parses the arguments for `function` and registers the adapter. None, or
// null with an exception raised.
template <typename Natives>
PyObject* register_callable(Natives& natives, PyObject* args, PyObject* kwargs,
                            const char* function) {
  auto registration = parse_callable_registration(args, kwargs, function);
  if (!registration) return nullptr;
  return registration_result(
      natives.register_callable(std::move(registration->name), std::move(registration->adapter)));
}

template <typename Natives>
PyObject* register_property(Natives& natives, PyObject* args, PyObject* kwargs,
                            const char* function) {
  auto registration = parse_property_registration(args, kwargs, function);
  if (!registration) return nullptr;
  return registration_result(
      natives.register_property(std::move(registration->name), std::move(registration->adapter)));
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

// Docstrings shared by both classes. (Method table entries are built in each
// class's own file: copying one across files would depend on the order in
// which files are initialised.)
extern const char check_if_prop_doc[];
extern const char check_if_callable_doc[];
extern const char register_callable_doc[];
extern const char register_property_doc[];

}  // namespace zolangpy
