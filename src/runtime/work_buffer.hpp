// Large scratch memory for demeaning.
//
// The solver's work vectors are as large as the data and live for one call,
// so first-touch page faults on 4 KiB pages cost a fifth of its set-up time.
// Large buffers are therefore offered transparent huge pages (advice only:
// nothing changes where the kernel declines).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace kestrel {

struct WorkBufferFree {
  void operator()(double* p) const { std::free(p); }
};
using WorkBuffer = std::unique_ptr<double[], WorkBufferFree>;

// `count` uninitialised doubles; throws std::bad_alloc when they cannot be had.
WorkBuffer work_buffer(std::size_t count);

// Advises huge pages for the whole 2 MiB pages inside [p, p + bytes). Call it
// before the memory is first written (e.g. after reserve, before resize).
void work_buffer_advise(void* p, std::size_t bytes);

}  // namespace kestrel
