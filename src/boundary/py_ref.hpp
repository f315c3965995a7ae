// Owning reference to a Python object: one Py_DECREF on every path out.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kestrel::boundary {

class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a new reference (may be null).
  static OwnedRef steal(PyObject* p) { return OwnedRef(p); }
  // Adds a reference to a borrowed one.
  static OwnedRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return OwnedRef(p);
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit OwnedRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// Takes the pending exception (normalised), leaving no error set.
inline OwnedRef fetch_error() {
#if PY_VERSION_HEX >= 0x030C0000
  return OwnedRef::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return OwnedRef::steal(value);
#endif
}

// Sets a (normalised) exception object as the pending error.
inline void restore_error(OwnedRef exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* value = exc.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
#endif
}

// Thrown when a Python error is already set and the call must unwind.
struct PythonError {};

}  // namespace kestrel::boundary
