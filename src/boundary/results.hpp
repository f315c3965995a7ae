// Results of the entry points and their conversion into Python objects.
//
// Entry points return plain C++ values: `ArrayResult` (an owned buffer with
// its shape), double (float), std::uint64_t (int), lists of counts or names,
// and std::tuple of these. Arrays take over their buffer without copying.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "boundary/py_ref.hpp"

namespace kestrel::boundary {

template <class T>
struct ArrayResult {
  std::vector<T> data;
  std::size_t rows = 0;
  std::size_t cols = 0;
  int ndim = 1;
};

template <class T>
ArrayResult<T> vector_result(std::vector<T> data) {
  const std::size_t n = data.size();
  return {std::move(data), n, 0, 1};
}

// `data` is row-major rows x cols.
template <class T>
ArrayResult<T> matrix_result(std::vector<T> data, std::size_t rows, std::size_t cols) {
  return {std::move(data), rows, cols, 2};
}

OwnedRef to_python(ArrayResult<double>&& value);
OwnedRef to_python(ArrayResult<std::int32_t>&& value);
OwnedRef to_python(double value);
OwnedRef to_python(std::uint64_t value);
OwnedRef to_python(std::vector<std::uint64_t>&& value);
OwnedRef to_python(std::vector<std::string>&& value);

// Every item is converted before the tuple exists; a failure releases the
// items already made.
template <class... Ts>
OwnedRef to_python(std::tuple<Ts...>&& value) {
  std::array<OwnedRef, sizeof...(Ts)> items;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((items[I] = to_python(std::move(std::get<I>(value)))), ...);
  }(std::index_sequence_for<Ts...>{});
  OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Ts))));
  if (!tuple) throw PythonError{};
  for (std::size_t i = 0; i < items.size(); ++i)
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
  return tuple;
}

}  // namespace kestrel::boundary
