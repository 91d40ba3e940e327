// Compiled programs as a host holds them: a Bytecode is the instructions
// alone, as the compiler (lib.hpp) or the IR reader (ir.hpp) makes them; a
// Program is the instructions packaged with the natives registered for them,
// ready to move into an Interpreter. Both are handles: how the instructions
// are encoded and how the natives are kept are the library's own business,
// and a host passes them along, lists them (Op, in op.hpp) or prints them.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <vector>

#include "op.hpp"

namespace zolang {

// Defined inside the library, which alone reads and writes them.
class EncodedProgram;
struct Package;

class Bytecode {
 public:
  // No instructions.
  Bytecode() noexcept;
  // From a listing, with its places. Implicit, so that hosts and tests can
  // pass a listing wherever a program is wanted.
  Bytecode(const std::vector<Op>& ops);
  Bytecode(std::initializer_list<Op> ops);
  explicit Bytecode(EncodedProgram encoded);

  // A copy is a program of its own; a moved-from one has no instructions.
  Bytecode(const Bytecode& other);
  Bytecode& operator=(const Bytecode& other);
  Bytecode(Bytecode&& other) noexcept;
  Bytecode& operator=(Bytecode&& other) noexcept;
  ~Bytecode();

  std::size_t size() const;
  bool empty() const { return size() == 0; }

  // The instruction at `index` as an Op, with its place; and all of them.
  Op op(std::size_t index) const;
  std::vector<Op> ops() const;

  // Bytes held, counting the capacity of every table of the encoding.
  std::size_t memory_bytes() const;

  // The same instructions; places are not part of them.
  friend bool operator==(const Bytecode& left, const Bytecode& right);

  // The encoding, for the library's own use.
  const EncodedProgram& encoded() const;

 private:
  std::unique_ptr<EncodedProgram> code;  // null: no instructions
};

// Move-only: it owns the natives.
class Program {
 public:
  Program() noexcept;
  explicit Program(Package package);
  Program(Program&& other) noexcept;
  Program& operator=(Program&& other) noexcept;
  ~Program();

  // The instructions and the natives, for the library's own use.
  Package& contents();

 private:
  std::unique_ptr<Package> parts;  // null: no instructions and no natives
};

}  // namespace zolang
