#include "payloads.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

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
