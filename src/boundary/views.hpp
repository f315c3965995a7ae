// Read-only views of NumPy arrays borrowed for the duration of one call.
//
// A view keeps a strong reference to its array and reads the data pointer,
// shape and strides only when asked, after every argument is converted, so
// no Python code can run between reading them and using them.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "boundary/numpy_include.hpp"
#include "boundary/py_ref.hpp"
#include "runtime/check.hpp"
#include "linalg/strided.hpp"

namespace kestrel::boundary {

template <class T>
class VectorView {
 public:
  VectorView() = default;
  explicit VectorView(OwnedRef array) : array_(std::move(array)) {}

  std::size_t len() const { return static_cast<std::size_t>(PyArray_DIM(arr(), 0)); }

  StridedVector<T> strided() const {
    return {static_cast<const char*>(PyArray_DATA(arr())), len(), PyArray_STRIDE(arr(), 0)};
  }

  // The elements as one flat buffer; a vector that is not contiguous panics
  // with the NotContiguousError message. Misaligned memory is copied once so
  // that the span can be read as T.
  std::span<const T> contiguous() {
    PyArrayObject* a = arr();
    if (!PyArray_IS_C_CONTIGUOUS(a) && !PyArray_IS_F_CONTIGUOUS(a)) panic(kNotContiguous);
    const std::size_t n = len();
    const auto* data = static_cast<const char*>(PyArray_DATA(a));
    if (n == 0) return {};
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0)
      return {reinterpret_cast<const T*>(data), n};
    aligned_copy_.resize(n);
    std::memcpy(aligned_copy_.data(), data, n * sizeof(T));
    return aligned_copy_;
  }

 private:
  PyArrayObject* arr() const { return reinterpret_cast<PyArrayObject*>(array_.get()); }
  OwnedRef array_;
  std::vector<T> aligned_copy_;
};

class MatrixView {
 public:
  MatrixView() = default;
  explicit MatrixView(OwnedRef array) : array_(std::move(array)) {}

  std::size_t rows() const { return static_cast<std::size_t>(PyArray_DIM(arr(), 0)); }
  std::size_t cols() const { return static_cast<std::size_t>(PyArray_DIM(arr(), 1)); }

  StridedMatrix strided() const {
    return {static_cast<const char*>(PyArray_DATA(arr())), rows(), cols(),
            PyArray_STRIDE(arr(), 0), PyArray_STRIDE(arr(), 1)};
  }

 private:
  PyArrayObject* arr() const { return reinterpret_cast<PyArrayObject*>(array_.get()); }
  OwnedRef array_;
};

using F64Vector = VectorView<double>;
using I32Vector = VectorView<std::int32_t>;
using I64Vector = VectorView<std::int64_t>;
using U8Vector = VectorView<std::uint8_t>;
using F64Matrix = MatrixView;

// Flat spans of every vector of a list, taken in list order (so the first
// non-contiguous one is the one reported).
template <class T>
std::vector<std::span<const T>> contiguous_all(std::vector<VectorView<T>>& views) {
  std::vector<std::span<const T>> spans;
  spans.reserve(views.size());
  for (auto& v : views) spans.push_back(v.contiguous());
  return spans;
}

}  // namespace kestrel::boundary
