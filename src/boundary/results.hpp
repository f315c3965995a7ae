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
#include "runtime/work_buffer.hpp"

namespace kestrel::boundary {

template <class T>
struct ArrayResult {
  std::vector<T> data;
  std::size_t rows = 0;
  std::size_t cols = 0;
  int ndim = 1;
};

// A float64 array over a work buffer (no zero fill before it is written),
// handed over to NumPy like a vector.
struct BufferResult {
  WorkBuffer data;
  std::size_t rows = 0;
  std::size_t cols = 0;
  bool column_major = true;
};

// A boolean mask: one byte per entry, 0 or 1, as NumPy's bool dtype.
struct MaskResult {
  std::vector<std::uint8_t> data;
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
OwnedRef to_python(MaskResult&& value);
OwnedRef to_python(BufferResult&& value);
OwnedRef to_python(double value);
OwnedRef to_python(std::uint64_t value);
OwnedRef to_python(bool value);
OwnedRef to_python(std::string&& value);
OwnedRef to_python(std::vector<std::uint64_t>&& value);
OwnedRef to_python(std::vector<std::string>&& value);
OwnedRef to_python(OwnedRef&& value);

// A list of converted items, in order.
template <class T>
OwnedRef to_python(std::vector<T>&& value) {
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
  if (!list) throw PythonError{};
  for (std::size_t i = 0; i < value.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    to_python(std::move(value[i])).release());
  return list;
}

// Results with named fields: a dict in the order the fields were set, each
// value converted when it is set.
class Fields {
 public:
  template <class T>
  Fields& set(const char* name, T&& value) {
    items_.emplace_back(name, to_python(std::forward<T>(value)));
    return *this;
  }
  OwnedRef to_dict();

 private:
  std::vector<std::pair<const char*, OwnedRef>> items_;
};

inline OwnedRef to_python(Fields&& value) { return value.to_dict(); }

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
