#define KESTREL_NUMPY_API_OWNER
#include "boundary/numpy_include.hpp"

#include <string>

#include "boundary/py_ref.hpp"
#include "runtime/check.hpp"

namespace kestrel::boundary {
namespace {

constexpr const char* kCapsuleFailure = "Failed to access NumPy array API capsule";

// Text of the pending Python error (cleared), for the panic message.
std::string take_error_text() {
  OwnedRef exc = fetch_error();
  if (!exc) return {};
  OwnedRef text = OwnedRef::steal(PyObject_Str(exc.get()));
  if (!text) {
    PyErr_Clear();
    return {};
  }
  const char* utf8 = PyUnicode_AsUTF8(text.get());
  if (utf8 == nullptr) {
    PyErr_Clear();
    return {};
  }
  return utf8;
}

[[noreturn]] void fail(const std::string& why) {
  std::string message = kCapsuleFailure;
  if (!why.empty()) message += ": " + why;
  panic(message);
}

// Major version of the running NumPy, read through numpy.lib.NumpyVersion.
long numpy_major_version() {
  OwnedRef numpy = OwnedRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) fail(take_error_text());
  OwnedRef version = OwnedRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) fail(take_error_text());
  OwnedRef lib = OwnedRef::steal(PyImport_ImportModule("numpy.lib"));
  if (!lib) fail(take_error_text());
  OwnedRef parser = OwnedRef::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
  if (!parser) fail(take_error_text());
  OwnedRef parsed = OwnedRef::steal(PyObject_CallOneArg(parser.get(), version.get()));
  if (!parsed) fail(take_error_text());
  OwnedRef major = OwnedRef::steal(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major) fail(take_error_text());
  long value = PyLong_AsLong(major.get());
  if (value == -1 && PyErr_Occurred()) fail(take_error_text());
  return value;
}

}  // namespace

void ensure_numpy_api() {
  if (PyArray_API != nullptr) return;
  const char* module_name =
      numpy_major_version() >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  OwnedRef multiarray = OwnedRef::steal(PyImport_ImportModule(module_name));
  if (!multiarray) fail(take_error_text());
  OwnedRef capsule = OwnedRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) fail(take_error_text());
  if (!PyCapsule_CheckExact(capsule.get())) fail("_ARRAY_API is not a capsule");
  auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) fail(take_error_text());
  // The capsule lives as long as NumPy's module, which is never unloaded.
  PyArray_API = table;
  if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
    PyArray_API = nullptr;
    fail("incompatible NumPy ABI version");
  }
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  if (NPY_FEATURE_VERSION > PyArray_RUNTIME_VERSION) {
    PyArray_API = nullptr;
    fail("NumPy C-API version too old");
  }
}

}  // namespace kestrel::boundary
