// The handles hosts hold programs by. Each owns its contents behind one
// allocation, made when the compiler or the IR reader hands a program over;
// the interpreter decodes the encoding once and never goes through the handle
// while it runs.
#include "program.hpp"

#include <utility>

#include "bytecode.hpp"
#include "package.hpp"

namespace zolang {

namespace {

const EncodedProgram& no_instructions() {
  static const EncodedProgram empty;
  return empty;
}

}  // namespace

Bytecode::Bytecode() noexcept = default;
Bytecode::Bytecode(const std::vector<Op>& ops) : code(std::make_unique<EncodedProgram>(ops)) {}
Bytecode::Bytecode(std::initializer_list<Op> ops) : code(std::make_unique<EncodedProgram>(ops)) {}
Bytecode::Bytecode(EncodedProgram encoded)
    : code(std::make_unique<EncodedProgram>(std::move(encoded))) {}

Bytecode::Bytecode(const Bytecode& other)
    : code(other.code ? std::make_unique<EncodedProgram>(*other.code) : nullptr) {}
Bytecode& Bytecode::operator=(const Bytecode& other) {
  if (this != &other) *this = Bytecode(other);
  return *this;
}
Bytecode::Bytecode(Bytecode&& other) noexcept = default;
Bytecode& Bytecode::operator=(Bytecode&& other) noexcept = default;
Bytecode::~Bytecode() = default;

const EncodedProgram& Bytecode::encoded() const { return code ? *code : no_instructions(); }

std::size_t Bytecode::size() const { return encoded().size(); }
Op Bytecode::op(std::size_t index) const { return encoded().op(index); }
std::vector<Op> Bytecode::ops() const { return encoded().ops(); }
std::size_t Bytecode::memory_bytes() const {
  return sizeof(Bytecode) + (code ? code->memory_bytes() : 0);
}

bool operator==(const Bytecode& left, const Bytecode& right) {
  return left.encoded() == right.encoded();
}

Program::Program() noexcept = default;
Program::Program(Package package) : parts(std::make_unique<Package>(std::move(package))) {}
Program::Program(Program&& other) noexcept = default;
Program& Program::operator=(Program&& other) noexcept = default;
Program::~Program() = default;

Package& Program::contents() {
  if (!parts) parts = std::make_unique<Package>();
  return *parts;
}

}  // namespace zolang
