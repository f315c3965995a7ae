#include "runtime/work_buffer.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <new>

#include "runtime/check.hpp"

namespace kestrel {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}

void work_buffer_advise(void* p, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  // Huge-page advice needs page-aligned addresses; the advice is only a hint,
  // so its result is ignored.
  const auto begin = reinterpret_cast<std::uintptr_t>(p);  // NOLINT(performance-no-int-to-ptr)
  const std::uintptr_t first = (begin + kHugePage - 1) / kHugePage * kHugePage;
  const std::uintptr_t last = (begin + bytes) / kHugePage * kHugePage;
  if (last > first)
    (void)madvise(reinterpret_cast<void*>(first),  // NOLINT(performance-no-int-to-ptr)
                  last - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

WorkBuffer work_buffer(std::size_t count) {
  const std::size_t bytes = checked_mul(std::max<std::size_t>(count, 1), sizeof(double));
  void* p = nullptr;
  if (bytes >= 2 * kHugePage) {
    p = std::aligned_alloc(kHugePage, checked_add(bytes, kHugePage - 1) / kHugePage * kHugePage);
    if (p != nullptr) work_buffer_advise(p, bytes);
  } else {
    p = std::malloc(bytes);
  }
  if (p == nullptr) throw std::bad_alloc();
  return WorkBuffer(static_cast<double*>(p));
}

}  // namespace kestrel
