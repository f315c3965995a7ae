// The interpreter lock given up for the numerical part of a call, so that
// other Python threads run meanwhile (and other calls of the same module).
//
// Only code that touches no Python object may run while it is released:
// kernels over buffers the call owns or has borrowed. Borrowed arrays stay
// alive (their views hold references), but another thread may write to them;
// a call therefore copies, before releasing, whatever it validates once and
// then trusts (codes used as indices), so a concurrent write can change
// numbers but never send an index out of its table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <thread>
#include <utility>

#include "runtime/thread_pool.hpp"

namespace kestrel::boundary {

// Takes the lock back. Once the interpreter is shutting down, a thread that
// asks for it is ended by unwinding its stack, which the entry points (that
// let no exception out) would turn into an abort; such a thread (a daemon
// thread still fitting) waits here instead until the process is gone.
inline void retake(PyThreadState* state) {
#if PY_VERSION_HEX >= 0x030D0000
  const bool finalizing = Py_IsFinalizing() != 0;
#else
  const bool finalizing = _Py_IsFinalizing() != 0;
#endif
  if (finalizing)
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  PyEval_RestoreThread(state);
}

class ReleasedInterpreter {
 public:
  ReleasedInterpreter() {
    // The pool reads its size from the environment when it is created: with
    // the lock held, no other thread of this interpreter changes it meanwhile.
    (void)thread_pool_size();
    state_ = PyEval_SaveThread();
  }
  ~ReleasedInterpreter() { retake(state_); }
  ReleasedInterpreter(const ReleasedInterpreter&) = delete;
  ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

  // Runs f() holding the lock (a signal check, a progress callback), then
  // gives it up again on every way out; a Python error f leaves pending stays
  // with this thread until the caller re-takes the lock and reports it.
  template <class F>
  void locked(F&& f) {
    retake(state_);
    struct Release {
      PyThreadState*& state;
      ~Release() { state = PyEval_SaveThread(); }
    } release{state_};
    std::forward<F>(f)();
  }

 private:
  PyThreadState* state_ = nullptr;
};

// f() without the interpreter lock; its result (or exception) reaches the
// caller with the lock held again.
template <class F>
decltype(auto) without_interpreter(F&& f) {
  ReleasedInterpreter released;
  return std::forward<F>(f)();
}

}  // namespace kestrel::boundary
