// Compiler's methods, its tables and its type.
#include "compiler_type.hpp"

#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <vector>
#include <zolang/ir.hpp>
#include <zolang/lib.hpp>

#include "convert.hpp"
#include "errors.hpp"
#include "interpreter_type.hpp"
#include "ir_words.hpp"
#include "natives.hpp"
#include "runtime.hpp"
#include "types.hpp"

namespace zolangpy {
namespace {

// The state of one Python Compiler, after Python's header: the library facade
// with the registered natives, and the outcome of the most recent compilation
// (its errors, or its program until into_raw or into_interpreter takes it).
struct CompilerObject {
  BorrowFlag use;
  zolang::ZoCompiler compiler;
  std::vector<zolang::Error> errors;
  std::optional<zolang::Bytecode> program;
};

// The opening of every method: `body(object)` under the use `access` asks
// for.
template <Access access, typename Body>
PyObject* with_object(PyObject* self, Body&& body) {
  return with_payload<CompilerObject, access>(self, std::forward<Body>(body));
}

PyObject* compiler_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!accepts_type(type, module_types().compiler, false)) return nullptr;
    char* no_names[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":Compiler", no_names)) return nullptr;
    return allocate<CompilerObject>(type);
  });
}

// Writes all of `text` to file descriptor 1, past short writes and signals.
void write_stdout(std::string_view text) {
  while (!text.empty()) {
    ssize_t written = ::write(1, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // standard output is gone; there is no one left to tell
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

PyObject* compiler_compile(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_object<Access::Exclusive>(self, [&](CompilerObject& object) -> PyObject* {
    PyObject* source_object = nullptr;
    if (!parse_arguments(args, kwargs, "Compiler.compile", {{"source", &source_object}}, 1)) {
      return nullptr;
    }
    auto source = string_argument(source_object, "source");
    if (!source) return nullptr;
    bool compiled = false;
    HostExceptions host_exceptions;
    {
      // Other Python threads may run meanwhile; the exclusive use above keeps
      // them off this object, and the source string stays alive in `args`.
      GilRelease released;
      object.errors.clear();
      object.program.reset();
      auto result = object.compiler.compile_nonconsuming(*source);
      compiled = result.has_value();
      if (compiled) {
        object.program = std::move(*result);
      } else {
        object.errors = std::move(result.error());
      }
    }
    // A KeyboardInterrupt in a syntax check, say: the errors are stored as
    // usual, and the exception goes on to the caller.
    if (host_exceptions.raise_leaving()) return nullptr;
    return new_bool(compiled);
  });
}

PyObject* compiler_into_raw(PyObject* self, PyObject*) {
  return with_object<Access::Exclusive>(self, [&](CompilerObject& object) -> PyObject* {
    if (!object.program) return raise_zo_error("No program to convert");
    std::string text = zolang::print_program(*object.program);
    object.program.reset();
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* compiler_has_program(PyObject* self, PyObject*) {
  return with_object<Access::Shared>(self, [&](CompilerObject& object) -> PyObject* {
    return new_bool(object.program.has_value());
  });
}

PyObject* compiler_print_errors(PyObject* self, PyObject*) {
  return with_object<Access::Shared>(self, [&](CompilerObject& object) -> PyObject* {
    // One write per line: the line is out before the next error is rendered.
    for (const zolang::Error& error : object.errors) {
      write_stdout(error.render() + "\n");
    }
    Py_RETURN_NONE;
  });
}

// The stored errors as data, in print_errors order, with their places.
PyObject* compiler_diagnostics(PyObject* self, PyObject*) {
  return with_object<Access::Shared>(self, [&](CompilerObject& object) -> PyObject* {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const zolang::Error& error : object.errors) {
      PyRef diagnostic = diagnostic_to_python(error);
      if (!diagnostic || PyList_Append(list.get(), diagnostic.get()) != 0) return nullptr;
    }
    return list.release();
  });
}

// Runs no host code: the natives are only looked up, so other threads may
// run while the text is outlined, the shared use keeping registrations out.
PyObject* compiler_outline(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_object<Access::Shared>(self, [&](CompilerObject& object) -> PyObject* {
    PyObject* source_object = nullptr;
    if (!parse_arguments(args, kwargs, "Compiler.outline", {{"source", &source_object}}, 1)) {
      return nullptr;
    }
    auto source = string_argument(source_object, "source");
    if (!source) return nullptr;
    std::optional<zolang::Outline> outline;
    {
      GilRelease released;
      outline = object.compiler.outline(*source);
    }
    return outline_to_python(*outline).release();
  });
}

PyObject* compiler_into_interpreter(PyObject* self, PyObject*) {
  return with_object<Access::Exclusive>(self, [&](CompilerObject& object) -> PyObject* {
    if (!object.program) return raise_zo_error("No program to convert");
    zolang::Bytecode ops = std::exchange(*object.program, {});
    zolang::Program package = object.compiler.package_program(std::move(ops));
    return wrap_interpreter(zolang::Interpreter::from_program(std::move(package))).release();
  });
}

constexpr char compiler_into_raw_name[] = "Compiler.into_raw";
constexpr char compiler_has_program_name[] = "Compiler.has_program";
constexpr char compiler_print_errors_name[] = "Compiler.print_errors";
constexpr char compiler_diagnostics_name[] = "Compiler.diagnostics";
constexpr char compiler_into_interpreter_name[] = "Compiler.into_interpreter";

struct RegistrationNames {
  static constexpr char check_if_prop[] = "Compiler.check_if_prop";
  static constexpr char check_if_callable[] = "Compiler.check_if_callable";
  static constexpr char register_callable[] = "Compiler.register_callable";
  static constexpr char register_property[] = "Compiler.register_property";
};

auto compiler_methods = closed_class_methods(
    {{"compile", method_pointer(&compiler_compile), METH_VARARGS | METH_KEYWORDS,
      "compile($self, source)\n--\n\n"
      "Compiles the provided program, storing the results internally, returning `True` if the\n"
      "program was compiled successfully, and False if there was some form of compilation "
      "error.\n\n"
      "Each call discards the results of the previous one, program and errors alike. The errors\n"
      "are stored and can be shown with `print_errors`; there is at present no way to inspect\n"
      "them programmatically."},
     no_argument_method<&compiler_into_raw, compiler_into_raw_name>(
         "into_raw($self)\n--\n\n"
         "Takes the most recent program and converts it to the Zo IR, which is a "
         "human-readable text\n"
         "format.\n\n"
         "Unlike conversion to an `Interpreter`, this consumes only the program, not the "
         "registered\n"
         "callables and properties. Raises an exception if the most recent compilation failed."),
     no_argument_method<&compiler_has_program, compiler_has_program_name>(
         "has_program($self)\n--\n\n"
         "Checks if the compiler has been given a program and that it compiled successfully.\n\n"
         "Returns the same result as `compile`."),
     no_argument_method<&compiler_print_errors, compiler_print_errors_name>(
         "print_errors($self)\n--\n\n"
         "Displays any errors that occured during the most recent compilation.\n\n"
         "Nothing is printed when there are no errors."),
     no_argument_method<&compiler_diagnostics, compiler_diagnostics_name>(
         "diagnostics($self)\n--\n\n"
         "The errors of the most recent compilation as data, in the order `print_errors` shows "
         "them.\n\n"
         "Each is a dict: `text` (the line `print_errors` writes), `message` (the text without "
         "its\n"
         "location prefix), `line`, `column`, `end_line` and `end_column` (where the offending "
         "token\n"
         "is, even where `text` says line 0 or no line; 1-based, columns in code points, the end\n"
         "just past the token; None when unknown), and `notes`, a list of `(message, line, "
         "column)`\n"
         "tuples pointing at related places, such as where an unclosed block opened, or giving\n"
         "hints such as \"did you mean 'print'?\" (line and column None)."),
     {"outline", method_pointer(&compiler_outline), METH_VARARGS | METH_KEYWORDS,
      "outline($self, source)\n--\n\n"
      "What the program says about itself, for editors, its names resolved as the compiler\n"
      "resolves them against the natives registered now: groups with their parameters, `use`\n"
      "declarations, variables with their scopes and places, and call sites with what they call.\n"
      "\n"
      "A text with syntax errors is outlined as far as it parsed: the top-level items with\n"
      "errors are left out, and `complete` is False. Runs no host code and keeps nothing: the\n"
      "last compilation's program and errors stay as they are."},
     no_argument_method<&compiler_into_interpreter, compiler_into_interpreter_name>(
         "into_interpreter($self)\n--\n\n"
         "Effectively consumes the compiler, converting it into an `Interpreter`.\n\n"
         "Raises an exception when no valid program is stored. On success all assets, the\n"
         "registered callables and properties included, move to the new interpreter. Since the\n"
         "compiler object itself lives on in Python, the call in practice empties it: every "
         "callable\n"
         "and property must be registered again before the same program can be compiled again."),
     split_ir_words_method()},
    registration_rows<CompilerObject, &CompilerObject::compiler, RegistrationNames>());

auto compiler_getset = closed_class_getset();

auto compiler_slots = closed_class_slots({
    {Py_tp_doc,
     const_cast<char*>(
         "Compiler()\n--\n\n"
         "A compiler for the Zo language.\n\n"
         "The compiler performs syntax checking and name resolution, and stores a text-based\n"
         "intermediate representation (IR) that the Zo interpreter executes. A `Compiler`\n"
         "converts directly to an `Interpreter` with `into_interpreter`, or to raw IR with\n"
         "`into_raw`. Custom `Callable`s and `Prop`s must be registered with the compiler (the\n"
         "`register_*` methods) before a program can use them.")},
    {Py_tp_new, slot_pointer(&compiler_new)},
    {Py_tp_methods, compiler_methods.data()},
    {Py_tp_getset, compiler_getset.data()},
});

}  // namespace

PyObject* create_compiler_type() {
  static PyType_Spec type_description = make_type_description(
      "zolangpy.Compiler", sizeof(Instance<CompilerObject>), false, compiler_slots.data());
  return create_type(type_description);
}

}  // namespace zolangpy
