// Compiler.split_ir_words(line): the words of one IR line, as the IR reader
// splits them (at spaces outside double-quoted runs, walking grapheme
// clusters).
#include "ir_words.hpp"

#include <string_view>
#include <zolang/ir.hpp>

#include "py_ref.hpp"
#include "runtime.hpp"

namespace zolangpy {
namespace {

PyObject* split_ir_words(PyObject*, PyObject* line) {
  return guarded([&]() -> PyObject* {
    if (!PyUnicode_Check(line)) {
      return PyErr_Format(PyExc_TypeError,
                          "Compiler.split_ir_words() argument must be str, not %.200s",
                          Py_TYPE(line)->tp_name);
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(line, &size);
    if (text == nullptr) return nullptr;  // a lone surrogate has no UTF-8
    auto words = zolang::split_words(std::string_view(text, static_cast<std::size_t>(size)));
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(words.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < words.size(); ++i) {
      PyRef word = PyRef::steal(
          PyUnicode_FromStringAndSize(words[i].data(), static_cast<Py_ssize_t>(words[i].size())));
      if (!word || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), word.release()) < 0) {
        return nullptr;
      }
    }
    return list.release();
  });
}

const char split_ir_words_doc[] =
    "split_ir_words(line)\n--\n\n"
    "The words of one line of IR text, split as the IR reader splits them: at spaces outside\n"
    "double-quoted runs, where a space or quote joined to a combining mark counts as neither.\n"
    "Always at least one word.";

}  // namespace

PyMethodDef split_ir_words_method() {
  return {"split_ir_words", split_ir_words, METH_O | METH_STATIC, split_ir_words_doc};
}

}  // namespace zolangpy
