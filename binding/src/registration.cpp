#include "registration.hpp"

#include "adapters.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "type_support.hpp"

namespace zolangpy {
namespace {

// Parses (name, value) and checks value's type; the str view lives as long
// as the caller's arguments.
bool parse_registration(PyObject* args, PyObject* kwargs, const char* function,
                        PyTypeObject* wanted, const char* refusal, std::string& name,
                        PyObject*& value) {
  PyObject* name_object = nullptr;
  if (!parse_arguments(args, kwargs, function, {{"name", &name_object}, {"value", &value}}, 2)) {
    return false;
  }
  auto text = string_argument(name_object, "name");
  if (!text) return false;
  if (!has_type(value, wanted)) {
    raise_zo_error(refusal);
    return false;
  }
  name.assign(*text);
  return true;
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

std::optional<Registration<zolang::CallableGenerator>> parse_callable_registration(
    PyObject* args, PyObject* kwargs, const char* function) {
  Registration<zolang::CallableGenerator> registration;
  PyObject* value = nullptr;
  if (!parse_registration(args, kwargs, function, module_types().callable_generator,
                          "Not an instance of zolangpy.CallableGenerator", registration.name,
                          value)) {
    return std::nullopt;
  }
  registration.adapter = make_generator_adapter(value);
  return registration;
}

std::optional<Registration<zolang::Prop>> parse_property_registration(PyObject* args,
                                                                      PyObject* kwargs,
                                                                      const char* function) {
  Registration<zolang::Prop> registration;
  PyObject* value = nullptr;
  if (!parse_registration(args, kwargs, function, module_types().prop,
                          "Not an instance of zolangpy.Prop", registration.name, value)) {
    return std::nullopt;
  }
  registration.adapter = make_prop_adapter(value);
  return registration;
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
