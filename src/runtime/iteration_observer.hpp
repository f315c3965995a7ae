// What a caller sees of a long iterative computation while it runs: its
// progress, and the chance to interrupt it (Ctrl-C). The engine's kernels
// know no Python; the boundary implements this interface (signal checks,
// progress callbacks) and hands it down.
#pragma once

#include <cstdint>

namespace kestrel {

class IterationObserver {
 public:
  virtual ~IterationObserver() = default;
  // Called on the calling thread between iterations, never inside a pool
  // task, with the number of iterations done and the relative residual. It
  // may throw to abandon the computation; callers hold everything they own
  // in RAII types, so nothing leaks.
  virtual void iteration(std::uint64_t iteration, double residual) = 0;
};

}  // namespace kestrel
