#include "boundary/results.hpp"

#include "boundary/numpy_include.hpp"

#include <cstdlib>

namespace kestrel::boundary {
namespace {

constexpr const char* kBufferCapsule = "kestrel._native.buffer";

constexpr const char* kWorkBufferCapsule = "kestrel.work_buffer";

void free_work_buffer(PyObject* capsule) {
  std::free(PyCapsule_GetPointer(capsule, kWorkBufferCapsule));
}

template <class T>
void free_buffer(PyObject* capsule) {
  delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, kBufferCapsule));
}

// The array's memory is the result buffer itself; a capsule owning the
// buffer becomes the array's base, so the buffer lives as long as the array.
template <class T>
OwnedRef array_from_buffer(ArrayResult<T>&& value, int typenum) {
  ensure_numpy_api();
  npy_intp dims[2] = {static_cast<npy_intp>(value.rows), static_cast<npy_intp>(value.cols)};
  npy_intp strides[2] = {static_cast<npy_intp>(value.cols * sizeof(T)),
                         static_cast<npy_intp>(sizeof(T))};
  if (value.ndim == 1) strides[0] = static_cast<npy_intp>(sizeof(T));
  if (value.data.empty()) {
    // Nothing to hand over: let NumPy allocate the (empty) array itself.
    PyObject* arr = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(typenum),
                                         value.ndim, dims, strides, nullptr,
                                         NPY_ARRAY_WRITEABLE, nullptr);
    if (arr == nullptr) throw PythonError{};
    return OwnedRef::steal(arr);
  }
  auto* owned = new std::vector<T>(std::move(value.data));
  OwnedRef base = OwnedRef::steal(PyCapsule_New(owned, kBufferCapsule, free_buffer<T>));
  if (!base) {
    delete owned;
    throw PythonError{};
  }
  PyObject* arr = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(typenum), value.ndim,
                                       dims, strides, owned->data(), NPY_ARRAY_WRITEABLE, nullptr);
  if (arr == nullptr) throw PythonError{};
  OwnedRef array = OwnedRef::steal(arr);
  // Steals the reference to the base, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr), base.release()) < 0)
    throw PythonError{};
  return array;
}

}  // namespace

OwnedRef to_python(ArrayResult<double>&& value) {
  return array_from_buffer(std::move(value), NPY_FLOAT64);
}
OwnedRef to_python(ArrayResult<std::int32_t>&& value) {
  return array_from_buffer(std::move(value), NPY_INT32);
}

OwnedRef to_python(MaskResult&& value) {
  const std::size_t n = value.data.size();
  return array_from_buffer(ArrayResult<std::uint8_t>{std::move(value.data), n, 0, 1},
                           NPY_BOOL);
}

OwnedRef to_python(BufferResult&& value) {
  ensure_numpy_api();
  npy_intp dims[2] = {static_cast<npy_intp>(value.rows), static_cast<npy_intp>(value.cols)};
  const auto elem = static_cast<npy_intp>(sizeof(double));
  npy_intp strides[2] = {static_cast<npy_intp>(value.cols) * elem, elem};
  if (value.column_major) {
    strides[0] = elem;
    strides[1] = static_cast<npy_intp>(value.rows) * elem;
  }
  double* raw = value.data.release();
  OwnedRef base = OwnedRef::steal(PyCapsule_New(raw, kWorkBufferCapsule, free_work_buffer));
  if (!base) {
    std::free(raw);
    throw PythonError{};
  }
  PyObject* arr = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), 2, dims,
                                       strides, raw, NPY_ARRAY_WRITEABLE, nullptr);
  if (arr == nullptr) throw PythonError{};
  OwnedRef array = OwnedRef::steal(arr);
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr), base.release()) < 0)
    throw PythonError{};
  return array;
}

OwnedRef to_python(bool value) { return OwnedRef::borrow(value ? Py_True : Py_False); }

OwnedRef to_python(std::string&& value) {
  OwnedRef r = OwnedRef::steal(
      PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
  if (!r) throw PythonError{};
  return r;
}

OwnedRef to_python(OwnedRef&& value) { return std::move(value); }

OwnedRef Fields::to_dict() {
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) throw PythonError{};
  for (auto& [name, value] : items_)
    if (PyDict_SetItemString(dict.get(), name, value.get()) < 0) throw PythonError{};
  return dict;
}

OwnedRef to_python(double value) {
  OwnedRef r = OwnedRef::steal(PyFloat_FromDouble(value));
  if (!r) throw PythonError{};
  return r;
}

OwnedRef to_python(std::uint64_t value) {
  OwnedRef r = OwnedRef::steal(PyLong_FromUnsignedLongLong(value));
  if (!r) throw PythonError{};
  return r;
}

OwnedRef to_python(std::vector<std::uint64_t>&& value) {
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
  if (!list) throw PythonError{};
  for (std::size_t i = 0; i < value.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(value[i]).release());
  return list;
}

OwnedRef to_python(std::vector<std::string>&& value) {
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(value.size())));
  if (!list) throw PythonError{};
  for (std::size_t i = 0; i < value.size(); ++i) {
    PyObject* s = PyUnicode_FromStringAndSize(value[i].data(),
                                              static_cast<Py_ssize_t>(value[i].size()));
    if (s == nullptr) throw PythonError{};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list;
}

}  // namespace kestrel::boundary
