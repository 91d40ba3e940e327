// What every class of the module shares:
// - creation of heap types from their descriptions, and the module's table
//   of types;
// - instances with a C++ payload built in place, the record of which objects
//   carry one, access to it, and the matching deallocation (only allocate()
//   and deallocate() know that Python owns an object's memory);
// - the per-object use rule;
// - the opening of every method: barrier, payload, use;
// - the rows of method and slot tables, those of each kind of class written
//   once.
//
// What of this only PyPy needs lives in pypy_guards.hpp.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "py_ref.hpp"
#include "pypy_guards.hpp"
#include "python.hpp"
#include "runtime.hpp"

namespace zolangpy {

// --- Types ---

// The module's classes. Each is created once, by the module initialiser, and
// kept for the life of the process: a Python subclass of a base class has no
// module of its own to look them up in.
struct ModuleTypes {
  PyTypeObject* interpreter = nullptr;
  PyTypeObject* compiler = nullptr;
  PyTypeObject* arg = nullptr;
  PyTypeObject* callable = nullptr;
  PyTypeObject* callable_generator = nullptr;
  PyTypeObject* prop = nullptr;
};
ModuleTypes& module_types();

// The description of a class named "zolangpy.Name" whose instances take
// `object_size` bytes, which Python may subclass or not.
PyType_Spec make_type_description(const char* name, std::size_t object_size, bool subclassable,
                                  PyType_Slot* slots);

// Creates a heap type from its description: the type's __module__ is
// "zolangpy" while its name (tp_name, __name__, __qualname__) is the bare
// "Name". New reference, or null with an exception set.
PyObject* create_type(PyType_Spec& description);

// Whether `object`'s type is `type` or a subtype; the type relation alone, no
// __instancecheck__.
inline bool has_type(PyObject* object, PyTypeObject* type) {
  return Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type);
}

// The type's name without its module, as `__name__` gives it for built-in
// types ("bool_" for "numpy.bool_").
inline const char* short_type_name(PyTypeObject* type) {
  const char* name = type->tp_name;
  for (const char* at = name; *at != '\0'; ++at) {
    if (*at == '.') name = at + 1;
  }
  return name;
}

// Gives back the reference to its heap type that each instance holds.
void release_type_reference(PyTypeObject* type);

// For the tp_new of class `own`: whether it may make an instance of `type`.
// CPython checks this before calling tp_new; PyPy does not, so
// Compiler.__new__(Prop) would build a Compiler into a Prop's memory.
// Refused, with TypeError raised, unless `type` is `own` or, for a class
// Python may subclass, a subtype of it.
bool accepts_type(PyTypeObject* type, PyTypeObject* own, bool subclassable);

// --- Payloads ---

// The record of which objects carry a C++ payload that the binding built,
// and what tears each down. PyPy does not enforce CPython's checks on our
// types: object.__new__ (which is how pickle rebuilds objects) makes an
// instance without our constructor, and __class__ may be assigned from a type
// of another layout, so the memory behind `self` may hold no payload, a
// different one, or be too small to hold any. The record lives outside the
// objects, so consulting it reads nothing of theirs. Only touched with the GIL
// held.

// Tears down the payload of an object (its members after the header).
using DestroyPayload = void (*)(PyObject*);

// Records that `object` now carries the payload that `destroy` tears down.
// May throw std::bad_alloc, leaving nothing recorded.
void record_payload(PyObject* object, DestroyPayload destroy);
// What tears down `object`'s payload; null when it carries none.
DestroyPayload recorded_payload(PyObject* object);
// Forgets `object`'s payload and returns what tears it down (null when none).
DestroyPayload forget_payload(PyObject* object);

// An instance of a class whose objects carry a C++ `Payload` after Python's
// header. Only allocate() builds one; the bases Python subclasses carry none.
template <typename Payload>
struct Instance {
  PyObject header;
  Payload payload;
};

// Tears down the payload of an Instance<Payload>.
template <typename Payload>
void destroy_payload(PyObject* self) {
  reinterpret_cast<Instance<Payload>*>(self)->payload.~Payload();
}

// Allocates an instance of `type` (or a subtype) and builds its payload from
// `arguments`; a payload that needs tearing down is recorded (see above).
// Null with an exception set when Python is out of memory. When building or
// recording throws, the instance is given back before the exception goes on.
template <typename Payload, typename... Arguments>
PyObject* allocate(PyTypeObject* type, Arguments&&... arguments) {
  PyRef instance = PyRef::steal(type->tp_alloc(type, 0));
  if (!instance) return nullptr;
  Payload* payload = &reinterpret_cast<Instance<Payload>*>(instance.get())->payload;
  // Should this throw, nothing is recorded yet: `instance` goes, and
  // deallocate() only frees it.
  new (payload) Payload{std::forward<Arguments>(arguments)...};
  if constexpr (!std::is_trivially_destructible_v<Payload>) {
    try {
      record_payload(instance.get(), &destroy_payload<Payload>);
    } catch (...) {
      payload->~Payload();
      throw;
    }
  }
  return instance.release();
}

// Raises TypeError for a method called on an object that carries no payload
// of its class (see the payload record above). Returns nullptr.
std::nullptr_t refuse_payloadless(PyObject* self);

// The payload of `self` that allocate() built; null, with TypeError raised,
// when `self` carries no such payload. Every method reaches its payload
// through here.
template <typename Payload>
Payload* payload_of(PyObject* self) {
  if (recorded_payload(self) == &destroy_payload<Payload>) {
    return &reinterpret_cast<Instance<Payload>*>(self)->payload;
  }
  return refuse_payloadless(self);
}

// tp_dealloc of every class: tears down the payload recorded for the object,
// whatever its type says now, then frees it.
void deallocate(PyObject* self);

// --- Use ---

// The per-object use rule: a method that needs exclusive use of an object is
// refused while any other call uses it; a method that only reads is refused
// while another call uses it exclusively. This is what stops a native from
// re-entering the interpreter that is calling it, and two threads from using
// one object at once (the GIL can be released inside a native).

// How a method uses its object: exclusively (it changes the object), shared
// (it only reads), or not at all (Interpreter.call_site, which a native may
// ask while run() holds the object).
enum class Access { Exclusive, Shared, None };

// Lives inside each object: 0 when unused, -1 while used exclusively, n > 0
// while n shared uses overlap.
struct BorrowFlag {
  std::int32_t uses = 0;
};

// One use of an object, ended by the destructor. A refused use is empty and
// has raised RuntimeError ("Already borrowed" for exclusive use, "Already
// mutably borrowed" for shared use); the flag is then unchanged.
class Use {
 public:
  static Use exclusive(BorrowFlag& flag);
  static Use shared(BorrowFlag& flag);
  // The same for objects without room for a flag of their own: the base
  // classes Callable, CallableGenerator and Prop keep object's layout, so
  // that a Python class may derive from several of them. Their flags live in
  // a table, only while in use. The GIL must be held.
  static Use exclusive(PyObject* object);
  static Use shared(PyObject* object);
  // One of the above, chosen by `access` (Exclusive or Shared).
  template <Access access, typename Owner>
  static Use take(Owner& owner) {
    static_assert(access != Access::None);
    if constexpr (access == Access::Exclusive) {
      return exclusive(owner);
    } else {
      return shared(owner);
    }
  }

  Use(Use&& other) noexcept : flag(other.flag), key(other.key) { other.flag = nullptr; }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  Use& operator=(Use&&) = delete;
  ~Use();

  explicit operator bool() const { return flag != nullptr; }

 private:
  explicit Use(BorrowFlag* taken, PyObject* table_key = nullptr) : flag(taken), key(table_key) {}

  BorrowFlag* flag;
  PyObject* key;  // the object whose flag lives in the table; null otherwise
};

// --- Method openings ---

// The opening every method of a closed class shares, written once: the entry
// barrier (guarded), the payload of `self` (payload_of), then the use of it
// that `access` asks for. `body(payload)` runs only when all three let it,
// and makes the result: a new reference, or null with an exception set.
template <typename Payload, Access access, typename Body>
PyObject* with_payload(PyObject* self, Body&& body) {
  return guarded([&]() -> PyObject* {
    Payload* payload = payload_of<Payload>(self);
    if (payload == nullptr) return nullptr;
    if constexpr (access == Access::None) {
      return body(*payload);
    } else {
      Use use = Use::take<access>(payload->use);
      if (!use) return nullptr;
      return body(*payload);
    }
  });
}

// The same for the base classes, whose instances carry no payload: their use
// flags live in a table (see Use). `body()` makes the result.
template <Access access, typename Body>
PyObject* with_use(PyObject* self, Body&& body) {
  return guarded([&]() -> PyObject* {
    Use use = Use::take<access>(self);
    if (!use) return nullptr;
    return body();
  });
}

// --- Table rows ---

// Function pointers as the C API's tables want them. Going through void(*)()
// is the conversion -Wcast-function-type accepts.
template <typename Function>
PyCFunction method_pointer(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <typename Function>
void* slot_pointer(Function* function) {
  return reinterpret_cast<void*>(function);
}

// The method-table row of a method that takes no arguments; `Name` is
// "Class.method", and the row's name the part after the dot. PyPy words the
// argument errors of METH_NOARGS methods with the bare name ("run() takes no
// arguments (1 given)"), where CPython names the class too; so on PyPy the
// method takes METH_FASTCALL | METH_KEYWORDS and checks for itself, in
// CPython's words. That costs PyPy about 12 ns a call (bench/README.md).
template <PyObject* (*Method)(PyObject*, PyObject*), const char* Name>
PyMethodDef no_argument_method(const char* doc) {
  const char* name = Name;
  for (const char* at = Name; *at != '\0'; ++at) {
    if (*at == '.') name = at + 1;
  }
#ifdef PYPY_VERSION
  return {name, method_pointer(&checked_no_arguments<Method, Name>), METH_FASTCALL | METH_KEYWORDS,
          doc};
#else
  return {name, method_pointer(Method), METH_NOARGS, doc};
#endif
}

// The two kinds of class in the module, and the table rows that every class
// of a kind shares, written once. A class lists its own rows; the helpers
// append its kind's rows and the terminating empty row.
//
// Closed classes (Interpreter, Compiler, Arg) carry a payload, and Python
// may neither subclass them nor give their instances attributes. CPython
// enforces both by the type's flags and layout; PyPy 7.3.11 ignores the
// missing Py_TPFLAGS_BASETYPE and gives every extension object a __dict__,
// so there the refusals are spelled out, along with the refusals of copying
// and of __class__ assignment.
//
// Base classes (Callable, CallableGenerator, Prop) keep object's layout, so
// that a host's class may derive from several (on PyPy, see also
// refuse_base_instance_attributes).

// tp_setattro of the closed classes: every attribute assignment or deletion
// raises AttributeError.
int refuse_attribute(PyObject* self, PyObject* name, PyObject* value);

namespace detail {

// `own` followed by `shared` and a value-initialised row, which ends every
// table of the C API.
template <typename Row, std::size_t N, std::size_t M>
std::array<Row, N + M + 1> joined(const Row (&own)[N], const std::array<Row, M>& shared) {
  std::array<Row, N + M + 1> table{};
  std::copy(own, own + N, table.begin());
  std::copy(shared.begin(), shared.end(), table.begin() + N);
  return table;
}

// `shared` and the terminating row, for a class with no rows of its own.
template <typename Row, std::size_t M>
std::array<Row, M + 1> joined(const std::array<Row, M>& shared) {
  std::array<Row, M + 1> table{};
  std::copy(shared.begin(), shared.end(), table.begin());
  return table;
}

// `first` followed by `second`, with no terminating row.
template <typename Row, std::size_t N, std::size_t M>
std::array<Row, N + M> concatenated(const std::array<Row, N>& first,
                                    const std::array<Row, M>& second) {
  std::array<Row, N + M> rows{};
  std::copy(first.begin(), first.end(), rows.begin());
  std::copy(second.begin(), second.end(), rows.begin() + N);
  return rows;
}

#ifdef PYPY_VERSION
inline std::array<PyMethodDef, 4> closed_method_rows() {
  return {{
      {"__init_subclass__", method_pointer(&refuse_subclass),
       METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
      copy_refusal("__reduce_ex__"),
      copy_refusal("__copy__"),
      copy_refusal("__deepcopy__"),
  }};
}
inline std::array<PyGetSetDef, 1> closed_getset_rows() { return {class_assignment_guard()}; }
#else
inline std::array<PyMethodDef, 0> closed_method_rows() { return {}; }
inline std::array<PyGetSetDef, 0> closed_getset_rows() { return {}; }
#endif

inline std::array<PyType_Slot, 1> base_slot_rows() {
  return {{{Py_tp_dealloc, slot_pointer(&deallocate)}}};
}
inline std::array<PyType_Slot, 2> closed_slot_rows() {
  return {{{Py_tp_dealloc, slot_pointer(&deallocate)},
           {Py_tp_setattro, slot_pointer(&refuse_attribute)}}};
}

}  // namespace detail

// The tables of a closed class: its own rows, then the shared ones.
template <std::size_t N>
auto closed_class_methods(const PyMethodDef (&own)[N]) {
  return detail::joined(own, detail::closed_method_rows());
}
// The same with rows that several classes share (see registration_rows).
template <std::size_t N, std::size_t M>
auto closed_class_methods(const PyMethodDef (&own)[N], const std::array<PyMethodDef, M>& more) {
  return detail::joined(own, detail::concatenated(more, detail::closed_method_rows()));
}
template <std::size_t N>
auto closed_class_getset(const PyGetSetDef (&own)[N]) {
  return detail::joined(own, detail::closed_getset_rows());
}
inline auto closed_class_getset() { return detail::joined(detail::closed_getset_rows()); }
template <std::size_t N>
auto closed_class_slots(const PyType_Slot (&own)[N]) {
  return detail::joined(own, detail::closed_slot_rows());
}

// The tables of a base class: its own rows, then the shared ones.
template <std::size_t N>
auto base_class_methods(const PyMethodDef (&own)[N]) {
  return detail::joined(own, std::array<PyMethodDef, 0>{});
}
template <std::size_t N>
auto base_class_slots(const PyType_Slot (&own)[N]) {
  return detail::joined(own, detail::base_slot_rows());
}

}  // namespace zolangpy
