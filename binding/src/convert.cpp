// Values both ways, the checks on arguments, set_limits' arguments, and the
// diagnostics dicts.
#include "convert.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "errors.hpp"
#include "runtime.hpp"
#include "types.hpp"

namespace zolangpy {
namespace {

// numpy's boolean scalar, recognised by name so that numpy is never imported:
// "numpy.bool_" (or "numpy.bool" in numpy 2). The cheap check on the type's
// own name comes first, so ordinary results pay a string comparison only.
bool is_numpy_bool(PyTypeObject* type) {
  const char* name = short_type_name(type);
  if (std::strcmp(name, "bool_") != 0 && std::strcmp(name, "bool") != 0) return false;
  PyRef module = PyRef::steal(running_python(
      [&] { return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"); }));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

enum class Truth { NotBoolean, False, True, Failed };

// Reads a bool or numpy's boolean; numpy's goes through its __bool__, which
// can fail (Failed, with the exception set).
Truth read_boolean(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True ? Truth::True : Truth::False;
  if (!is_numpy_bool(Py_TYPE(object))) return Truth::NotBoolean;
  int truth = running_python([&] { return PyObject_IsTrue(object); });
  if (truth < 0) return Truth::Failed;
  return truth > 0 ? Truth::True : Truth::False;
}

zolang::Error cast_error(PyObject* object, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as '%s'",
               short_type_name(Py_TYPE(object)), target);
  return error_from_python();
}

// An int, but not a bool: True is neither a budget nor a line anyone means.
bool is_integer(PyObject* object) { return PyLong_Check(object) && !PyBool_Check(object); }

void raise_argument_error(PyObject* object, const char* name, const char* target) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be cast as '%s'", name,
               short_type_name(Py_TYPE(object)), target);
}

}  // namespace

PyRef value_to_python(const zolang::Value& value) {
  switch (value.kind()) {
    case zolang::Value::Kind::Number:
      return PyRef::steal(PyFloat_FromDouble(value.as_number()));
    case zolang::Value::Kind::String: {
      std::string_view text = value.as_string();
      // Library strings come from Python str or UTF-8 source, so "replace"
      // never triggers in practice; it keeps a stray byte from failing a run.
      return PyRef::steal(
          PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    }
    case zolang::Value::Kind::Boolean:
      return PyRef::borrow(value.as_boolean() ? Py_True : Py_False);
    case zolang::Value::Kind::Nil:
      return PyRef::borrow(Py_None);
  }
  return PyRef::borrow(Py_None);
}

[[nodiscard]] std::expected<zolang::Value, zolang::Error> value_from_python(PyObject* object) {
  switch (read_boolean(object)) {
    case Truth::True:
      return zolang::Value::boolean(true);
    case Truth::False:
      return zolang::Value::boolean(false);
    case Truth::Failed:
      PyErr_Clear();
      break;
    case Truth::NotBoolean:
      break;
  }

  double number = running_python([&] { return PyFloat_AsDouble(object); });
  if (number != -1.0 || !PyErr_Occurred()) return zolang::Value::number(number);
  PyErr_Clear();

  if (object == Py_None) return zolang::Value::nil();
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text != nullptr) {
      return zolang::Value::string(std::string_view(text, static_cast<std::size_t>(size)));
    }
    PyErr_Clear();
  }
  PyErr_SetString(PyExc_TypeError, "Only primitive types allowed");
  return std::unexpected(error_from_python());
}

[[nodiscard]] std::expected<bool, zolang::Error> bool_from_python(PyObject* object,
                                                                  std::optional<bool> none_value) {
  if (object == Py_None && none_value) return *none_value;
  switch (read_boolean(object)) {
    case Truth::True:
      return true;
    case Truth::False:
      return false;
    case Truth::Failed:
      return std::unexpected(error_from_python());
    case Truth::NotBoolean:
      break;
  }
  return std::unexpected(cast_error(object, "bool"));
}

std::optional<std::string_view> string_argument(PyObject* object, const char* name) {
  if (!PyUnicode_Check(object)) {
    raise_argument_error(object, name, "str");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return std::nullopt;
  return std::string_view(text, static_cast<std::size_t>(size));
}

bool list_argument(PyObject* object, const char* name) {
  if (PyList_Check(object)) return true;
  raise_argument_error(object, name, "list");
  return false;
}

bool line_list_argument(PyObject* object, const char* name, std::vector<std::uint32_t>& lines) {
  if (!list_argument(object, name)) return false;
  // Each item is held while it is read: an int subclass's code may empty the list.
  for (Py_ssize_t i = 0; i < PyList_Size(object); ++i) {
    PyRef item = PyRef::borrow(PyList_GetItem(object, i));
    if (!item || !is_integer(item.get())) {
      if (item) raise_argument_error(item.get(), name, "int");
      return false;
    }
    int overflow = 0;
    long long line = PyLong_AsLongLongAndOverflow(item.get(), &overflow);
    if (line == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && line < 1)) {
      PyErr_Format(PyExc_ValueError, "argument '%s': a line is at least 1, got %R", name,
                   item.get());
      return false;
    }
    if (overflow > 0 || line > UINT32_MAX) {
      PyErr_Format(PyExc_ValueError, "argument '%s': no source has line %R", name, item.get());
      return false;
    }
    lines.push_back(static_cast<std::uint32_t>(line));
  }
  return true;
}

bool parse_arguments(PyObject* args, PyObject* kwargs, const char* function,
                     std::initializer_list<Parameter> parameters, std::size_t required) {
  // The C API's keyword list is not const-correct before Python 3.13.
  char* names[3] = {nullptr, nullptr, nullptr};
  PyObject** outs[2] = {nullptr, nullptr};
  std::string format;
  std::size_t count = 0;
  for (const Parameter& parameter : parameters) {
    if (count == required) format += '|';
    format += 'O';
    names[count] = const_cast<char*>(parameter.name);
    outs[count] = parameter.out;
    ++count;
  }
  format += ':';
  format += function;
  if (count == 1) return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), names, outs[0]);
  return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), names, outs[0], outs[1]);
}

}  // namespace zolangpy

// --- Limits ---

namespace zolangpy {
namespace {

using zolang::Limits;

// A count of units or bytes: any integer, as range() takes them (numpy's
// too), but not a bool; beyond the range of a long long is more than any
// run can spend, so no limit.
bool read_count(PyObject* object, const char* name, std::optional<std::uint64_t>& count) {
  if (object == nullptr || object == Py_None) return true;
  if (PyBool_Check(object) || !PyIndex_Check(object)) {
    raise_argument_error(object, name, "int");
    return false;
  }
  PyRef integer = PyRef::steal(PyNumber_Index(object));
  if (!integer) return false;
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    PyErr_Format(PyExc_ValueError, "argument '%s': must not be negative, got %R", name, object);
    return false;
  }
  if (overflow == 0) count = static_cast<std::uint64_t>(value);
  return true;
}

bool read_seconds(PyObject* object, Limits& limits) {
  if (object == nullptr || object == Py_None) return true;
  if (!PyFloat_Check(object) && !is_integer(object)) {
    raise_argument_error(object, "seconds", "float");
    return false;
  }
  double seconds = 0;
  if (is_integer(object)) {
    int overflow = 0;
    long long whole = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (whole == -1 && PyErr_Occurred()) return false;
    if (overflow > 0) return true;  // more seconds than a long long holds: no limit
    seconds = overflow < 0 ? -1.0 : static_cast<double>(whole);
  } else {
    seconds = PyFloat_AsDouble(object);
  }
  if (std::isnan(seconds)) {
    PyErr_SetString(PyExc_ValueError, "argument 'seconds': must be a number, not NaN");
    return false;
  }
  if (seconds < 0) {
    PyErr_Format(PyExc_ValueError, "argument 'seconds': must not be negative, got %R", object);
    return false;
  }
  // Nanoseconds up to a century; anything longer (infinity included) is no limit.
  constexpr double century = 100.0 * 365 * 24 * 3600;
  if (seconds <= century) {
    limits.time = std::chrono::nanoseconds(static_cast<std::int64_t>(std::ceil(seconds * 1e9)));
  }
  return true;
}

}  // namespace

std::optional<Limits> parse_limits(PyObject* args, PyObject* kwargs) {
  // The C API's keyword list is not const-correct before Python 3.13.
  char instructions_name[] = "instructions";
  char seconds_name[] = "seconds";
  char memory_name[] = "memory";
  char* names[] = {instructions_name, seconds_name, memory_name, nullptr};
  PyObject* instructions = nullptr;
  PyObject* seconds = nullptr;
  PyObject* memory = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOO:Interpreter.set_limits", names,
                                   &instructions, &seconds, &memory)) {
    return std::nullopt;
  }
  Limits limits;
  if (!read_count(instructions, "instructions", limits.instructions) ||
      !read_seconds(seconds, limits) || !read_count(memory, "memory", limits.memory)) {
    return std::nullopt;
  }
  return limits;
}

}  // namespace zolangpy

// --- Diagnostics ---

namespace zolangpy {
namespace {

PyRef new_text(const std::string& text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// Line and column numbers are 1-based; 0 is the library's "unknown".
PyRef new_optional_text(const std::optional<std::string>& text) {
  if (!text) return PyRef::borrow(Py_None);
  return new_text(*text);
}

PyRef new_place(std::uint32_t number) {
  if (number == 0) return PyRef::borrow(Py_None);
  return PyRef::steal(PyLong_FromUnsignedLong(number));
}

PyRef new_address(std::optional<std::size_t> address) {
  if (!address) return PyRef::borrow(Py_None);
  return PyRef::steal(PyLong_FromSize_t(*address));
}

// A tuple of the given items; null if any is null or the tuple cannot be made.
template <typename... Items>
PyRef new_tuple(Items... items) {
  if ((!items || ...)) return PyRef();
  return PyRef::steal(PyTuple_Pack(sizeof...(Items), items.get()...));
}

// Builds a list of `convert(item)` for each item; null on failure.
template <typename Items, typename Convert>
PyRef new_list(const Items& items, Convert convert) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return list;
  for (const auto& item : items) {
    PyRef converted = convert(item);
    if (!converted || PyList_Append(list.get(), converted.get()) != 0) return PyRef();
  }
  return list;
}

// Sets each (key, value) pair; false if a value is null or setting fails.
bool fill(PyObject* dict, std::initializer_list<std::pair<const char*, PyRef*>> entries) {
  for (const auto& [key, value] : entries) {
    if (!*value || PyDict_SetItemString(dict, key, value->get()) != 0) return false;
  }
  return true;
}

}  // namespace

PyRef diagnostic_to_python(const zolang::Error& error) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return dict;
  const zolang::SourceSpan& span = error.span;
  PyRef text = new_text(error.render());
  PyRef message = new_text(error.message());
  PyRef line = new_place(span.line);
  PyRef column = new_place(span.column);
  PyRef end_line = new_place(span.end_line);
  PyRef end_column = new_place(span.end_column);
  PyRef notes = new_list(error.notes, [](const zolang::Note& note) {
    return new_tuple(new_text(note.message), new_place(note.position.line),
                     new_place(note.position.line == 0 ? 0 : note.position.column));
  });
  bool filled = fill(dict.get(), {{"text", &text},
                                  {"message", &message},
                                  {"line", &line},
                                  {"column", &column},
                                  {"end_line", &end_line},
                                  {"end_column", &end_column},
                                  {"notes", &notes}});
  return filled ? std::move(dict) : PyRef();
}

PyRef failure_to_python(const zolang::Failure& failure) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return dict;
  const zolang::SourcePosition& position = failure.position;
  PyRef text = new_text(failure.error.render());
  PyRef address = new_address(failure.address);
  PyRef line = new_place(position.line);
  PyRef column = new_place(position.line == 0 ? 0 : position.column);
  PyRef trace = new_list(failure.trace, [](const zolang::TraceEntry& entry) {
    return new_tuple(new_text(entry.group), new_place(entry.position.line));
  });
  bool filled = fill(dict.get(), {{"text", &text},
                                  {"address", &address},
                                  {"line", &line},
                                  {"column", &column},
                                  {"trace", &trace}});
  return filled ? std::move(dict) : PyRef();
}

PyRef call_site_to_python(const zolang::CallSite& site) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return dict;
  PyRef address = new_address(site.address);
  PyRef line = new_place(site.position.line);
  PyRef column = new_place(site.position.line == 0 ? 0 : site.position.column);
  PyRef context = PyRef::steal(PyLong_FromUnsignedLongLong(site.context));
  PyRef group = new_optional_text(site.group);
  bool filled = fill(dict.get(), {{"address", &address},
                                  {"line", &line},
                                  {"column", &column},
                                  {"context", &context},
                                  {"group", &group}});
  return filled ? std::move(dict) : PyRef();
}

PyRef contexts_to_python(const std::vector<zolang::ContextView>& views) {
  return new_list(views, [](const zolang::ContextView& view) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return dict;
    PyRef id = PyRef::steal(PyLong_FromUnsignedLongLong(view.id));
    PyRef parent = view.parent ? PyRef::steal(PyLong_FromUnsignedLongLong(*view.parent))
                               : PyRef::borrow(Py_None);
    PyRef group = new_optional_text(view.group);
    PyRef line = new_place(view.position.line);
    PyRef column = new_place(view.position.line == 0 ? 0 : view.position.column);
    PyRef waiting = new_optional_text(view.waiting);
    PyRef mode = PyRef::borrow(Py_None);
    if (view.mode) mode = new_text(*view.mode == zolang::BlockMode::Race ? "race" : "parallel");
    PyRef branch =
        view.branch ? PyRef::steal(PyLong_FromUnsignedLong(*view.branch)) : PyRef::borrow(Py_None);
    bool filled = fill(dict.get(), {{"id", &id},
                                    {"parent", &parent},
                                    {"group", &group},
                                    {"line", &line},
                                    {"column", &column},
                                    {"waiting", &waiting},
                                    {"mode", &mode},
                                    {"branch", &branch}});
    return filled ? std::move(dict) : PyRef();
  });
}

namespace {

PyRef new_span(const zolang::SourceSpan& span) {
  return new_tuple(new_place(span.line), new_place(span.column), new_place(span.end_line),
                   new_place(span.end_column));
}

PyRef new_index(std::optional<std::size_t> index) { return new_address(index); }

// A dict of the given entries; null if any value is null.
PyRef new_dict(std::initializer_list<std::pair<const char*, PyRef*>> entries) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !fill(dict.get(), entries)) return PyRef();
  return dict;
}

PyRef group_to_python(const zolang::OutlineGroup& group) {
  PyRef name = new_text(group.name);
  PyRef span = new_span(group.name_span);
  PyRef extent = new_span(group.extent);
  PyRef params = new_list(group.params, [](const zolang::OutlineParam& param) {
    PyRef text = new_text(param.text);
    PyRef value = PyRef::borrow(param.value ? Py_True : Py_False);
    PyRef place = new_span(param.span);
    return new_dict({{"text", &text}, {"value", &value}, {"span", &place}});
  });
  return new_dict({{"name", &name}, {"span", &span}, {"extent", &extent}, {"params", &params}});
}

PyRef variable_to_python(const zolang::OutlineVariable& variable) {
  PyRef name = new_text(variable.name);
  PyRef scope = new_index(variable.scope);
  PyRef parameter = PyRef::borrow(variable.parameter ? Py_True : Py_False);
  PyRef defined = new_span(variable.defined);
  PyRef places = new_list(variable.places, new_span);
  return new_dict({{"name", &name},
                   {"scope", &scope},
                   {"parameter", &parameter},
                   {"defined", &defined},
                   {"places", &places}});
}

PyRef call_to_python(const zolang::OutlineCall& call) {
  PyRef name = new_text(call.name);
  PyRef span = new_span(call.span);
  PyRef target = call.target == zolang::CallTarget::Group    ? new_text("group")
                 : call.target == zolang::CallTarget::Native ? new_text("native")
                                                             : PyRef::borrow(Py_None);
  PyRef group = new_index(call.group);
  PyRef scope = new_index(call.scope);
  return new_dict({{"name", &name},
                   {"span", &span},
                   {"target", &target},
                   {"group", &group},
                   {"scope", &scope}});
}

}  // namespace

PyRef outline_to_python(const zolang::Outline& outline) {
  PyRef complete = PyRef::borrow(outline.complete ? Py_True : Py_False);
  PyRef groups = new_list(outline.groups, group_to_python);
  PyRef uses = new_list(outline.uses, [](const zolang::OutlineUse& use) {
    PyRef name = new_text(use.name);
    PyRef span = new_span(use.span);
    return new_dict({{"name", &name}, {"span", &span}});
  });
  PyRef variables = new_list(outline.variables, variable_to_python);
  PyRef calls = new_list(outline.calls, call_to_python);
  return new_dict({{"complete", &complete},
                   {"groups", &groups},
                   {"uses", &uses},
                   {"variables", &variables},
                   {"calls", &calls}});
}

// --- Debugging ---

namespace {

const char* reason_name(zolang::SuspendReason reason) {
  switch (reason) {
    case zolang::SuspendReason::Breakpoint:
      return "breakpoint";
    case zolang::SuspendReason::Step:
      return "step";
    case zolang::SuspendReason::Pause:
      return "pause";
    case zolang::SuspendReason::Exception:
      return "exception";
  }
  return "pause";
}

PyRef new_id(std::optional<std::uint64_t> id) {
  if (!id) return PyRef::borrow(Py_None);
  return PyRef::steal(PyLong_FromUnsignedLongLong(*id));
}

PyRef frame_to_python(const zolang::DebugFrame& frame) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return dict;
  PyRef group = frame.group ? new_text(*frame.group) : PyRef::borrow(Py_None);
  PyRef address = new_address(frame.address);
  PyRef line = new_place(frame.position.line);
  PyRef column = new_place(frame.position.line == 0 ? 0 : frame.position.column);
  PyRef variables = PyRef::steal(PyDict_New());
  if (!variables) return PyRef();
  for (const auto& [name, value] : frame.variables) {
    PyRef converted = value_to_python(value);
    if (!converted || PyDict_SetItemString(variables.get(), name.c_str(), converted.get()) != 0) {
      return PyRef();
    }
  }
  bool filled = fill(dict.get(), {{"group", &group},
                                  {"address", &address},
                                  {"line", &line},
                                  {"column", &column},
                                  {"variables", &variables}});
  return filled ? std::move(dict) : PyRef();
}

}  // namespace

PyRef suspension_to_python(const zolang::Suspension& suspension) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return dict;
  PyRef reason = PyRef::steal(PyUnicode_FromString(reason_name(suspension.reason)));
  PyRef context = new_id(suspension.context);
  PyRef address = new_address(suspension.address);
  PyRef line = new_place(suspension.position.line);
  PyRef column = new_place(suspension.position.line == 0 ? 0 : suspension.position.column);
  PyRef error = suspension.error ? new_text(suspension.error->render()) : PyRef::borrow(Py_None);
  bool filled = fill(dict.get(), {{"reason", &reason},
                                  {"context", &context},
                                  {"address", &address},
                                  {"line", &line},
                                  {"column", &column},
                                  {"error", &error}});
  return filled ? std::move(dict) : PyRef();
}

PyRef debug_contexts_to_python(const std::vector<zolang::DebugContext>& contexts) {
  return new_list(contexts, [](const zolang::DebugContext& context) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return dict;
    PyRef id = new_id(context.id);
    PyRef parent = new_id(context.parent);
    PyRef branch = new_id(context.branch);
    PyRef frames = new_list(context.frames, frame_to_python);
    bool filled = fill(
        dict.get(), {{"id", &id}, {"parent", &parent}, {"branch", &branch}, {"frames", &frames}});
    return filled ? std::move(dict) : PyRef();
  });
}

}  // namespace zolangpy
