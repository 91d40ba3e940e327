// The per-object use rule: a method that needs exclusive use of an object is
// refused while any other call uses it; a method that only reads is refused
// while another call uses it exclusively. This is what stops a native from
// re-entering the interpreter that is calling it, and two threads from using
// one object at once (the GIL can be released inside a native).
#pragma once

#include <cstdint>

#include "python.hpp"

namespace zolangpy {

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

}  // namespace zolangpy
