#include "diagnostics.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace zolangpy {
namespace {

PyRef new_text(const std::string& text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyRef new_optional_text(const std::optional<std::string>& text) {
  if (!text) return PyRef::borrow(Py_None);
  return new_text(*text);
}

// Line and column numbers are 1-based; 0 is the library's "unknown".
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
    if (view.mode) {
      mode = new_text(*view.mode == zolang::BlockMode::Race ? "race" : "parallel");
    }
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

}  // namespace zolangpy
