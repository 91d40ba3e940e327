// The instruction loop and the instructions that need the interpreter's maps.
// The loop is a switch over the instruction table whose cases call one helper
// each. The instruction pointer, the stack pointers and the frame base live
// in the loop's Registers, written back only when the context's turn ends or
// a helper that works on the context is called.
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

// What the loop does after an instruction.
enum class Next : std::uint8_t {
  Go,          // runs the next instruction
  Grow,        // the stack is full: grow it, then run the same instruction again
  CheckPoint,  // the budget's counter ran out: pass a check point, then go on
  Stop,        // the turn ends with `outcome`
  Handed,      // the turn ends with `outcome`; the helper has set the context's ip and top
  Fail,        // the error is in failure.pending
};

// Keep the error step_with is about to return: made from the failing
// address, a runtime message, or moved from a helper's result. Out of line,
// so that the loop's registers never have their address taken.
[[gnu::cold, gnu::noinline]] void keep_failure(std::optional<Error>& failure,
                                               Error (*make)(std::size_t), std::size_t here) {
  failure = make(here);
}
[[gnu::cold, gnu::noinline]] void keep_failure(std::optional<Error>& failure, const char* message) {
  failure = Error::runtime(message);
}
[[gnu::cold, gnu::noinline]] void keep_failure(std::optional<Error>& failure, Error& error) {
  failure = std::move(error);
}

// The failure of a binary operator; drops its operands and returns the new top.
[[gnu::cold, gnu::noinline]] Value* fail_operands(std::optional<Error>& failure, Value* top,
                                                  const Value* bottom, std::size_t here,
                                                  const char* message) {
  failure = operand_failure(top, bottom, here, message);
  return drop_operands(top, bottom);
}

#define ZO_INLINE [[gnu::always_inline]] inline

}  // namespace

// The loop's state. It lives in one step_with call and every helper below is
// inlined into it, so the compiler keeps the pointers in machine registers;
// they are written back to the context only when the turn ends or a helper
// that works on the context is called.
struct Interpreter::Impl::Registers {
  Registers(Impl& impl, ExecutionContext& context)
      : impl(impl),
        context(context),
        code(impl.program.code.data()),
        pc(code + context.ip),
        bottom(context.stack.bottom),
        top(context.stack.top),
        limit(context.stack.limit),
        base(bottom + context.base()) {}

  // The address of the instruction being executed (pc is already past it).
  ZO_INLINE std::size_t here() const { return static_cast<std::size_t>(pc - 1 - code); }

  // Hands the stack to a helper that works on the context, and takes it back.
  ZO_INLINE void write_top() { context.stack.top = top; }
  ZO_INLINE void reload() {
    bottom = context.stack.bottom;
    top = context.stack.top;
    limit = context.stack.limit;
    base = bottom + context.base();
  }
  // False, with the error in failure.pending, when the memory is not to be had.
  ZO_INLINE bool grow() {
    if (impl.grow_stack(context.stack, top, here()) == nullptr) return false;
    reload();
    return true;
  }
  // Leaves the loop: the context goes on from pc next time.
  ZO_INLINE void write_back() {
    context.ip = static_cast<std::size_t>(pc - code);
    write_top();
  }

  ZO_INLINE Next stop(StepOutcome how) {
    outcome = how;
    return Next::Stop;
  }
  // The failures. The error is made out of line, so that its temporaries
  // do not add to the loop's stack frame (under AddressSanitizer every one
  // would have a slot of its own, and nested interpreters recurse through it).
  ZO_INLINE Next fail(Error (*make)(std::size_t)) {
    keep_failure(impl.failure.pending, make, here());
    return Next::Fail;
  }
  ZO_INLINE Next fail(const char* message) {
    keep_failure(impl.failure.pending, message);
    return Next::Fail;
  }
  ZO_INLINE Next fail(Error& error) {
    keep_failure(impl.failure.pending, error);
    return Next::Fail;
  }
  // The error of a binary operator that cannot run; its operands are dropped.
  ZO_INLINE Next operand_fail(const char* message) {
    top = fail_operands(impl.failure.pending, top, bottom, here(), message);
    return Next::Fail;
  }

  // Moves pc by `offset`; a move backwards (a loop) spends a unit of the
  // budget. Forward moves cannot repeat without a backward one, so bounding
  // these bounds every loop at the price of one counter per iteration. The
  // jump is taken before the check point, so that a run stopped there goes on
  // with the loop if it is stepped again.
  ZO_INLINE Next jump_by(std::ptrdiff_t offset) {
    pc += offset;
    if (offset < 0 && --impl.fuel == 0) [[unlikely]] {
      checked_at = static_cast<std::size_t>(pc - offset - 1 - code);
      return Next::CheckPoint;
    }
    return Next::Go;
  }

  // --- The plain instructions --------------------------------------------------

  ZO_INLINE Next load(const Instr& instr) {
    // Slots are clamped at decoding, so the comparison is signed and also
    // catches a base above the top.
    if (static_cast<std::ptrdiff_t>(instr.slot()) >= top - base) {
      return fail(&Error::stack_out_of_bounds);
    }
    if (top == limit) return Next::Grow;
    copy_to_slot(top++, base[instr.slot()]);
    return Next::Go;
  }

  ZO_INLINE Next store(const Instr& instr) {
    // Only when the top lies above the slot; when it is the slot, it stays.
    if (static_cast<std::ptrdiff_t>(instr.slot()) + 1 < top - base) {
      Value* slot = base + instr.slot();
      drop_slot(slot);
      move_to_slot(slot, --top);
    }
    return Next::Go;
  }

  ZO_INLINE Next push_constant(const Value& constant) {
    if (top == limit) return Next::Grow;
    copy_to_slot(top++, constant);
    return Next::Go;
  }

  ZO_INLINE Next push_number(double number) {
    if (top == limit) return Next::Grow;
    new (top++) Value(Value::number(number));
    return Next::Go;
  }

  ZO_INLINE Next dup() {
    if (top == bottom) return fail(&Error::stack_underflow);
    if (top == limit) return Next::Grow;
    copy_to_slot(top, top[-1]);
    ++top;
    return Next::Go;
  }

  // Get and set work on the context's stack through the interpreter's maps.
  ZO_INLINE Next property(const Instr& instr) {
    write_top();
    auto done = instr.code == Code::Get ? impl.get(context, here(), instr)
                                        : impl.set(context, here(), instr);
    reload();
    if (!done) return fail(done.error());
    return Next::Go;
  }

  ZO_INLINE Next add() {
    if (has_two_numbers(top)) {
      top = put_number(top, top[-2].as_number() + top[-1].as_number());
    } else if (top - bottom >= 2 && top[-1].is_string() && top[-2].is_string()) {
      write_top();  // the memory limit may count what the stack holds
      std::optional<Value> joined = impl.concat(top[-2], top[-1], here());
      if (!joined) return Next::Fail;
      drop_slot(--top);
      top[-1] = std::move(*joined);
    } else {
      return operand_fail(top == bottom ? numbers_only : add_failure(top[-1]));
    }
    return Next::Go;
  }

  // sub, mul, div, mod, exp and the comparisons: numbers only.
  template <Code op>
  ZO_INLINE Next number_operator() {
    if (!has_two_numbers(top)) return operand_fail(numbers_only);
    double left = top[-2].as_number();
    double right = top[-1].as_number();
    if constexpr (op == Code::Mod) {
      top = put_number(top, std::fmod(left, right));
    } else if constexpr (op == Code::Exp) {
      top = put_number(top, std::pow(left, right));
    } else if constexpr (is_comparison<op>()) {
      top = put_comparison(top, compare<op>(left, right));
    } else {
      top = put_number(top, arithmetic<op>(left, right));
    }
    return Next::Go;
  }

  // neg and abs: the top number in place.
  ZO_INLINE Next sign(Code code) {
    if (top == bottom) return fail(&Error::stack_underflow);
    if (!top[-1].is_number()) {
      return fail(code == Code::Neg ? "Only numbers can be negated"
                                    : "Absolute value only works with numbers");
    }
    double number = top[-1].as_number();
    top[-1] = Value::number(code == Code::Neg ? -number : std::fabs(number));
    return Next::Go;
  }

  // and, or, xor, eq, ne: operands of any kinds.
  ZO_INLINE Next logic_operator(Code code) {
    if (top - bottom < 2) return operand_fail(numbers_only);
    top = put_boolean(top, logic(code, top[-2], top[-1]));
    return Next::Go;
  }

  ZO_INLINE Next negate() {
    if (top == bottom) return fail(&Error::stack_underflow);
    new (top - 1) Value(Value::boolean(!take_truth(top - 1)));
    return Next::Go;
  }

  // jump_unless, jump_if.
  template <bool jumps_if>
  ZO_INLINE Next conditional_jump(const Instr& instr) {
    // A boolean is the common case; the guard slot below an empty stack is
    // nil, so emptiness is checked only off that path.
    bool truth;
    if (top[-1].is_boolean()) {
      truth = (--top)->as_boolean();
    } else {
      if (top == bottom) return fail(&Error::stack_underflow);
      truth = take_truth(--top);
    }
    return truth == jumps_if ? jump_by(instr.offset()) : Next::Go;
  }

  // A group call pushes a frame whose slots 0 to n - 1 are its arguments; a
  // native call ends the turn, with call() having set the ip (here when it is
  // polled again).
  ZO_INLINE Next call(const Instr& instr) {
    const NameSlot& slot = impl.program.names[instr.name()];
    if (slot.generator == nullptr && slot.label != no_label) {
      auto depth = static_cast<std::size_t>(top - bottom);
      if (instr.arity() > depth) return fail(&Error::stack_underflow);
      std::size_t at = here();
      if (context.frames.size() == context.frames.capacity()) [[unlikely]] {
        write_top();
        if (!impl.grow_frames(context, at)) return Next::Fail;
      }
      // call_value's frame gives the group's value when it is left.
      Frame::Leaving leaving =
          instr.code == Code::CallValue ? Frame::Leaving::Value : impl.program.plain_call;
      context.frames.push_back(Frame{at + 1, depth - instr.arity(), leaving});
      base = top - instr.arity();
      pc = code + slot.label;
      // Recursion needs no backward jump, so each call spends a unit.
      if (--impl.fuel == 0) [[unlikely]] {
        checked_at = at;
        return Next::CheckPoint;
      }
      return Next::Go;
    }
    write_top();
    auto done = impl.call(context, here(), instr);
    top = context.stack.top;
    if (!done) return fail(done.error());
    outcome = *done;
    return Next::Handed;
  }

  ZO_INLINE Next spawn(const Instr& instr) {
    write_top();
    auto done = impl.spawn(context, here(), instr);
    reload();
    if (!done) return fail(done.error());
    return *done == StepOutcome::Continue ? Next::Go : stop(*done);
  }

  ZO_INLINE Next group_return() {
    if (context.frames.empty()) return stop(StepOutcome::Finished);
    const Frame& frame = context.frames.back();
    // A group of a compiled program drops what it left, out of line; one
    // that left nothing returns as one of IR text does.
    if (frame.leaving == Frame::Leaving::Value ||
        (frame.leaving == Frame::Leaving::Drop && top != bottom + frame.base)) [[unlikely]] {
      return leave_group(Value());
    }
    pc = code + frame.return_index;
    context.frames.pop_back();
    base = bottom + context.base();
    return Next::Go;
  }

  // return_value: outside any group (the program, or a branch of a block)
  // nobody takes the value, and the context finishes as with return.
  Next value_return() {
    if (top == bottom) return fail(&Error::stack_underflow);
    Value value(std::move(*--top));  // the moved-from slot holds nil and needs no drop
    if (context.frames.empty()) return stop(StepOutcome::Finished);
    return leave_group(std::move(value));
  }

  // Leaves the innermost frame with `value` as the group's value.
  Next leave_group(Value value) {
    write_top();
    pc = code + impl.leave_group(context, std::move(value));
    reload();
    return Next::Go;
  }

  ZO_INLINE Next halt() {
    --pc;  // the ip stays at or past the end
    return stop(StepOutcome::Finished);
  }

  // --- The fused forms ------------------------------------------------------------

  // A fused form whose fast path does not apply runs as its plain first
  // instruction, which reports any error at its own address.
  template <FusedFamily family, Code op>
  ZO_INLINE Next unfused() {
    const Instr& plain = impl.program.plain[here()];
    constexpr FusedPart first = fused_pattern(family).parts[0];
    if constexpr (first == FusedPart::Load) return load(plain);
    if constexpr (first == FusedPart::Number) return push_number(plain.number());
    if constexpr (first == FusedPart::Operator) return number_operator<op>();
  }

  // The fused forms (see ZO_FUSED_FORMS), one helper per family. Each checks
  // everything it needs before it changes anything, so that it can fall back
  // to the plain first instruction (unfused) or grow the stack and run again
  // (Grow). A form that does not jump goes on after its sequence.
  template <FusedFamily family, Code op>
  ZO_INLINE Next fused(const Instr& instr) {
    using enum FusedFamily;
    if constexpr (family == Const) return const_form<op>(instr);
    if constexpr (family == Slot) return slot_form<op>(instr);
    if constexpr (family == LoadConst) return load_const_form<op>(instr);
    if constexpr (family == LoadConstStore) return load_const_store_form<op>(instr);
    if constexpr (family == LoadConstJumpUnless || family == LoadConstJumpIf) {
      return load_const_jump_form<family, op>(instr);
    }
    if constexpr (family == CompareJumpUnless || family == CompareJumpIf) {
      return compare_jump_form<family, op>(instr);
    }
  }

  // push k; op
  template <Code op>
  ZO_INLINE Next const_form(const Instr& instr) {
    if (!top[-1].is_number()) return unfused<FusedFamily::Const, op>();
    put_result<op>(top - 1, top[-1].as_number(), instr.number());
    pc += fused_skip(FusedFamily::Const);
    return Next::Go;
  }

  // load a; op
  template <Code op>
  ZO_INLINE Next slot_form(const Instr& instr) {
    if (!has_number_slot(base, top, instr.load_slot()) || !top[-1].is_number()) {
      return unfused<FusedFamily::Slot, op>();
    }
    put_result<op>(top - 1, top[-1].as_number(), base[instr.load_slot()].as_number());
    pc += fused_skip(FusedFamily::Slot);
    return Next::Go;
  }

  // load a; push k; op
  template <Code op>
  ZO_INLINE Next load_const_form(const Instr& instr) {
    if (!has_number_slot(base, top, instr.load_slot())) {
      return unfused<FusedFamily::LoadConst, op>();
    }
    if (top == limit) return Next::Grow;
    put_result<op>(top++, base[instr.load_slot()].as_number(), instr.number());
    pc += fused_skip(FusedFamily::LoadConst);
    return Next::Go;
  }

  // load a; push k; op; store b. As store would, the result goes into slot b
  // when that lies below it, and otherwise stays on top.
  template <Code op>
  ZO_INLINE Next load_const_store_form(const Instr& instr) {
    constexpr FusedFamily family = FusedFamily::LoadConstStore;
    if (!has_number_slot(base, top, instr.load_slot())) return unfused<family, op>();
    double result = arithmetic<op>(base[instr.load_slot()].as_number(), instr.number());
    if (instr.store_slot() < top - base) {
      Value* slot = base + instr.store_slot();
      drop_slot(slot);
      new (slot) Value(Value::number(result));
    } else {
      if (top == limit) return Next::Grow;
      new (top++) Value(Value::number(result));
    }
    pc += fused_skip(family);
    return Next::Go;
  }

  // load a; push k; op; jump_unless d (or jump_if d)
  template <FusedFamily family, Code op>
  ZO_INLINE Next load_const_jump_form(const Instr& instr) {
    if (!has_number_slot(base, top, instr.load_slot())) return unfused<family, op>();
    bool holds = compare<op>(base[instr.load_slot()].as_number(), instr.number());
    bool jumps = holds == (family == FusedFamily::LoadConstJumpIf);
    return jump_by(jumps ? instr.fused_offset() : fused_skip(family));
  }

  // op; jump_unless d (or jump_if d)
  template <FusedFamily family, Code op>
  ZO_INLINE Next compare_jump_form(const Instr& instr) {
    if (!has_two_numbers(top)) return unfused<family, op>();
    top -= 2;
    bool holds = compare<op>(top[0].as_number(), top[1].as_number());
    bool jumps = holds == (family == FusedFamily::CompareJumpIf);
    return jump_by(jumps ? instr.offset() : fused_skip(family));
  }

  Impl& impl;
  ExecutionContext& context;
  const Instr* const code;
  const Instr* pc;
  Value* bottom;
  Value* top;
  Value* limit;
  Value* base;
  StepOutcome outcome = StepOutcome::Continue;
  std::size_t checked_at = 0;  // the instruction that reached a check point
};

// Aligned to a cache line, so that the loop's code sits the same way in
// every binary that links it: placed 32 bytes apart, the same code ran the
// counting loop about a tenth slower in the C++ host than in the Python
// module (bench/README.md).
[[gnu::aligned(64)]] std::expected<StepOutcome, Error> Interpreter::Impl::step_with(
    ExecutionContext& context) {
  Registers r(*this, context);
  for (;;) {
    const Instr* instr = r.pc++;
    Next next = Next::Go;
  dispatch:
    switch (instr->code) {
      case Code::Load:
        next = r.load(*instr);
        break;
      case Code::Store:
        next = r.store(*instr);
        break;
      case Code::Get:
      case Code::Set:
        next = r.property(*instr);
        break;
      case Code::Push:
        next = r.push_constant(program.constants[instr->constant()]);
        break;
      case Code::PushNumber:
        next = r.push_number(instr->number());
        break;
      case Code::Pop:
        if (r.top != r.bottom) drop_slot(--r.top);
        break;
      case Code::Dup:
        next = r.dup();
        break;
      case Code::Add:
        next = r.add();
        break;
#define ZO_NUMBER_CASE(op)                \
  case Code::op:                          \
    next = r.number_operator<Code::op>(); \
    break;
        ZO_NUMBER_CASE(Sub)
        ZO_NUMBER_CASE(Mul)
        ZO_NUMBER_CASE(Div)
        ZO_NUMBER_CASE(Mod)
        ZO_NUMBER_CASE(Exp)
        ZO_NUMBER_CASE(Lt)
        ZO_NUMBER_CASE(Le)
        ZO_NUMBER_CASE(Gt)
        ZO_NUMBER_CASE(Ge)
#undef ZO_NUMBER_CASE
      case Code::Neg:
      case Code::Abs:
        next = r.sign(instr->code);
        break;
      case Code::And:
      case Code::Or:
      case Code::Xor:
      case Code::Eq:
      case Code::Ne:
        next = r.logic_operator(instr->code);
        break;
      case Code::Not:
        next = r.negate();
        break;
      case Code::Jump:
        next = r.jump_by(instr->offset());
        break;
      case Code::JumpUnless:
        next = r.conditional_jump<false>(*instr);
        break;
      case Code::JumpIf:
        next = r.conditional_jump<true>(*instr);
        break;
      case Code::Label:
        break;
      case Code::Call:
      case Code::CallValue:
        next = r.call(*instr);
        break;
      case Code::CallParallel:
      case Code::CallRace:
      case Code::CallRaceValue:
        next = r.spawn(*instr);
        break;
      case Code::Yield:
        next = r.stop(StepOutcome::Yield);
        break;
      case Code::Return:
        next = r.group_return();
        break;
      case Code::ReturnValue:
        next = r.value_return();
        break;
      case Code::Halt:
        next = r.halt();
        break;
      case Code::Trap:
        // A breakpoint, or a line start while stepping: the trap either
        // suspends here or hands back the instruction it replaced.
        instr = trap(context, r.here());
        if (instr != nullptr) goto dispatch;
        --r.pc;  // the context goes on at the trap when resumed
        next = r.stop(StepOutcome::Break);
        break;
#define ZO_FUSED_CASE(family, prefix, op, suffix)          \
  case Code::prefix##op##suffix:                           \
    next = r.fused<FusedFamily::family, Code::op>(*instr); \
    break;
#define ZO_FUSED_FAMILY_CASES(family, prefix, suffix, operators, parts, sequence) \
  operators(ZO_FUSED_CASE, family, prefix, suffix)
        ZO_FUSED_FORMS(ZO_FUSED_FAMILY_CASES)
#undef ZO_FUSED_FAMILY_CASES
#undef ZO_FUSED_CASE
      default:
        // The decoder makes no other codes. Said so, the switch needs no
        // range check, which cost a taken branch per instruction.
        __builtin_unreachable();
    }
    switch (next) {
      case Next::Go:
        continue;
      case Next::Grow:
        // The instruction changed nothing: grow the stack and run it again.
        if (r.grow()) {
          --r.pc;
          continue;
        }
        r.write_back();
        locate_failure(context, r.here());
        return std::unexpected(take_failure());
      case Next::CheckPoint:
        // The instruction has done its work; stop here or go on with the next.
        if (pass_check_point(r.checked_at)) continue;
        if (!failure.pending) {
          // A stop was asked for: the turn ends, and the scheduler ends the run.
          r.write_back();
          return StepOutcome::Yield;
        }
        // A loop's jump has already moved pc on: the failure is the jump's.
        r.write_back();
        locate_failure(context, r.checked_at);
        return std::unexpected(take_failure());
      case Next::Stop:
        r.write_back();
        return r.outcome;
      case Next::Handed:
        return r.outcome;
      case Next::Fail:
        r.write_back();
        locate_failure(context, r.here());
        return std::unexpected(take_failure());
    }
  }
}

#undef ZO_INLINE

std::optional<Value> Interpreter::Impl::concat(const Value& left, const Value& right,
                                               std::size_t here) {
  std::size_t length = left.as_string().size() + right.as_string().size();
  if (!charge(Value::string_heap_bytes(length), here)) return std::nullopt;
  std::optional<Value> joined = Value::try_concat(left.as_string(), right.as_string());
  if (!joined) failure.pending = Error::memory_limit_exceeded(here);
  return joined;
}

std::expected<StepOutcome, Error> Interpreter::Impl::call(ExecutionContext& context,
                                                          std::size_t here, const Instr& instr) {
  const NameSlot& slot = program.names[instr.name()];
  if (slot.generator == nullptr)
    return std::unexpected(Error::unknown_callable(std::string(slot.name), here));
  return native_call(context, here, slot, instr.arity(), instr.code == Code::CallValue);
}

std::expected<StepOutcome, Error> Interpreter::Impl::native_call(ExecutionContext& context,
                                                                 std::size_t here,
                                                                 const NameSlot& slot,
                                                                 std::size_t arity, bool value) {
  NativeCallScope calling_native(*this, context, here);
  context.ip = here + 1;
  auto active =
      context.callable_id ? active_callables.find(*context.callable_id) : active_callables.end();
  if (active == active_callables.end()) {
    if (context.stack.size() < arity) {
      context.stack.clear();
      return std::unexpected(Error::stack_underflow(here));
    }
    auto made = slot.generator->generate(context.stack.take_back(arity));
    if (!made) return failed_in_native(context, here, std::move(made.error()));
    if (*made == nullptr) return std::unexpected(Error::invalid_callable(std::string(slot.name)));
    std::uint32_t id =
        take_callable_id(state.unlocked().next_callable_id,
                         [this](std::uint32_t id) { return active_callables.contains(id); });
    active = active_callables.emplace(id, std::move(*made)).first;
    context.callable_id = id;
  }
  auto polled = active->second->call();
  if (!polled) return failed_in_native(context, here, std::move(polled.error()));
  if (!*polled) {
    context.ip = here;
    return StepOutcome::Yield;
  }
  context.callable_id.reset();
  std::unique_ptr<Callable> done = std::move(active->second);
  active_callables.erase(active);
  if (value) {
    if (auto pushed = push_result(context, *done, here); !pushed)
      return std::unexpected(pushed.error());
  }
  return StepOutcome::NativeDone;
}

std::expected<StepOutcome, Error> Interpreter::Impl::spawn(ExecutionContext& context,
                                                           std::size_t here, const Instr& instr) {
  context.mode = instr.code == Code::CallParallel ? WaitMode::Parallel : WaitMode::Race;
  context.winner = 0;
  const std::vector<GroupEntry>& entries = program.call_lists[instr.call_list()];
  if (entries.empty()) {
    // No member, so no winner.
    if (instr.code == Code::CallRaceValue) context.stack.push(Value());
    return StepOutcome::Continue;
  }
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
  if (!spend(entries.size(), here) && failure.pending) return std::unexpected(take_failure());
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
  return push_native_value(context, std::move(*value), here);
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
