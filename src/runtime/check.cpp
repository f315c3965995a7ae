#include "runtime/check.hpp"

namespace kestrel {

void panic(const std::string& message, std::source_location where) {
  throw Panic(message, where);
}

void panic_index(std::size_t index, std::size_t len, std::source_location where) {
  panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
            std::to_string(index),
        where);
}

}  // namespace kestrel
