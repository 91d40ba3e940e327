#include "payloads.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zolangpy {
namespace {

// An open-addressing table with linear probing, consulted on every method
// call: a lookup is a multiply, a shift and usually one slot.
class PayloadTable {
 public:
  DestroyPayload find(PyObject* object) const {
    if (slots.empty()) return nullptr;
    for (std::size_t at = home(object);; at = next(at)) {
      if (slots[at].object == object) return slots[at].destroy;
      if (slots[at].object == nullptr) return nullptr;
    }
  }

  void insert(PyObject* object, DestroyPayload destroy) {
    if ((count + 1) * 2 > slots.size()) grow();
    std::size_t at = home(object);
    while (slots[at].object != nullptr && slots[at].object != object) at = next(at);
    if (slots[at].object == nullptr) ++count;
    slots[at] = {object, destroy};
  }

  DestroyPayload erase(PyObject* object) {
    if (slots.empty()) return nullptr;
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
    PyObject* object = nullptr;
    DestroyPayload destroy = nullptr;
  };

  std::size_t home(PyObject* object) const {
    // Fibonacci hashing; objects are at least 16-byte aligned.
    auto bits = reinterpret_cast<std::uintptr_t>(object) >> 4;
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> shift);
  }
  std::size_t next(std::size_t at) const { return (at + 1) & (slots.size() - 1); }

  // Backward-shift deletion: moves later entries of the probe run into the
  // gap, so that no tombstones are needed.
  void close_gap(std::size_t gap) {
    for (std::size_t at = next(gap); slots[at].object != nullptr; at = next(at)) {
      std::size_t wanted = home(slots[at].object);
      // The entry may move into the gap unless its home lies in (gap, at].
      bool home_after_gap = gap <= at ? (gap < wanted && wanted <= at)
                                      : (gap < wanted || wanted <= at);
      if (home_after_gap) continue;
      slots[gap] = slots[at];
      gap = at;
    }
    slots[gap] = Slot{};
  }

  void grow() {
    std::vector<Slot> old(slots.size() < 64 ? 64 : slots.size() * 2);
    old.swap(slots);
    shift = 64;
    for (std::size_t size = slots.size(); size > 1; size >>= 1) --shift;
    count = 0;
    for (const Slot& slot : old) {
      if (slot.object != nullptr) insert(slot.object, slot.destroy);
    }
  }

  std::vector<Slot> slots;
  std::size_t count = 0;
  unsigned shift = 64;
};

// Never destroyed: objects may be deallocated while the process exits.
PayloadTable& table() {
  static PayloadTable* instance = new PayloadTable;
  return *instance;
}

}  // namespace

void record_payload(PyObject* object, DestroyPayload destroy) { table().insert(object, destroy); }

DestroyPayload recorded_payload(PyObject* object) { return table().find(object); }

DestroyPayload forget_payload(PyObject* object) { return table().erase(object); }

}  // namespace zolangpy
