// The instruction loop and the instructions that need the interpreter's maps.
// The loop keeps the instruction pointer, the stack pointers and the frame
// base in locals, and writes them back only when the context's turn ends or a
// helper that works on the context is called.
#include <bit>
#include <cmath>
#include <optional>
#include <string_view>

#include "interpreter_impl.hpp"

namespace zolang {
namespace {

constexpr const char* numbers_only = "Both operands must be numbers";

// The error of a binary operator that cannot run: StackUnderflow when fewer
// than two operands are on the stack, else `message`.
[[gnu::cold]] Error operand_failure(const Value* top, const Value* bottom, std::size_t here,
                                    const char* message) {
  if (top - bottom < 2) return Error::stack_underflow(here);
  return Error::runtime(message);
}

// Drops the operands (up to two) of an operator that failed; returns the new top.
[[gnu::cold]] Value* drop_operands(Value* top, const Value* bottom) {
  for (int dropped = 0; dropped < 2 && top != bottom; ++dropped) drop_slot(--top);
  return top;
}

// The message of a failed add, decided on the right operand.
const char* add_failure(const Value& right) {
  if (right.is_number()) return "Right operand must be a number";
  if (right.is_string()) return "Right operand must be a string";
  return "Operands must be a number or a string";
}

// The stack's guard slots are nil, so this also answers false when fewer than
// two values are on the stack.
inline bool has_two_numbers(const Value* top) { return top[-1].is_number() && top[-2].is_number(); }

// Replaces the two number operands by `result`.
inline Value* put_number(Value* top, double result) {
  new (top - 2) Value(Value::number(result));
  return top - 1;
}

// Replaces the two number operands by `result`.
inline Value* put_comparison(Value* top, bool result) {
  new (top - 2) Value(Value::boolean(result));
  return top - 1;
}

// Replaces the two operands (of any kinds) by `result`.
inline Value* put_boolean(Value* top, bool result) {
  drop_slot(top - 1);
  drop_slot(top - 2);
  new (top - 2) Value(Value::boolean(result));
  return top - 1;
}

// Whether slot `slot` above the base exists and holds a number.
inline bool has_number_slot(const Value* base, const Value* top, std::uint32_t slot) {
  return static_cast<std::ptrdiff_t>(slot) < top - base && base[slot].is_number();
}

// The operators that fused forms apply to two numbers, chosen at compile time.
template <Code op>
constexpr bool is_comparison() {
  return op == Code::Lt || op == Code::Le || op == Code::Gt || op == Code::Ge;
}
template <Code op>
inline double arithmetic(double left, double right) {
  if constexpr (op == Code::Add) return left + right;
  if constexpr (op == Code::Sub) return left - right;
  if constexpr (op == Code::Mul) return left * right;
  if constexpr (op == Code::Div) return left / right;
}
template <Code op>
inline bool compare(double left, double right) {
  if constexpr (op == Code::Lt) return left < right;
  if constexpr (op == Code::Le) return left <= right;
  if constexpr (op == Code::Gt) return left > right;
  if constexpr (op == Code::Ge) return left >= right;
}
// Creates the result of `op` in the raw or number slot `target`.
template <Code op>
inline void put_result(Value* target, double left, double right) {
  if constexpr (is_comparison<op>()) {
    new (target) Value(Value::boolean(compare<op>(left, right)));
  } else {
    new (target) Value(Value::number(arithmetic<op>(left, right)));
  }
}

// and, or, xor, eq, ne of two values of any kinds.
bool logic(Code code, const Value& left, const Value& right) {
  if (code == Code::And) return right.truthy() && left.truthy();
  if (code == Code::Or) return right.truthy() || left.truthy();
  if (code == Code::Xor) return left.truthy() != right.truthy();
  if (code == Code::Eq) return equals(left, right);
  return !equals(left, right);
}

// Pops the value in `slot` and returns its truthiness.
inline bool take_truth(Value* slot) {
  if (slot->is_boolean()) return slot->as_boolean();
  bool truth = slot->truthy();
  drop_slot(slot);
  return truth;
}

}  // namespace

// Moves pc by `offset`; a move backwards (a loop) spends a unit of the
// budget. Forward moves cannot repeat without a backward one, so bounding
// these bounds every loop at the price of one counter per iteration. The
// jump is taken before the check point, so that a run stopped there goes on
// with the loop if it is stepped again.
#define ZO_JUMP_BY(offset)                    \
  do {                                        \
    std::ptrdiff_t by = (offset);             \
    pc += by;                                 \
    if (by < 0 && --fuel == 0) [[unlikely]] { \
      checked_at = address_of(pc - by);       \
      goto check_point;                       \
    }                                         \
  } while (false)

// The fused forms, one case per form and operator (see ZO_FUSED_FORMS). Each
// checks everything it needs before it changes anything, so that it can fall
// back to the plain first instruction (unfused) or grow the stack and run
// again (grow_and_retry).
#define ZO_OPERATOR_FORMS(OP)                                                                 \
  case Code::Const##OP:                                                                       \
    if (!top[-1].is_number()) goto unfused;                                                   \
    put_result<Code::OP>(top - 1, top[-1].as_number(), instr->number());                      \
    pc += fused_skip(FusedFamily::Const);                                                     \
    break;                                                                                    \
  case Code::Slot##OP:                                                                        \
    if (!has_number_slot(base, top, instr->load_slot()) || !top[-1].is_number()) {            \
      goto unfused;                                                                           \
    }                                                                                         \
    put_result<Code::OP>(top - 1, top[-1].as_number(), base[instr->load_slot()].as_number()); \
    pc += fused_skip(FusedFamily::Slot);                                                      \
    break;                                                                                    \
  case Code::LoadConst##OP:                                                                   \
    if (!has_number_slot(base, top, instr->load_slot())) goto unfused;                        \
    if (top == limit) goto grow_and_retry;                                                    \
    put_result<Code::OP>(top, base[instr->load_slot()].as_number(), instr->number());         \
    ++top;                                                                                    \
    pc += fused_skip(FusedFamily::LoadConst);                                                 \
    break;

// As store would, the result goes into slot b when that lies below it, and
// otherwise stays on top.
#define ZO_STORE_FORMS(OP)                                                                       \
  case Code::LoadConst##OP##Store: {                                                             \
    if (!has_number_slot(base, top, instr->load_slot())) goto unfused;                           \
    double result = arithmetic<Code::OP>(base[instr->load_slot()].as_number(), instr->number()); \
    Value* slot = base + instr->store_slot();                                                    \
    if (instr->store_slot() < top - base) {                                                      \
      drop_slot(slot);                                                                           \
      new (slot) Value(Value::number(result));                                                   \
    } else {                                                                                     \
      if (top == limit) goto grow_and_retry;                                                     \
      new (top++) Value(Value::number(result));                                                  \
    }                                                                                            \
    pc += fused_skip(FusedFamily::LoadConstStore);                                               \
    break;                                                                                       \
  }

// A compare-and-jump form that does not jump goes on after its sequence.
#define ZO_JUMP_FORMS(OP)                                                               \
  case Code::LoadConst##OP##JumpUnless:                                                 \
    if (!has_number_slot(base, top, instr->load_slot())) goto unfused;                  \
    ZO_JUMP_BY(compare<Code::OP>(base[instr->load_slot()].as_number(), instr->number()) \
                   ? fused_skip(FusedFamily::LoadConstJumpUnless)                       \
                   : instr->fused_offset());                                            \
    break;                                                                              \
  case Code::LoadConst##OP##JumpIf:                                                     \
    if (!has_number_slot(base, top, instr->load_slot())) goto unfused;                  \
    ZO_JUMP_BY(compare<Code::OP>(base[instr->load_slot()].as_number(), instr->number()) \
                   ? instr->fused_offset()                                              \
                   : fused_skip(FusedFamily::LoadConstJumpIf));                         \
    break;                                                                              \
  case Code::OP##JumpUnless:                                                            \
    if (!has_two_numbers(top)) goto unfused;                                            \
    top -= 2;                                                                           \
    ZO_JUMP_BY(compare<Code::OP>(top[0].as_number(), top[1].as_number())                \
                   ? fused_skip(FusedFamily::CompareJumpUnless)                         \
                   : instr->offset());                                                  \
    break;                                                                              \
  case Code::OP##JumpIf:                                                                \
    if (!has_two_numbers(top)) goto unfused;                                            \
    top -= 2;                                                                           \
    ZO_JUMP_BY(compare<Code::OP>(top[0].as_number(), top[1].as_number())                \
                   ? instr->offset()                                                    \
                   : fused_skip(FusedFamily::CompareJumpIf));                           \
    break;

std::expected<StepOutcome, Error> Interpreter::Impl::step_with(ExecutionContext& context) {
  const Instr* const code = program.code.data();
  ValueStack& stack = context.stack;
  const Instr* pc = code + context.ip;
  Value* bottom = stack.bottom;
  Value* top = stack.top;
  Value* limit = stack.limit;
  Value* base = bottom + context.base();
  StepOutcome outcome = StepOutcome::Continue;
  std::optional<Error>& failure = step_failure;
  std::size_t checked_at = 0;  // the instruction that reached a check point
  // The address of the instruction being executed (pc is already past it).
  auto address_of = [code](const Instr* next) { return static_cast<std::size_t>(next - 1 - code); };
  // Helpers that take the stack out of the loop's registers may grow it or
  // push frames; the registers are read back from the stack afterwards.
  auto reload_registers = [&] {
    bottom = stack.bottom;
    top = stack.top;
    limit = stack.limit;
    base = bottom + context.base();
  };
  for (;;) {
    const Instr* instr = pc++;
  dispatch:
    switch (instr->code) {
      case Code::Load:
        // Slots are clamped at decoding, so the comparison is signed and
        // also catches a base above the top.
        if (static_cast<std::ptrdiff_t>(instr->slot()) >= top - base) {
          failure = Error::stack_out_of_bounds(address_of(pc));
          goto fail;
        }
        if (top == limit) goto grow_and_retry;
        copy_to_slot(top, base[instr->slot()]);
        ++top;
        break;
      case Code::Store:
        // Only when the top lies above the slot; when it is the slot, it stays.
        if (static_cast<std::ptrdiff_t>(instr->slot()) + 1 < top - base) {
          Value* slot = base + instr->slot();
          drop_slot(slot);
          move_to_slot(slot, --top);
        }
        break;
      case Code::Get:
      case Code::Set: {
        stack.top = top;
        auto done = instr->code == Code::Get ? get(context, address_of(pc), *instr)
                                             : set(context, address_of(pc), *instr);
        reload_registers();
        if (!done) {
          failure = std::move(done.error());
          goto fail;
        }
        break;
      }
      case Code::Push:
        if (top == limit) goto grow_and_retry;
        copy_to_slot(top++, program.constants[instr->constant()]);
        break;
      case Code::PushNumber:
        if (top == limit) goto grow_and_retry;
        new (top++) Value(Value::number(instr->number()));
        break;
      case Code::Pop:
        if (top != bottom) drop_slot(--top);
        break;
      case Code::Dup:
        if (top == bottom) {
          failure = Error::stack_underflow(address_of(pc));
          goto fail;
        }
        if (top == limit) goto grow_and_retry;
        copy_to_slot(top, top[-1]);
        ++top;
        break;
      case Code::Add:
        if (has_two_numbers(top)) {
          top = put_number(top, top[-2].as_number() + top[-1].as_number());
        } else if (top - bottom >= 2 && top[-1].is_string() && top[-2].is_string()) {
          stack.top = top;
          std::optional<Value> joined = concat(top[-2], top[-1], address_of(pc));
          if (!joined) goto fail;
          drop_slot(--top);
          top[-1] = std::move(*joined);
        } else {
          const char* message = top == bottom ? numbers_only : add_failure(top[-1]);
          failure = operand_failure(top, bottom, address_of(pc), message);
          top = drop_operands(top, bottom);
          goto fail;
        }
        break;
      case Code::Sub:
        if (!has_two_numbers(top)) goto number_failure;
        top = put_number(top, top[-2].as_number() - top[-1].as_number());
        break;
      case Code::Mul:
        if (!has_two_numbers(top)) goto number_failure;
        top = put_number(top, top[-2].as_number() * top[-1].as_number());
        break;
      case Code::Div:
        if (!has_two_numbers(top)) goto number_failure;
        top = put_number(top, top[-2].as_number() / top[-1].as_number());
        break;
      case Code::Mod:
        if (!has_two_numbers(top)) goto number_failure;
        top = put_number(top, std::fmod(top[-2].as_number(), top[-1].as_number()));
        break;
      case Code::Exp:
        if (!has_two_numbers(top)) goto number_failure;
        top = put_number(top, std::pow(top[-2].as_number(), top[-1].as_number()));
        break;
      case Code::Neg:
      case Code::Abs:
        if (top == bottom) {
          failure = Error::stack_underflow(address_of(pc));
          goto fail;
        }
        if (!top[-1].is_number()) {
          failure =
              Error::runtime(instr->code == Code::Neg ? "Only numbers can be negated"
                                                      : "Absolute value only works with numbers");
          goto fail;
        }
        top[-1] = Value::number(instr->code == Code::Neg ? -top[-1].as_number()
                                                         : std::fabs(top[-1].as_number()));
        break;
      case Code::And:
      case Code::Or:
      case Code::Xor:
      case Code::Eq:
      case Code::Ne:
        if (top - bottom < 2) {
          failure = operand_failure(top, bottom, address_of(pc), numbers_only);
          top = drop_operands(top, bottom);
          goto fail;
        }
        top = put_boolean(top, logic(instr->code, top[-2], top[-1]));
        break;
      case Code::Lt:
        if (!has_two_numbers(top)) goto number_failure;
        top = put_comparison(top, top[-2].as_number() < top[-1].as_number());
        break;
      case Code::Le:
        if (!has_two_numbers(top)) goto number_failure;
        top = put_comparison(top, top[-2].as_number() <= top[-1].as_number());
        break;
      case Code::Gt:
        if (!has_two_numbers(top)) goto number_failure;
        top = put_comparison(top, top[-2].as_number() > top[-1].as_number());
        break;
      case Code::Ge:
        if (!has_two_numbers(top)) goto number_failure;
        top = put_comparison(top, top[-2].as_number() >= top[-1].as_number());
        break;
      case Code::Not:
        if (top == bottom) {
          failure = Error::stack_underflow(address_of(pc));
          goto fail;
        }
        new (top - 1) Value(Value::boolean(!take_truth(top - 1)));
        break;
      case Code::Jump:
        ZO_JUMP_BY(instr->offset());
        break;
      case Code::JumpUnless:
        // A boolean is the common case; the guard slot below an empty stack
        // is nil, so emptiness is checked only off that path.
        if (top[-1].is_boolean()) {
          if (!(--top)->as_boolean()) ZO_JUMP_BY(instr->offset());
          break;
        }
        if (top == bottom) goto jump_underflow;
        if (!take_truth(--top)) ZO_JUMP_BY(instr->offset());
        break;
      case Code::JumpIf:
        if (top[-1].is_boolean()) {
          if ((--top)->as_boolean()) ZO_JUMP_BY(instr->offset());
          break;
        }
        if (top == bottom) goto jump_underflow;
        if (take_truth(--top)) ZO_JUMP_BY(instr->offset());
        break;
      case Code::Label:
        break;
      case Code::Call: {
        const NameSlot& slot = program.names[instr->name()];
        if (slot.generator == nullptr && slot.label != no_label) {
          // A group call: its arguments become slots 0 to n - 1 of its frame.
          auto depth = static_cast<std::size_t>(top - bottom);
          if (instr->arity() > depth) {
            failure = Error::stack_underflow(address_of(pc));
            goto fail;
          }
          if (context.frames.size() == context.frames.capacity()) [[unlikely]] {
            stack.top = top;
            if (!grow_frames(context, address_of(pc))) goto fail;
          }
          context.frames.push_back(Frame{address_of(pc) + 1, depth - instr->arity()});
          base = top - instr->arity();
          std::size_t here = address_of(pc);
          pc = code + slot.label;
          // Recursion needs no backward jump, so each call spends a unit.
          if (--fuel == 0) [[unlikely]] {
            checked_at = here;
            goto check_point;
          }
          break;
        }
        stack.top = top;
        auto done = call(context, address_of(pc), *instr);
        top = stack.top;
        if (!done) {
          failure = std::move(done.error());
          goto fail;
        }
        // A native call ends the turn; call() set the ip (here when polled again).
        return *done;
      }
      case Code::CallParallel:
      case Code::CallRace: {
        stack.top = top;
        auto done = spawn(context, address_of(pc), *instr);
        reload_registers();
        if (!done) {
          failure = std::move(done.error());
          goto fail;
        }
        if (*done == StepOutcome::Continue) break;
        outcome = *done;
        goto stop;
      }
      case Code::Yield:
        outcome = StepOutcome::Yield;
        goto stop;
      case Code::Return:
        if (context.frames.empty()) {
          outcome = StepOutcome::Finished;
          goto stop;
        }
        pc = code + context.frames.back().return_index;
        context.frames.pop_back();
        base = bottom + context.base();
        break;
        ZO_OPERATOR_FORMS(Add)
        ZO_OPERATOR_FORMS(Sub)
        ZO_OPERATOR_FORMS(Mul)
        ZO_OPERATOR_FORMS(Div)
        ZO_OPERATOR_FORMS(Lt)
        ZO_OPERATOR_FORMS(Le)
        ZO_OPERATOR_FORMS(Gt)
        ZO_OPERATOR_FORMS(Ge)
        ZO_STORE_FORMS(Add)
        ZO_STORE_FORMS(Sub)
        ZO_STORE_FORMS(Mul)
        ZO_STORE_FORMS(Div)
        ZO_JUMP_FORMS(Lt)
        ZO_JUMP_FORMS(Le)
        ZO_JUMP_FORMS(Gt)
        ZO_JUMP_FORMS(Ge)
      case Code::Halt:
        --pc;  // the ip stays at or past the end
        outcome = StepOutcome::Finished;
        goto stop;
    }
    continue;

  grow_and_retry:
    top = grow_stack(stack, top, address_of(pc));
    if (top == nullptr) {
      top = stack.top;
      goto fail;
    }
    bottom = stack.bottom;
    limit = stack.limit;
    base = bottom + context.base();
    goto dispatch;
  unfused:
    // The fast path does not apply: run the first instruction plainly.
    instr = program.plain.data() + (pc - 1 - code);
    goto dispatch;
  number_failure:
    failure = operand_failure(top, bottom, address_of(pc), numbers_only);
    top = drop_operands(top, bottom);
    goto fail;
  jump_underflow:
    failure = Error::stack_underflow(address_of(pc));
    goto fail;
  check_point:
    // The instruction has done its work; stop here or go on with the next.
    if (!pass_check_point(checked_at)) {
      if (failure) goto fail;
      outcome = StepOutcome::Yield;  // a stop was asked for: the scheduler ends the run
      goto stop;
    }
    continue;
  }

stop:
  context.ip = static_cast<std::size_t>(pc - code);
  stack.top = top;
  return outcome;

fail:
  context.ip = static_cast<std::size_t>(pc - code);
  stack.top = top;
  Error error = std::move(*failure);
  failure.reset();
  return std::unexpected(std::move(error));
}

#undef ZO_OPERATOR_FORMS
#undef ZO_STORE_FORMS
#undef ZO_JUMP_FORMS
#undef ZO_JUMP_BY

std::optional<Value> Interpreter::Impl::concat(const Value& left, const Value& right,
                                               std::size_t here) {
  std::size_t length = left.as_string().size() + right.as_string().size();
  if (!charge(Value::string_heap_bytes(length), here)) return std::nullopt;
  std::optional<Value> joined = Value::try_concat(left.as_string(), right.as_string());
  if (!joined) step_failure = Error::memory_limit_exceeded(here);
  return joined;
}

std::expected<StepOutcome, Error> Interpreter::Impl::call(ExecutionContext& context,
                                                          std::size_t here, const Instr& instr) {
  const NameSlot& slot = program.names[instr.name()];
  if (slot.generator == nullptr)
    return std::unexpected(Error::unknown_callable(std::string(slot.name), here));
  return native_call(context, here, slot, instr.arity());
}

std::expected<StepOutcome, Error> Interpreter::Impl::native_call(ExecutionContext& context,
                                                                 std::size_t here,
                                                                 const NameSlot& slot,
                                                                 std::size_t arity) {
  NativeCallScope calling_native(*this, context, here);
  context.ip = here + 1;
  auto active =
      context.has_callable ? active_callables.find(context.callable_id) : active_callables.end();
  if (active == active_callables.end()) {
    if (context.stack.size() < arity) {
      context.stack.clear();
      return std::unexpected(Error::stack_underflow(here));
    }
    auto made = slot.generator->generate(context.stack.take_back(arity));
    if (!made) return std::unexpected(std::move(made.error()));
    if (*made == nullptr) return std::unexpected(Error::invalid_callable(std::string(slot.name)));
    std::uint32_t id =
        take_callable_id(state.unlocked().next_callable_id,
                         [this](std::uint32_t id) { return active_callables.contains(id); });
    active = active_callables.emplace(id, std::move(*made)).first;
    context.has_callable = true;
    context.callable_id = id;
  }
  auto polled = active->second->call();
  if (!polled) return std::unexpected(std::move(polled.error()));
  if (!*polled) {
    context.ip = here;
    return StepOutcome::Yield;
  }
  context.has_callable = false;
  active_callables.erase(active);
  return StepOutcome::NativeDone;
}

std::expected<StepOutcome, Error> Interpreter::Impl::spawn(ExecutionContext& context,
                                                           std::size_t here, const Instr& instr) {
  context.mode = instr.code == Code::CallRace ? WaitMode::Race : WaitMode::Parallel;
  const std::vector<GroupEntry>& entries = program.call_lists[instr.call_list()];
  if (entries.empty()) return StepOutcome::Continue;
  constexpr std::uint64_t child_bytes = sizeof(ExecutionContext) + sizeof(ExecutionContext*);
  if (!charge(entries.size() * (child_bytes + ValueStack::initial_heap_bytes()), here)) {
    return std::unexpected(take_failure());
  }
  for (const GroupEntry& entry : entries) {
    const NameSlot& slot = program.names[entry.slot];
    if (slot.label == no_label) return std::unexpected(Error::parallel_not_group(here));
    auto child = new_context();
    child->ip = slot.label;
    child->is_wrapper = slot.name.starts_with('#');
    // The caller's top value becomes the child's slot 0.
    for (std::size_t moved = 0; moved < entry.arity; ++moved) {
      if (context.stack.empty()) return std::unexpected(Error::stack_underflow(here));
      child->stack.push(context.stack.pop());
    }
    ExecutionContext::add_dependency(context, std::move(child));
  }
  // Spawning can recurse within one step without a backward jump. The
  // children are in place first, so that stepping again after a stop here
  // runs them.
  // A stop asked for at a check point on the way leaves no error.
  if (!spend(entries.size(), here) && step_failure) return std::unexpected(take_failure());
  return StepOutcome::Spawned;
}

std::expected<void, Error> Interpreter::Impl::get(ExecutionContext& context, std::size_t here,
                                                  const Instr& instr) {
  const NameSlot& slot = program.names[instr.name()];
  // Only code that ran without validation (__end run by end() before the
  // first step) can reach an unregistered property.
  if (slot.property == nullptr)
    return std::unexpected(Error::unknown_property(std::string(slot.name), here));
  std::expected<Value, Error> value = [&] {
    NativeDepth depth;
    return slot.property->get();
  }();
  if (!value) return std::unexpected(std::move(value.error()));
  // The value is made already, but holding it is the program's.
  if (!charge(value->heap_bytes(), here)) return std::unexpected(take_failure());
  context.stack.push(std::move(*value));
  return {};
}

std::expected<void, Error> Interpreter::Impl::set(ExecutionContext& context, std::size_t here,
                                                  const Instr& instr) {
  if (context.stack.empty()) return std::unexpected(Error::stack_underflow(here));
  Value value = context.stack.pop();
  const NameSlot& slot = program.names[instr.name()];
  if (slot.property == nullptr)
    return std::unexpected(Error::unknown_property(std::string(slot.name), here));
  NativeDepth depth;
  return slot.property->set(std::move(value));
}

}  // namespace zolang
