// The limits of one step() or end(): the instruction budget, spent in
// stretches of check_interval units, and at each check point between two
// stretches the time limit and the host's check.
#include <algorithm>
#include <utility>

#include "interpreter_impl.hpp"

namespace zolang {

void Interpreter::Impl::set_limits(Limits new_limits) {
  limits = new_limits;
  recount_memory();
  fuel = check_interval;
  reserve = UINT64_MAX - check_interval;
  deadline.reset();
}

void Interpreter::Impl::start_limited_call() {
  // One unit more than the budget, so that spending the unit after the last
  // allowed one is what runs the counter down to zero.
  std::uint64_t total = UINT64_MAX;
  if (limits.instructions && *limits.instructions < UINT64_MAX) total = *limits.instructions + 1;
  fuel = std::min(total, check_interval);
  reserve = total - fuel;
  deadline.reset();
  if (!limits.time) return;
  auto now = std::chrono::steady_clock::now();
  // A limit beyond the clock's range is no limit.
  if (*limits.time < std::chrono::steady_clock::time_point::max() - now) {
    deadline = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(*limits.time);
  }
}

bool Interpreter::Impl::pass_check_point(std::size_t here) {
  if (reserve == 0) {
    failure.pending = Error::budget_exhausted(here);
    return false;
  }
  // The next stretch is filled first, so that a call that stops here leaves
  // the next one (which refills only when limits are set) a whole stretch.
  fuel = std::min(reserve, check_interval);
  reserve -= fuel;
  bool within = within_limits(here);
  // After the host's check, which may have let another thread ask.
  if (pause_requested.load(std::memory_order_relaxed)) [[unlikely]]
    notice_pause_request();
  return within;
}

bool Interpreter::Impl::within_limits(std::size_t here) {
  if (deadline && std::chrono::steady_clock::now() >= *deadline) {
    failure.pending = Error::time_limit_exceeded(here);
    return false;
  }
  if (check) {
    auto verdict = check();
    if (!verdict) {
      failure.pending = std::move(verdict.error());
      failure.from_host = true;
      return false;
    }
  }
  // After the host's check, which may have let another thread ask. No
  // error: the turn ends and the scheduler stops the run.
  return !stop_due();
}

bool Interpreter::Impl::spend_across(std::uint64_t units, std::size_t here) {
  while (units >= fuel) {
    units -= fuel;
    fuel = 0;
    if (!pass_check_point(here)) return false;
  }
  fuel -= units;
  return true;
}

Error Interpreter::Impl::take_failure() {
  Error error = std::move(*failure.pending);
  failure.pending.reset();
  return error;
}

}  // namespace zolang
