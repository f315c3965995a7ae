// Read-only views of caller memory walked through byte strides.
//
// Shapes: n rows (observations), k columns (regressors). Strides are in bytes,
// may be negative or zero, and come from NumPy unchanged. Kernels that accept
// "any strides" take these views; kernels that need a flat buffer take spans.
#pragma once

#include <cstddef>
#include <cstring>

namespace kestrel {

template <class T>
struct StridedVector {
  const char* data = nullptr;
  std::size_t len = 0;
  std::ptrdiff_t stride = sizeof(T);

  T operator[](std::size_t i) const {
    T v;
    std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof(T));
    return v;
  }
};

struct StridedMatrix {
  const char* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 0;

  double operator()(std::size_t r, std::size_t c) const {
    double v;
    std::memcpy(&v,
                data + static_cast<std::ptrdiff_t>(r) * row_stride +
                    static_cast<std::ptrdiff_t>(c) * col_stride,
                sizeof(double));
    return v;
  }
  bool c_contiguous() const {
    return (rows <= 1 || row_stride == static_cast<std::ptrdiff_t>(cols * sizeof(double))) &&
           (cols <= 1 || col_stride == static_cast<std::ptrdiff_t>(sizeof(double)));
  }
};

}  // namespace kestrel
