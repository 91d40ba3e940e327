// Heap types from descriptions, instance allocation and teardown, the payload
// record (an open-addressing table consulted by every method), and the use
// flags of objects that have no room for their own.
#include "types.hpp"

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>

#include "errors.hpp"

namespace zolangpy {

ModuleTypes& module_types() {
  static ModuleTypes types;
  return types;
}

PyType_Spec make_type_description(const char* name, std::size_t object_size, bool subclassable,
                                  PyType_Slot* slots) {
  unsigned int flags = Py_TPFLAGS_DEFAULT | (subclassable ? Py_TPFLAGS_BASETYPE : 0);
  return PyType_Spec{name, static_cast<int>(object_size), 0, flags, slots};
}

PyObject* create_type(PyType_Spec& description) {
  // The qualified type name makes the type's __module__ "zolangpy" (a bare
  // one would make it "builtins", and newer CPythons warn about it, which
  // fails the import under -W error); renaming afterwards leaves the type's
  // own name bare, as in its messages ("'Interpreter' object ...").
  PyRef type = PyRef::steal(PyType_FromSpec(&description));
  if (!type) return nullptr;
  PyRef bare_name = PyRef::steal(
      PyUnicode_FromString(short_type_name(reinterpret_cast<PyTypeObject*>(type.get()))));
  if (!bare_name || PyObject_SetAttrString(type.get(), "__name__", bare_name.get()) < 0) {
    return nullptr;
  }
  return type.release();
}

bool accepts_type(PyTypeObject* type, PyTypeObject* own, bool subclassable) {
  if (type == own) return true;
  const char* own_name = short_type_name(own);
  if (!PyType_IsSubtype(type, own)) {
    const char* name = short_type_name(type);
    PyErr_Format(PyExc_TypeError, "%s.__new__(%s): %s is not a subtype of %s", own_name, name, name,
                 own_name);
    return false;
  }
  if (subclassable) return true;
  // Only PyPy gets here: a class derived despite the refusal in
  // __init_subclass__, by a base whose own __init_subclass__ skipped super().
  PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type", own_name);
  return false;
}

std::nullptr_t refuse_payloadless(PyObject* self) {
  // The class as Python sees it: on PyPy, one assigned to __class__ does not
  // reach the object's C header.
  PyRef type = PyRef::steal(PyObject_Type(self));
  if (!type) return nullptr;
  PyErr_Format(PyExc_TypeError, "'%s' object was not made by zolangpy and cannot be used",
               short_type_name(reinterpret_cast<PyTypeObject*>(type.get())));
  return nullptr;
}

void deallocate(PyObject* self) {
  GilHeld held;
  PyTypeObject* type = Py_TYPE(self);
  if (DestroyPayload destroy = forget_payload(self)) destroy(self);
  type->tp_free(self);
  release_type_reference(type);
}

void release_type_reference(PyTypeObject* type) {
  // Instances of heap types own a reference to their type, taken by
  // tp_alloc. PyPy 7.3.11 takes it too and, since our deallocators do not
  // chain to object's (which would drop it a second time), leaves giving it
  // back to us exactly as CPython does: measured, the type's count returns to
  // its start after 1000 instances die, and grows by 1000 without this line.
  PyRef::steal(reinterpret_cast<PyObject*>(type));
}

int refuse_attribute(PyObject* self, PyObject* name, PyObject*) {
  PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%U'",
               short_type_name(Py_TYPE(self)), name);
  return -1;
}

}  // namespace zolangpy

// --- Payloads ---

namespace zolangpy {
namespace {

// An open-addressing table with linear probing, consulted on every method
// call: a lookup is a multiply, a shift and usually one slot. Plain data, so
// that it needs no construction and is never destroyed: objects may still be
// deallocated while the process exits.
class PayloadTable {
 public:
  DestroyPayload find(PyObject* object) const {
    if (slots == nullptr) return nullptr;
    for (std::size_t at = home(object);; at = next(at)) {
      if (slots[at].object == object) return slots[at].destroy;
      if (slots[at].object == nullptr) return nullptr;
    }
  }

  void insert(PyObject* object, DestroyPayload destroy) {
    if ((count + 1) * 2 > capacity) grow();
    std::size_t at = home(object);
    while (slots[at].object != nullptr && slots[at].object != object) at = next(at);
    if (slots[at].object == nullptr) ++count;
    slots[at] = {object, destroy};
  }

  DestroyPayload erase(PyObject* object) {
    if (slots == nullptr) return nullptr;
    std::size_t at = home(object);
    while (slots[at].object != object) {
      if (slots[at].object == nullptr) return nullptr;
      at = next(at);
    }
    DestroyPayload destroy = slots[at].destroy;
    close_gap(at);
    --count;
    return destroy;
  }

 private:
  struct Slot {
    PyObject* object;
    DestroyPayload destroy;
  };

  std::size_t home(PyObject* object) const {
    // Fibonacci hashing; objects are at least 16-byte aligned.
    auto bits = reinterpret_cast<std::uintptr_t>(object) >> 4;
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> shift);
  }
  std::size_t next(std::size_t at) const { return (at + 1) & (capacity - 1); }

  // Backward-shift deletion: moves later entries of the probe run into the
  // gap, so that no tombstones are needed.
  void close_gap(std::size_t gap) {
    for (std::size_t at = next(gap); slots[at].object != nullptr; at = next(at)) {
      std::size_t wanted = home(slots[at].object);
      // The entry stays unless its home lies outside (gap, at], cyclically.
      bool stays = gap <= at ? (gap < wanted && wanted <= at) : (gap < wanted || wanted <= at);
      if (stays) continue;
      slots[gap] = slots[at];
      gap = at;
    }
    slots[gap] = Slot{nullptr, nullptr};
  }

  void grow() {
    std::size_t new_capacity = capacity == 0 ? 64 : capacity * 2;
    // Allocated first: if that throws, the table stays as it was.
    std::unique_ptr<Slot[]> old(std::exchange(slots, new Slot[new_capacity]()));
    std::size_t old_capacity = std::exchange(capacity, new_capacity);
    shift = 64;
    for (std::size_t size = capacity; size > 1; size >>= 1) --shift;
    count = 0;
    for (std::size_t at = 0; at < old_capacity; ++at) {
      if (old[at].object != nullptr) insert(old[at].object, old[at].destroy);
    }
  }

  // Zero until the first insertion; the GIL serialises every use.
  Slot* slots;
  std::size_t capacity;
  std::size_t count;
  unsigned shift;
};

PayloadTable table;

}  // namespace

void record_payload(PyObject* object, DestroyPayload destroy) { table.insert(object, destroy); }

DestroyPayload recorded_payload(PyObject* object) { return table.find(object); }

DestroyPayload forget_payload(PyObject* object) { return table.erase(object); }

}  // namespace zolangpy

// --- Use ---

namespace zolangpy {
namespace {

// Flags of table-kept objects in use; node-based, so a flag's address stays
// put while other entries come and go.
std::unordered_map<PyObject*, BorrowFlag>& flag_table() {
  static std::unordered_map<PyObject*, BorrowFlag> table;
  return table;
}

}  // namespace

Use Use::exclusive(BorrowFlag& flag) {
  if (flag.uses != 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return Use(nullptr);
  }
  flag.uses = -1;
  return Use(&flag);
}

Use Use::shared(BorrowFlag& flag) {
  if (flag.uses < 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return Use(nullptr);
  }
  ++flag.uses;
  return Use(&flag);
}

Use Use::exclusive(PyObject* object) {
  auto [entry, added] = flag_table().try_emplace(object);
  Use use = exclusive(entry->second);
  if (use) use.key = object;
  return use;
}

Use Use::shared(PyObject* object) {
  auto [entry, added] = flag_table().try_emplace(object);
  Use use = shared(entry->second);
  if (use) use.key = object;
  return use;
}

Use::~Use() {
  if (flag == nullptr) return;
  if (flag->uses < 0) {
    flag->uses = 0;
  } else {
    --flag->uses;
  }
  if (key != nullptr && flag->uses == 0) flag_table().erase(key);
}

}  // namespace zolangpy
