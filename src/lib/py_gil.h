// Releasing and retaking the interpreter lock around engine work, in a way that
// survives the interpreter ending the thread at exit.
//
// During finalization CPython (3.11 to 3.13) ends a daemon thread that tries
// to take the lock back with pthread_exit, which unwinds the thread's C++
// frames: from our own retake, or from any Python code we call (the eval loop
// hands the lock over too). A noexcept frame on that path (a destructor that
// retakes the lock is one) terminates the process, and a destructor that drops
// a Python reference would touch an interpreter the thread no longer holds. So
// the lock is only ever retaken by a plain call, never by a destructor, and
// destructors that drop references first check `holds_interpreter`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <stdexcept>
#include <type_traits>

#include "lib/result.h"

namespace quorvane::py {

// Whether this thread holds the interpreter (the lock, or an attached thread
// state when there is no lock). False only while the interpreter unwinds a
// thread it is ending: references are then left behind, as the process exits.
// (PyGILState_Check does not tell: it answers yes once finalization began.)
inline bool holds_interpreter() {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
  return _PyThreadState_UncheckedGet() != nullptr;  // the thread's own state
#else
  // 3.11 keeps the lock holder's state, not the thread's.
  PyThreadState* holder = _PyThreadState_UncheckedGet();
  return holder != nullptr && holder == PyGILState_GetThisThreadState();
#endif
}

// Runs `work` (returning InternalCheck or void) with the interpreter lock
// released and returns its check, kOutOfMemory for an allocation failure. No
// C++ exception leaves it: `work` must not touch Python objects.
template <class Work>
InternalCheck without_gil(Work&& work) {
  PyThreadState* state = PyEval_SaveThread();
  InternalCheck check = nullptr;
  try {
    if constexpr (std::is_void_v<decltype(work())>) {
      work();
    } else {
      check = work();
    }
  } catch (const std::bad_alloc&) {
    check = kOutOfMemory;
  } catch (const std::length_error&) {
    check = kOutOfMemory;  // a size beyond what a container can hold
  } catch (const std::exception&) {
    check = kUnexpectedException;
  }
  PyEval_RestoreThread(state);  // may end the thread at exit: see above
  return check;
}

}  // namespace quorvane::py
