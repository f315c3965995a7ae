// Failure primitives shared by every layer of the engine.
//
// Three kinds of failure are kept apart:
//  * `Panic`: a broken internal precondition (an index outside an array, a
//    code outside 0..G-1, a non-contiguous vector where a flat buffer is
//    needed). It carries the place of the failing check; `_native` reports it
//    on standard error and raises `PanicException`, `_core` (whose caller, the
//    Python layer, validates its input first) raises a plain ValueError.
//  * `ValueFailure`: an estimator's own numerical failure ("Singular matrix"),
//    raised as `ValueError`.
//  * `std::bad_alloc` (also thrown for sizes that cannot be represented):
//    raised as `MemoryError`.
// Kernels report numerical outcomes as data (NaN), never by throwing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>
#include <stdexcept>
#include <string>

namespace kestrel {

struct Panic : std::exception {
  Panic(std::string msg, std::source_location at) : message(std::move(msg)), where(at) {}
  const char* what() const noexcept override { return message.c_str(); }
  std::string message;
  std::source_location where;  // the failing check, for the report
};

struct ValueFailure : std::exception {
  explicit ValueFailure(std::string msg) : message(std::move(msg)) {}
  const char* what() const noexcept override { return message.c_str(); }
  std::string message;
};

// Throws Panic with the failing place.
[[noreturn]] void panic(const std::string& message,
                        std::source_location where = std::source_location::current());

[[noreturn]] void panic_index(std::size_t index, std::size_t len,
                              std::source_location where = std::source_location::current());

// Bounds check used wherever an index comes from data (codes, lengths).
inline void check_index(std::size_t index, std::size_t len,
                        std::source_location where = std::source_location::current()) {
  if (index >= len) [[unlikely]] panic_index(index, len, where);
}

// A code read from an int32 column, checked against the number of groups.
inline std::size_t check_code(std::int32_t code, std::size_t n_groups,
                              std::source_location where = std::source_location::current()) {
  if (code < 0) [[unlikely]]
    panic_index(static_cast<std::size_t>(static_cast<std::int64_t>(code)), n_groups, where);
  const auto c = static_cast<std::size_t>(code);
  if (c >= n_groups) [[unlikely]] panic_index(c, n_groups, where);
  return c;
}

// Requires `len >= needed`; the message is that of reading index needed-1.
inline void check_len(std::size_t len, std::size_t needed,
                      std::source_location where = std::source_location::current()) {
  if (len < needed) [[unlikely]] panic_index(needed - 1, len, where);
}

// Size arithmetic that cannot wrap: an impossible size is an allocation failure.
inline std::size_t checked_mul(std::size_t a, std::size_t b) {
  std::size_t r;
  if (__builtin_mul_overflow(a, b, &r)) throw std::bad_alloc();
  return r;
}
inline std::size_t checked_add(std::size_t a, std::size_t b) {
  std::size_t r;
  if (__builtin_add_overflow(a, b, &r)) throw std::bad_alloc();
  return r;
}

inline constexpr const char* kNotContiguous =
    "called `Result::unwrap()` on an `Err` value: NotContiguousError";

}  // namespace kestrel
