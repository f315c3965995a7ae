// The engine's single process-wide worker pool.
//
// The pool is created by the first call that needs it and lives until the
// process ends. Its size T is read once, at creation, from the environment:
// RAYON_NUM_THREADS (decimal digits, optional leading '+'; a positive value is
// the size, 0 means one per logical processor), otherwise RAYON_RS_NUM_CPUS
// read the same way except that 0 also falls through, otherwise one per
// logical processor (1 when that number is unknown). A size from either
// variable is capped at the larger of kThreadPoolSizeCap and the number of
// logical processors: a larger one could only multiply the chunks' scratch
// tables and the time to add them up (10^5 chunks per group sum). Sizes up to
// kThreadPoolSizeCap thus give the same results on every machine.
//
// T is what callers split work by; results that depend on it (chunked sums)
// depend only on T, never on which thread ran which task. The calling thread
// helps run its own batch, so min(T, logical processors) - 1 extra threads
// are started: more runners than processors would only add switching.
//
// Fork safety: a child forked while the pool exists has none of its threads.
// The child abandons the parent's pool (its memory is deliberately leaked, as
// its locks may be in any state) and the next use builds a fresh pool of the
// same size, so results in the child match the parent's.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace kestrel {

inline constexpr std::size_t kThreadPoolSizeCap = 64;

// A non-owning reference to a callable `void(std::size_t task)`.
class TaskRef {
 public:
  template <class F>
  TaskRef(F& f) noexcept  // NOLINT(google-explicit-constructor)
      : object_(&f), call_([](void* o, std::size_t t) { (*static_cast<F*>(o))(t); }) {}
  void operator()(std::size_t t) const { call_(object_, t); }

 private:
  void* object_;
  void (*call_)(void*, std::size_t);
};

// Parses one environment value: decimal digits with an optional leading '+'
// that fit in a size; nullopt for anything else (empty, sign '-', spaces...).
std::optional<std::size_t> thread_pool_parse_count(std::string_view text);

// The size rule, with the two variables' values (nullptr when absent) and the
// number of logical processors (0 when unknown).
std::size_t thread_pool_size_from(const char* num_threads, const char* rs_num_cpus,
                                  std::size_t logical_processors);

// T, creating the pool on first use.
std::size_t thread_pool_size();

// Runs task(t) for t = 0 .. n_tasks-1 and returns once every task has
// finished. If tasks throw, the exception of the lowest-numbered failing task
// is rethrown on the calling thread after all tasks are done. One batch runs
// at a time; a task must not start another batch.
void thread_pool_run(std::size_t n_tasks, TaskRef task);

// Number of threads (the caller included) that can run tasks at once; at
// most T. Callers use it to bound per-task scratch memory.
std::size_t thread_pool_runners();

}  // namespace kestrel
