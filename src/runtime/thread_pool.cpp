#include "runtime/thread_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace kestrel {

namespace {

struct Pool {
  std::size_t size = 1;     // T: what work is split by
  std::size_t runners = 1;  // threads that run tasks, the caller included

  std::mutex batch_mu;  // one batch at a time
  std::mutex mu;        // guards the batch state below
  std::condition_variable work_cv;
  std::condition_variable done_cv;
  const TaskRef* task = nullptr;
  std::size_t n_tasks = 0;
  std::size_t next = 0;
  std::size_t unfinished = 0;
  std::size_t failed_task = 0;
  std::exception_ptr failure;

  // Takes the next task of the current batch and runs it with `lk` released.
  void run_one(std::unique_lock<std::mutex>& lk) {
    const std::size_t t = next++;
    const TaskRef* f = task;
    lk.unlock();
    std::exception_ptr error;
    try {
      (*f)(t);
    } catch (...) {
      error = std::current_exception();
    }
    lk.lock();
    if (error && (!failure || t < failed_task)) {
      failure = error;
      failed_task = t;
    }
    if (--unfinished == 0) done_cv.notify_all();
  }

  void work() {
    std::unique_lock<std::mutex> lk(mu);
    for (;;) {
      work_cv.wait(lk, [this] { return task != nullptr && next < n_tasks; });
      run_one(lk);
    }
  }
};

// Pools are never freed: worker threads sleep on their condition variable
// until the process ends, and a pool abandoned by fork may hold locks.
std::atomic<Pool*> g_pool{nullptr};
std::mutex g_create_mu;
std::size_t g_size = 0;  // 0 until first read; kept across fork

void atfork_prepare() { g_create_mu.lock(); }
void atfork_parent() { g_create_mu.unlock(); }
void atfork_child() {
  // The forking thread held g_create_mu, so the child may release it. The
  // parent's workers do not exist here: forget the pool, keep its size.
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_create_mu.unlock();
}

std::size_t logical_processors() { return std::thread::hardware_concurrency(); }

Pool* pool() {
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return p;
  std::lock_guard<std::mutex> guard(g_create_mu);
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return p;

  static const bool registered = [] {
    pthread_atfork(atfork_prepare, atfork_parent, atfork_child);
    return true;
  }();
  (void)registered;

  // The environment is read once, under the creation mutex and with the
  // interpreter lock held, so no other thread of ours changes it meanwhile.
  if (g_size == 0)
    g_size = thread_pool_size_from(std::getenv("RAYON_NUM_THREADS"),  // NOLINT(concurrency-mt-unsafe)
                                   std::getenv("RAYON_RS_NUM_CPUS"),  // NOLINT(concurrency-mt-unsafe)
                                   logical_processors());
  auto* p = new Pool;
  p->size = g_size;
  // More runners than processors would only add switching: the split into
  // T chunks, and so every result, stays the same with fewer threads.
  const std::size_t wanted = std::min(p->size, std::max<std::size_t>(logical_processors(), 1));
  for (std::size_t i = 1; i < wanted; ++i) {
    try {
      std::thread([p] { p->work(); }).detach();
    } catch (const std::system_error&) {
      break;  // the caller and the threads made so far still run every task
    }
    ++p->runners;
  }
  g_pool.store(p, std::memory_order_release);
  return p;
}

}  // namespace

std::optional<std::size_t> thread_pool_parse_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  for (const char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    if (__builtin_mul_overflow(value, std::size_t{10}, &value) ||
        __builtin_add_overflow(value, static_cast<std::size_t>(ch - '0'), &value))
      return std::nullopt;
  }
  return value;
}

std::size_t thread_pool_size_from(const char* num_threads, const char* rs_num_cpus,
                                  std::size_t logical_processors) {
  const std::size_t fallback = std::max<std::size_t>(logical_processors, 1);
  // Work is split into T chunks whose partial tables live at once or are
  // zeroed and added one by one, so a size far beyond the machine only costs
  // time and memory (10^5 chunks of every group table per iteration).
  const std::size_t cap = std::max(fallback, kThreadPoolSizeCap);
  if (num_threads != nullptr) {
    if (const auto v = thread_pool_parse_count(num_threads))
      return *v > 0 ? std::min(*v, cap) : fallback;
  }
  if (rs_num_cpus != nullptr) {
    if (const auto v = thread_pool_parse_count(rs_num_cpus); v && *v > 0) return std::min(*v, cap);
  }
  return fallback;
}

std::size_t thread_pool_size() { return pool()->size; }

std::size_t thread_pool_runners() { return pool()->runners; }

void thread_pool_run(std::size_t n_tasks, TaskRef task) {
  if (n_tasks == 0) return;
  Pool* p = pool();
  if (n_tasks == 1 || p->runners == 1) {
    // Nothing to share: run in order here, still finishing every task before
    // reporting the first failure.
    std::exception_ptr failure;
    for (std::size_t t = 0; t < n_tasks; ++t) {
      try {
        task(t);
      } catch (...) {
        if (!failure) failure = std::current_exception();
      }
    }
    if (failure) std::rethrow_exception(failure);
    return;
  }
  std::lock_guard<std::mutex> batch(p->batch_mu);
  std::unique_lock<std::mutex> lk(p->mu);
  p->task = &task;
  p->n_tasks = n_tasks;
  p->next = 0;
  p->unfinished = n_tasks;
  p->failure = nullptr;
  p->work_cv.notify_all();
  while (p->next < p->n_tasks) p->run_one(lk);
  p->done_cv.wait(lk, [p] { return p->unfinished == 0; });
  p->task = nullptr;
  std::exception_ptr failure = std::move(p->failure);
  p->failure = nullptr;
  lk.unlock();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace kestrel
