// The global interpreter lock as the binding sees it. Every entry point from
// Python (methods, constructors, deallocators) runs inside a GilHeld scope, so
// the binding knows on which threads it holds the lock without asking the
// runtime; adapters called from library code take the lock with GilAcquire
// only when their thread does not hold it already.
#pragma once

#include "python.hpp"

namespace zolangpy {

// Whether the calling thread holds the GIL, as far as the binding knows.
bool gil_held();

// Marks the scope of an entry point from Python, which always holds the GIL.
// Also releases the references queued by release_later().
class GilHeld {
 public:
  GilHeld();
  ~GilHeld();
  GilHeld(const GilHeld&) = delete;
  GilHeld& operator=(const GilHeld&) = delete;

 private:
  bool was_held;
};

// Takes the GIL for its scope (re-entrantly: a no-op on a thread that holds it).
class GilAcquire {
 public:
  GilAcquire();
  ~GilAcquire();
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  bool acquired;
  PyGILState_STATE state;
};

// Gives the GIL up for its scope; the thread must hold it on entry.
class GilRelease {
 public:
  GilRelease();
  ~GilRelease();
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* saved;
};

// Drops one strong reference: at once when the thread holds the GIL,
// otherwise at the next moment a thread enters the binding with it. Takes
// ownership of `object` (null is ignored).
void release_later(PyObject* object);

// Releases every reference queued by release_later(); the GIL must be held.
void release_pending();

}  // namespace zolangpy
