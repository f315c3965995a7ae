// Single place that includes the NumPy C API. The API table pointer is filled
// lazily by ensure_numpy_api() on the first array conversion, not at import.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kestrel_ARRAY_API
#ifndef KESTREL_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace kestrel::boundary {

// Loads the NumPy API table once per process; panics with
// "Failed to access NumPy array API capsule..." if that is impossible.
void ensure_numpy_api();

}  // namespace kestrel::boundary
