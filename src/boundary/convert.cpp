#include <string>

#include "boundary/kinds.hpp"
#include "boundary/numpy_include.hpp"

namespace kestrel::boundary {
namespace {

std::string type_name(PyObject* obj) {
  OwnedRef name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) throw PythonError{};
  const char* utf8 = PyUnicode_AsUTF8(name.get());
  if (utf8 == nullptr) throw PythonError{};
  return utf8;
}

[[noreturn]] void cannot_convert(PyObject* obj, const char* target) {
  // Appended piece by piece: GCC 12 reports a false -Wrestrict overlap for
  // "literal" + std::string&& at -O2 and above.
  std::string message = "'";
  message += type_name(obj);
  message += "' object cannot be converted to '";
  message += target;
  message += '\'';
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PythonError{};
}

// An ndarray (or subclass) of `ndim` dimensions whose dtype is equivalent to
// `typenum`, byte order and width included.
OwnedRef checked_array(PyObject* obj, int ndim, int typenum) {
  ensure_numpy_api();
  if (!PyArray_Check(obj)) cannot_convert(obj, "PyArray<T, D>");
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(arr) != ndim) cannot_convert(obj, "PyArray<T, D>");
  PyArray_Descr* wanted = PyArray_DescrFromType(typenum);
  const bool same = PyArray_EquivTypes(PyArray_DESCR(arr), wanted) != 0;
  Py_DECREF(wanted);
  if (!same) cannot_convert(obj, "PyArray<T, D>");
  return OwnedRef::borrow(obj);
}

// Items of a sequence that is not a str, converted one by one in order.
template <class T>
void convert_sequence(PyObject* obj, std::vector<T>& out) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    throw PythonError{};
  }
  if (!PySequence_Check(obj)) cannot_convert(obj, "Sequence");
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) throw PythonError{};
  out.clear();
  out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    OwnedRef item = OwnedRef::steal(PySequence_GetItem(obj, i));
    if (!item) throw PythonError{};
    T value{};
    convert_value(item.get(), value);
    out.push_back(std::move(value));
  }
}

}  // namespace

void convert_value(PyObject* obj, F64Vector& out) {
  out = F64Vector(checked_array(obj, 1, NPY_FLOAT64));
}
void convert_value(PyObject* obj, F64Matrix& out) {
  out = F64Matrix(checked_array(obj, 2, NPY_FLOAT64));
}
void convert_value(PyObject* obj, I32Vector& out) {
  out = I32Vector(checked_array(obj, 1, NPY_INT32));
}
void convert_value(PyObject* obj, I64Vector& out) {
  out = I64Vector(checked_array(obj, 1, NPY_INT64));
}
void convert_value(PyObject* obj, U8Vector& out) {
  ensure_numpy_api();
  if (PyArray_Check(obj) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(obj)) == NPY_BOOL &&
      PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == 1) {
    out = U8Vector(OwnedRef::borrow(obj));
    return;
  }
  out = U8Vector(checked_array(obj, 1, NPY_UINT8));
}
void convert_value(PyObject* obj, OwnedRef& out) { out = OwnedRef::borrow(obj); }
void convert_value(PyObject* obj, std::vector<F64Vector>& out) { convert_sequence(obj, out); }
void convert_value(PyObject* obj, std::vector<I32Vector>& out) { convert_sequence(obj, out); }
void convert_value(PyObject* obj, std::vector<std::string>& out) { convert_sequence(obj, out); }
void convert_value(PyObject* obj, std::vector<std::uint64_t>& out) { convert_sequence(obj, out); }

void convert_value(PyObject* obj, double& out) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
  out = v;
}

void convert_value(PyObject* obj, std::uint64_t& out) {
  OwnedRef index = OwnedRef::steal(PyNumber_Index(obj));
  if (!index) throw PythonError{};
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  out = v;
}

void convert_value(PyObject* obj, std::int64_t& out) {
  OwnedRef index = OwnedRef::steal(PyNumber_Index(obj));
  if (!index) throw PythonError{};
  const long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) throw PythonError{};
  out = v;
}

void convert_value(PyObject* obj, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return;
  }
  // A NumPy boolean scalar is accepted too; compare by type name so that a
  // bool argument never needs the NumPy API.
  const std::string name = Py_TYPE(obj)->tp_name;
  if (name == "numpy.bool" || name == "numpy.bool_") {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) throw PythonError{};
    out = truth != 0;
    return;
  }
  cannot_convert(obj, "PyBool");
}

void convert_value(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) cannot_convert(obj, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) throw PythonError{};
  out.assign(utf8, static_cast<std::size_t>(size));
}

}  // namespace kestrel::boundary
