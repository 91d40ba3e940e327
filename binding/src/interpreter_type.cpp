// Interpreter's methods, its tables and its type.
#include "interpreter_type.hpp"

#include <optional>
#include <type_traits>
#include <utility>

#include "convert.hpp"
#include "errors.hpp"
#include "natives.hpp"
#include "runtime.hpp"
#include "sharing.hpp"
#include "types.hpp"

namespace zolangpy {
namespace {

// The state of one Python Interpreter, after Python's header.
struct InterpreterObject {
  explicit InterpreterObject(zolang::Interpreter made) : interpreter(std::move(made)) {
    // Other threads and signal handlers get to run during long steps (see
    // sharing.hpp, and check_signals in errors.hpp). The object stays where
    // Python put it.
    interpreter.set_check_point([this]() -> std::expected<void, zolang::Error> {
      if (auto shared = sharing.at_check_point(); !shared) return shared;
      return check_signals();
    });
  }
  InterpreterObject(const InterpreterObject&) = delete;
  InterpreterObject& operator=(const InterpreterObject&) = delete;

  BorrowFlag use;
  zolang::Interpreter interpreter;
  ThreadSharing sharing;
};

// The opening of every method: `body(interpreter)` under the use `access`
// asks for.
template <Access access, typename Body>
PyObject* with_object(PyObject* self, Body&& body) {
  return with_payload<InterpreterObject, access>(
      self, [&](InterpreterObject& object) { return body(object.interpreter); });
}

PyObject* allocate_interpreter(PyTypeObject* type, zolang::Interpreter interpreter) {
  return allocate<InterpreterObject>(type, std::move(interpreter));
}

// Interpreter(ir=None): an empty program, or the program read from IR text.
PyObject* interpreter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!accepts_type(type, module_types().interpreter, false)) return nullptr;
    PyObject* ir = nullptr;
    if (!parse_arguments(args, kwargs, "Interpreter", {{"ir", &ir}}, 0)) return nullptr;
    if (ir == nullptr || ir == Py_None) {
      return allocate_interpreter(type, zolang::Interpreter(std::vector<zolang::Op>{}));
    }
    auto text = string_argument(ir, "ir");
    if (!text) return nullptr;
    auto interpreter = zolang::Interpreter::from_ir(*text);
    if (!interpreter) return raise_error(interpreter.error());
    return allocate_interpreter(type, std::move(*interpreter));
  });
}

// Runs `operation(interpreter)` under exclusive use; it returns
// std::expected<T, Error>, and `to_python(T)` makes the result. Exceptions
// that host code raises meanwhile reach the caller as HostExceptions says.
template <typename Operation, typename ToPython>
PyObject* with_interpreter(PyObject* self, Operation operation, ToPython to_python) {
  return with_payload<InterpreterObject, Access::Exclusive>(
      self, [&](InterpreterObject& object) -> PyObject* {
        HostExceptions host_exceptions;
        object.sharing.begin_call();
        auto outcome = operation(object.interpreter);
        if (!outcome) return host_exceptions.raise(outcome.error());
        if (host_exceptions.raise_leaving()) return nullptr;
        if constexpr (std::is_void_v<typename std::remove_cvref_t<decltype(outcome)>::value_type>) {
          return to_python();
        } else {
          return to_python(*outcome);
        }
      });
}

PyObject* return_none() { Py_RETURN_NONE; }

PyObject* interpreter_run(PyObject* self, PyObject*) {
  return with_interpreter(
      self, [](zolang::Interpreter& interpreter) { return interpreter.step(); },
      [](bool finished) { return new_bool(!finished); });
}

PyObject* interpreter_stop(PyObject* self, PyObject*) {
  return with_interpreter(
      self, [](zolang::Interpreter& interpreter) { return interpreter.end(); }, return_none);
}

// Takes no use of the object: any thread may ask at any time, also while
// run() holds it, and asking only sets a flag that the stepping thread reads.
PyObject* interpreter_request_stop(PyObject* self, PyObject*) {
  return with_object<Access::None>(self, [](zolang::Interpreter& interpreter) -> PyObject* {
    interpreter.request_stop();
    Py_RETURN_NONE;
  });
}

PyObject* interpreter_reset(PyObject* self, PyObject*) {
  return with_interpreter(
      self, [](zolang::Interpreter& interpreter) { return interpreter.reset(); }, return_none);
}

// Where the last failed run() or stop() failed, or None.
PyObject* interpreter_last_error(PyObject* self, PyObject*) {
  return with_object<Access::Shared>(self, [](zolang::Interpreter& interpreter) -> PyObject* {
    const std::optional<zolang::Failure>& failure = interpreter.last_failure();
    if (!failure) Py_RETURN_NONE;
    return failure_to_python(*failure).release();
  });
}

// The native call being served, or None. It takes no use of the object, so
// that a native can ask while run() or stop() holds it: it only reads, and
// it copies what it reads before it makes any Python object, whose creation
// could run other Python code.
PyObject* interpreter_call_site(PyObject* self, PyObject*) {
  return with_object<Access::None>(self, [](zolang::Interpreter& interpreter) -> PyObject* {
    std::optional<zolang::CallSite> site = interpreter.current_call();
    if (!site) Py_RETURN_NONE;
    return call_site_to_python(*site).release();
  });
}

// The live contexts. Like call_site(), it takes no use of the object, so
// that a native may ask; the views are copied out before any Python object
// is made.
PyObject* interpreter_contexts(PyObject* self, PyObject*) {
  return with_object<Access::None>(self, [](zolang::Interpreter& interpreter) -> PyObject* {
    std::vector<zolang::ContextView> views = interpreter.contexts();
    return contexts_to_python(views).release();
  });
}

PyObject* interpreter_set_limits(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_object<Access::Exclusive>(self, [&](zolang::Interpreter& interpreter) -> PyObject* {
    auto limits = parse_limits(args, kwargs);
    if (!limits) return nullptr;
    interpreter.set_limits(*limits);
    Py_RETURN_NONE;
  });
}

// --- Debugging ---

// set_breakpoints(lines): the line each breakpoint was set on, or None.
PyObject* interpreter_set_breakpoints(PyObject* self, PyObject* lines) {
  return with_object<Access::Exclusive>(self, [&](zolang::Interpreter& interpreter) -> PyObject* {
    std::vector<std::uint32_t> wanted;
    if (!line_list_argument(lines, "lines", wanted)) return nullptr;
    std::vector<std::optional<std::uint32_t>> placed = interpreter.set_breakpoints(wanted);
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const std::optional<std::uint32_t>& line : placed) {
      PyRef item = line ? PyRef::steal(PyLong_FromUnsignedLong(*line)) : PyRef::borrow(Py_None);
      if (!item || PyList_Append(list.get(), item.get()) != 0) return nullptr;
    }
    return list.release();
  });
}

// Like call_site(), pause() takes no use of the object: any thread may ask,
// while run() holds it too, and the request is one atomic store.
PyObject* interpreter_pause(PyObject* self, PyObject*) {
  return with_object<Access::None>(self, [](zolang::Interpreter& interpreter) -> PyObject* {
    interpreter.request_pause();
    Py_RETURN_NONE;
  });
}

PyObject* interpreter_resume(PyObject* self, PyObject* args) {
  return with_object<Access::Exclusive>(self, [&](zolang::Interpreter& interpreter) -> PyObject* {
    const char* how_text = "continue";
    if (!PyArg_ParseTuple(args, "|s:resume", &how_text)) return nullptr;
    std::string_view how(how_text);
    zolang::Resume resume = zolang::Resume::Continue;
    if (how == "over") {
      resume = zolang::Resume::Over;
    } else if (how == "into") {
      resume = zolang::Resume::Into;
    } else if (how == "out") {
      resume = zolang::Resume::Out;
    } else if (how != "continue") {
      PyErr_SetString(PyExc_ValueError,
                      "argument 'how': \"continue\", \"over\", \"into\" or \"out\"");
      return nullptr;
    }
    HostExceptions host_exceptions;
    auto resumed = interpreter.resume(resume);
    if (!resumed) return host_exceptions.raise(resumed.error());
    Py_RETURN_NONE;
  });
}

PyObject* interpreter_debug_contexts(PyObject* self, PyObject*) {
  return with_object<Access::Shared>(self, [](zolang::Interpreter& interpreter) -> PyObject* {
    std::vector<zolang::DebugContext> contexts = interpreter.debug_contexts();
    return debug_contexts_to_python(contexts).release();
  });
}

// read_property(name): calls the property's get(), as the program would.
PyObject* interpreter_read_property(PyObject* self, PyObject* name) {
  return with_object<Access::Exclusive>(self, [&](zolang::Interpreter& interpreter) -> PyObject* {
    std::optional<std::string_view> text = string_argument(name, "name");
    if (!text) return nullptr;
    HostExceptions host_exceptions;
    auto value = interpreter.read_property(*text);
    if (!value) {
      PyErr_SetObject(PyExc_KeyError, name);
      return nullptr;
    }
    if (!*value) return host_exceptions.raise(value->error());
    if (host_exceptions.raise_leaving()) return nullptr;
    return value_to_python(**value).release();
  });
}

PyObject* interpreter_suspension(PyObject* self, void*) {
  return with_object<Access::Shared>(self, [](zolang::Interpreter& interpreter) -> PyObject* {
    const std::optional<zolang::Suspension>& suspension = interpreter.suspension();
    if (!suspension) Py_RETURN_NONE;
    return suspension_to_python(*suspension).release();
  });
}

// The status as the property gives it.
const char* status_name(zolang::RunStatus status) {
  switch (status) {
    case zolang::RunStatus::Fresh:
      return "fresh";
    case zolang::RunStatus::Paused:
      return "paused";
    case zolang::RunStatus::Running:
      return "running";
    case zolang::RunStatus::Ending:
      return "ending";
    case zolang::RunStatus::Ended:
      return "ended";
    case zolang::RunStatus::Suspended:
      return "suspended";
  }
  return "unknown";
}

PyObject* interpreter_status(PyObject* self, void*) {
  return with_object<Access::Shared>(self, [](zolang::Interpreter& interpreter) {
    return PyUnicode_FromString(status_name(interpreter.status()));
  });
}

PyObject* interpreter_end_in_steps(PyObject* self, void*) {
  return with_object<Access::Shared>(
      self, [](zolang::Interpreter& interpreter) { return new_bool(interpreter.end_in_steps()); });
}

int interpreter_set_end_in_steps(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete attribute 'end_in_steps'");
    return -1;
  }
  if (!PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "'end_in_steps' must be a bool, not '%s'",
                 short_type_name(Py_TYPE(value)));
    return -1;
  }
  PyRef done = PyRef::steal(
      with_object<Access::Exclusive>(self, [&](zolang::Interpreter& interpreter) -> PyObject* {
        interpreter.set_end_in_steps(value == Py_True);
        Py_RETURN_NONE;
      }));
  return done ? 0 : -1;
}

PyObject* interpreter_break_on_error(PyObject* self, void*) {
  return with_object<Access::Shared>(self, [](zolang::Interpreter& interpreter) {
    return new_bool(interpreter.break_on_error());
  });
}

int interpreter_set_break_on_error(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete attribute 'break_on_error'");
    return -1;
  }
  if (!PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "'break_on_error' must be a bool, not '%s'",
                 short_type_name(Py_TYPE(value)));
    return -1;
  }
  PyRef done = PyRef::steal(
      with_object<Access::Exclusive>(self, [&](zolang::Interpreter& interpreter) -> PyObject* {
        interpreter.set_break_on_error(value == Py_True);
        Py_RETURN_NONE;
      }));
  return done ? 0 : -1;
}

// The class refuses new attributes like every closed class, but its own
// settable properties are set as usual.
int interpreter_setattro(PyObject* self, PyObject* name, PyObject* value) {
  if (PyUnicode_Check(name) && (PyUnicode_CompareWithASCIIString(name, "end_in_steps") == 0 ||
                                PyUnicode_CompareWithASCIIString(name, "break_on_error") == 0)) {
    return PyObject_GenericSetAttr(self, name, value);
  }
  return refuse_attribute(self, name, value);
}

constexpr char interpreter_run_name[] = "Interpreter.run";
constexpr char interpreter_stop_name[] = "Interpreter.stop";
constexpr char interpreter_reset_name[] = "Interpreter.reset";
constexpr char interpreter_last_error_name[] = "Interpreter.last_error";
constexpr char interpreter_call_site_name[] = "Interpreter.call_site";
constexpr char interpreter_request_stop_name[] = "Interpreter.request_stop";
constexpr char interpreter_contexts_name[] = "Interpreter.contexts";
constexpr char interpreter_pause_name[] = "Interpreter.pause";
constexpr char interpreter_debug_contexts_name[] = "Interpreter.debug_contexts";

struct RegistrationNames {
  static constexpr char check_if_prop[] = "Interpreter.check_if_prop";
  static constexpr char check_if_callable[] = "Interpreter.check_if_callable";
  static constexpr char register_callable[] = "Interpreter.register_callable";
  static constexpr char register_property[] = "Interpreter.register_property";
};

auto interpreter_methods = closed_class_methods(
    {no_argument_method<&interpreter_run, interpreter_run_name>(
         "run($self)\n--\n\n"
         "Invokes the interpreter, which will continue until it yields.\n\n"
         "Returns `False` if the program\n"
         "is complete, otherwise returns `True`."),
     no_argument_method<&interpreter_stop, interpreter_stop_name>(
         "stop($self)\n--\n\n"
         "Stops execution of the interpreter, which invokes the `terminate` method of any active\n"
         "`Callable`s, as well as the `__end` group, if it is defined.\n\n"
         "The `__end` group runs to completion within this call: native calls inside it are\n"
         "polled again and again, without returning to the host, until they complete."),
     no_argument_method<&interpreter_request_stop, interpreter_request_stop_name>(
         "request_stop($self)\n--\n\n"
         "Asks the program to stop in steps; callable from any thread at any time.\n\n"
         "It never blocks and is never refused, also while `run` is active on another thread\n"
         "or from inside one of this interpreter's own natives. At the next check point or\n"
         "step boundary the step ends and every active `Callable` is terminated; `__end` then\n"
         "runs in the following `run` calls, one step per call, while `run` returns `True` and\n"
         "`status` is \"ending\"; `run` returns `False` once it has finished (at once without\n"
         "an `__end`). A second call, or a call while ending or after the end, does nothing;\n"
         "`reset` forgets a request not yet acted on."),
     no_argument_method<&interpreter_contexts, interpreter_contexts_name>(
         "contexts($self)\n--\n\n"
         "The live execution contexts, breadth-first from the root, as a list of dicts.\n\n"
         "Each holds `id` (an int, kept while the context lives), `parent` (its parent's id,\n"
         "None for the root), `group` (the group it runs, None for the main program),\n"
         "`line` and `column` (where it stands; None where unknown, as for IR text),\n"
         "`waiting` (the name of the native it waits on, or None), `mode` (\"parallel\" or\n"
         "\"race\" while it waits for the branches of a block, else None) and `branch` (its\n"
         "index among its siblings, None for the root). Like `call_site`, it may be called\n"
         "between steps and from inside a native."),
     no_argument_method<&interpreter_reset, interpreter_reset_name>(
         "reset($self)\n--\n\n"
         "Resets the interpreter to its initial state.\n\n"
         "Does not discard any registered callables or\n"
         "properties. Does not invoke `terminate` for any active `Callable`s, so if that is "
         "required,\n"
         "call `stop` first."),
     no_argument_method<&interpreter_last_error, interpreter_last_error_name>(
         "last_error($self)\n--\n\n"
         "Describes the failure of the last `run` or `stop` that failed, or returns None.\n\n"
         "The dict holds `text` (the `ZoError`'s text), `address` (the instruction that failed),\n"
         "`line` and `column` (where that instruction was written; 1-based, columns in code\n"
         "points), each None where unknown (a program read from IR text has no lines), and\n"
         "`trace`, the group calls that led there as `(group, line)` pairs, outermost first: a\n"
         "group called, the group a `parallel` or `race` branch ran (with the line of its call in\n"
         "the block), or `__end` when the failure was in the end group. It stays until the next\n"
         "failure replaces it or `reset` clears it."),
     no_argument_method<&interpreter_call_site, interpreter_call_site_name>(
         "call_site($self)\n--\n\n"
         "Where the native call being served was made, for a native to ask from its `generate`,\n"
         "`call` or `terminate` while `run` or `stop` runs it; None at any other time.\n\n"
         "The dict holds `address` (the instruction that made the call), and `line` and `column`\n"
         "(where it was written; 1-based, columns in code points), None where unknown (a program\n"
         "read from IR text has no lines). A native called in a `parallel` or `race` block has\n"
         "the place of its own call in the block. `context` is the id of the context that made\n"
         "the call (as `contexts` gives it) and `group` the group it runs, None for the main\n"
         "program. Unlike the other methods, it may be called while the interpreter is running."),
     {"set_limits", method_pointer(&interpreter_set_limits), METH_VARARGS | METH_KEYWORDS,
      "set_limits($self, *, instructions=None, seconds=None, memory=None)\n--\n\n"
      "Bounds the work of each later `run()` and `stop()`; `None` is no limit.\n\n"
      "`instructions` is the number of budget units one call may spend: every\n"
      "backward jump, group call and spawned group costs one, and so does every\n"
      "pass of `stop()` over `__end`. `seconds` is the wall time one call may take,\n"
      "checked every few thousand units. A call that hits a limit raises `ZoError`\n"
      "(\"[address N] Instruction budget exhausted\" or \"[address N] Time limit\n"
      "exceeded\") and leaves the program as a failed step does: call `stop()`,\n"
      "which runs `__end` under the same limits, or `reset()`.\n\n"
      "`memory` is the number of bytes the running program may hold: its strings, on\n"
      "stacks and in variables, its contexts, their stacks and frames. It bounds the\n"
      "whole run rather than one call, and a step that would go past it raises\n"
      "\"[address N] Memory limit exceeded\", as does any allocation the system refuses."},
     {"set_breakpoints", method_pointer(&interpreter_set_breakpoints), METH_O,
      "set_breakpoints($self, lines, /)\n--\n\n"
      "Sets breakpoints on the given source lines, replacing those set before.\n\n"
      "Returns, for each, the line it was set on (the first at or after it with code) or\n"
      "None. A context reaching one suspends the program: see `suspension`."},
     no_argument_method<&interpreter_pause, interpreter_pause_name>(
         "pause($self)\n--\n\n"
         "Asks the program to suspend, from any thread, without waiting. The next `run`\n"
         "suspends before running anything; a `run` under way suspends where a context\n"
         "next reaches a new line."),
     {"resume", method_pointer(&interpreter_resume), METH_VARARGS,
      "resume($self, how=\"continue\", /)\n--\n\n"
      "Goes on from a suspension: \"continue\", or a step \"over\", \"into\" or \"out\"\n"
      "of the line in the context that stopped; the next `run` makes it."},
     no_argument_method<&interpreter_debug_contexts, interpreter_debug_contexts_name>(
         "debug_contexts($self)\n--\n\n"
         "The live contexts, breadth-first from the root: dicts of `id`, `parent`, `branch`\n"
         "and `frames`, innermost first, each with `group`, `address`, `line`, `column` and\n"
         "`variables` (a dict of the frame's variables that hold a value)."),
     {"read_property", method_pointer(&interpreter_read_property), METH_O,
      "read_property($self, name, /)\n--\n\n"
      "The value of a registered property, read by calling its `get()`; KeyError when\n"
      "the program has no property of that name."}},
    registration_rows<InterpreterObject, &InterpreterObject::interpreter, RegistrationNames>());

auto interpreter_getset = closed_class_getset({
    {"status", &interpreter_status, nullptr,
     "Where the run stands: \"fresh\", \"running\", \"paused\", \"ending\" or \"ended\".\n\n"
     "\"fresh\" until the first `run` (and after `reset`), \"paused\" while `run` returns\n"
     "`True`, \"ended\" once it returned `False` or a `stop` completed, \"running\" after a\n"
     "run-time error, \"ending\" after a `stop` whose `__end` group failed. Neither `run` nor\n"
     "`stop` refuses an ended program: both run `__end` again (without one, `run` starts the\n"
     "program over), so a host checks for \"ended\" first. \"suspended\" while a\n"
     "breakpoint, a step or a pause holds the program (see `suspension`).",
     nullptr},
    {"suspension", &interpreter_suspension, nullptr,
     "Why the program is suspended, or None: a dict of `reason` (\"breakpoint\",\n"
     "\"step\", \"pause\" or \"exception\"), `context` (the id of the context that stopped),\n"
     "`address`, `line`, `column` and `error` (for \"exception\" the error's text, else\n"
     "None).",
     nullptr},
    {"break_on_error", &interpreter_break_on_error, &interpreter_set_break_on_error,
     "Whether a run-time error suspends the program instead of failing `run`.\n\n"
     "`False` by default. When `True`, a step that meets a run-time error returns `True`\n"
     "with `status` \"suspended\" and `suspension` of reason \"exception\", the error's\n"
     "text under `error` and the failing instruction's place, so that `debug_contexts`\n"
     "shows the contexts as they were. After `resume`, however it goes on, the next `run`\n"
     "raises that error. Errors in `__end`, and interrupts raised at check points, raise\n"
     "at once as usual.",
     nullptr},
    {"end_in_steps", &interpreter_end_in_steps, &interpreter_set_end_in_steps,
     "Whether a program that finishes by itself runs `__end` in the following `run` calls.\n\n"
     "`False` by default: `__end` then runs to completion inside the `run` that finished\n"
     "the program. When `True`, it runs one step per later `run` call, as after\n"
     "`request_stop`, so that a host's own loop keeps turning while it runs.",
     nullptr},
});

auto interpreter_slots = [] {
  auto slots = closed_class_slots({
      {Py_tp_doc, const_cast<char*>("Interpreter(ir=None)\n--\n\n")},
      {Py_tp_new, slot_pointer(&interpreter_new)},
      {Py_tp_methods, interpreter_methods.data()},
      {Py_tp_getset, interpreter_getset.data()},
  });
  for (PyType_Slot& slot : slots) {
    if (slot.slot == Py_tp_setattro) slot.pfunc = slot_pointer(&interpreter_setattro);
  }
  return slots;
}();

}  // namespace

PyObject* create_interpreter_type() {
  static PyType_Spec type_description = make_type_description(
      "zolangpy.Interpreter", sizeof(Instance<InterpreterObject>), false, interpreter_slots.data());
  return create_type(type_description);
}

PyRef wrap_interpreter(zolang::Interpreter interpreter) {
  return PyRef::steal(allocate_interpreter(module_types().interpreter, std::move(interpreter)));
}

}  // namespace zolangpy
