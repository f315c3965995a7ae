// Progress and Ctrl-C for the engine's iterations while a call runs
// without the interpreter lock: the boundary's IterationObserver.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <utility>

#include "boundary/released.hpp"
#include "runtime/iteration_observer.hpp"

namespace kestrel::boundary {

// The lock is re-taken for every progress callback and, without one, for a
// signal check at most every kSignalInterval on the main thread (elsewhere
// no handler can run). A pending signal's handler runs there
// (KeyboardInterrupt for SIGINT) and its exception unwinds the solver.
class PythonObserver final : public IterationObserver {
 public:
  static constexpr std::chrono::milliseconds kSignalInterval{50};

  // Constructed with the lock held; progress: a callable taking (iteration,
  // residual), or null.
  explicit PythonObserver(PyObject* progress);
  void set_released(ReleasedInterpreter* released) { released_ = released; }
  void iteration(std::uint64_t iteration, double residual) override;

 private:
  PyObject* progress_;
  bool main_thread_;
  std::chrono::steady_clock::time_point last_check_;
  ReleasedInterpreter* released_ = nullptr;
};

// f() without the interpreter lock, the observer re-taking it.
template <class F>
decltype(auto) observed_without_interpreter(PythonObserver& observer, F&& f) {
  ReleasedInterpreter released;
  observer.set_released(&released);
  struct Reset {
    PythonObserver& o;
    ~Reset() { o.set_released(nullptr); }
  } reset{observer};
  return std::forward<F>(f)();
}

}  // namespace kestrel::boundary
