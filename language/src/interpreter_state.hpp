// InternalState and the lock around it. The lock serves the status checks of
// registration, step and reset; it carries a poisoned flag that is set when an
// operation is abandoned (by an exception, such as std::bad_alloc) while it
// holds the lock, after which every interpreter operation reports Poisoned.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>

#include "interpreter.hpp"

namespace zolang {

// The run status. It is atomic because the stepping thread writes it without
// taking the lock while another thread may be inside a status check; release
// and acquire order suffice and cost nothing extra on the stepping path.
class StatusCell {
 public:
  operator RunStatus() const { return value.load(std::memory_order_acquire); }
  StatusCell& operator=(RunStatus status) {
    value.store(status, std::memory_order_release);
    return *this;
  }

 private:
  std::atomic<RunStatus> value{RunStatus::Fresh};
};

// The run status and the native-call id counter; the counter is touched only
// by the stepping thread.
struct InternalState {
  StatusCell status;
  std::uint32_t next_callable_id = 0;
};

// Returns the id for the next native call and advances `counter` past it.
// Ids count up from 0; once the counter has wrapped, an id for which
// `is_in_use` answers true is skipped rather than reused, so no call in
// progress is ever replaced. (At most 2^32 - 1 calls can be in progress.)
template <typename IsInUse>
std::uint32_t take_callable_id(std::uint32_t& counter, IsInUse is_in_use) {
  while (is_in_use(counter)) ++counter;
  return counter++;
}

class GuardedState {
 public:
  // Holds the lock for its lifetime. If it is destroyed by stack unwinding
  // that began while it was held, the state becomes poisoned.
  class Lock {
   public:
    explicit Lock(GuardedState& owner)
        : owner(owner), guard(owner.mutex), exceptions_at_entry(std::uncaught_exceptions()) {}
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock() {
      if (std::uncaught_exceptions() > exceptions_at_entry) {
        owner.poisoned.store(true, std::memory_order_relaxed);
      }
    }

    bool is_poisoned() const { return owner.poisoned.load(std::memory_order_relaxed); }
    InternalState& state() { return owner.state; }

   private:
    GuardedState& owner;
    std::lock_guard<std::mutex> guard;
    int exceptions_at_entry;
  };

  Lock lock() { return Lock(*this); }

  // Reads of the flag and the state that the stepping thread makes without
  // the lock.
  bool is_poisoned() const { return poisoned.load(std::memory_order_relaxed); }
  InternalState& unlocked() { return state; }
  const InternalState& unlocked() const { return state; }

 private:
  std::mutex mutex;
  std::atomic<bool> poisoned{false};
  InternalState state;
};

}  // namespace zolang
