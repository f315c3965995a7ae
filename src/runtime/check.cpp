#include "runtime/check.hpp"

#include <cstdio>

namespace kestrel {

void panic(const std::string& message, std::source_location where) {
  // One short report at the failing check; the call frame turns the exception
  // into PanicException, so the interpreter keeps running. A report that
  // cannot be written changes nothing about the failure itself.
  (void)std::fprintf(stderr, "kestrel._native: check failed at %s:%u:%u:\n%s\n",
               where.file_name(), static_cast<unsigned>(where.line()),
               static_cast<unsigned>(where.column()), message.c_str());
  (void)std::fflush(stderr);
  throw Panic(message);
}

void panic_index(std::size_t index, std::size_t len, std::source_location where) {
  panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
            std::to_string(index),
        where);
}

}  // namespace kestrel
