#include "boundary/frame.hpp"

#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/check.hpp"

namespace kestrel::boundary {
namespace {

[[noreturn]] void type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PythonError{};
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own phrasing.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) out += ',';
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

}  // namespace

void bind_arguments(const char* function, std::span<const Param> params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
  const std::string fn = std::string(function) + "()";
  const auto n_params = static_cast<Py_ssize_t>(params.size());
  if (nargs > n_params) {
    type_error(fn + " takes " + std::to_string(n_params) + " positional arguments but " +
               std::to_string(nargs) + " were given");
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

  const Py_ssize_t n_kw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t j = 0; j < n_kw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    Py_ssize_t slot = -1;
    for (Py_ssize_t p = 0; p < n_params; ++p) {
      if (PyUnicode_CompareWithASCIIString(key, params[static_cast<std::size_t>(p)].name) == 0) {
        slot = p;
        break;
      }
    }
    const char* key_utf8 = PyUnicode_AsUTF8(key);
    if (key_utf8 == nullptr) throw PythonError{};
    if (slot < 0) type_error(fn + " got an unexpected keyword argument '" + key_utf8 + "'");
    if (bound[slot] != nullptr)
      type_error(fn + " got multiple values for argument '" + key_utf8 + "'");
    bound[slot] = args[nargs + j];
  }

  std::vector<const char*> missing;
  for (std::size_t p = 0; p < params.size(); ++p) {
    if (bound[p] != nullptr) continue;
    const char* fallback = params[p].default_value;
    if (fallback == nullptr)
      missing.push_back(params[p].name);
    else
      bound[p] = std::string_view(fallback) == "False" ? Py_False : Py_None;
  }
  if (!missing.empty()) {
    type_error(fn + " missing " + std::to_string(missing.size()) + " required positional " +
               (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
  }
}

void rethrow_with_argument_prefix(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
  OwnedRef original = fetch_error();
  OwnedRef text = OwnedRef::steal(PyObject_Str(original.get()));
  if (!text) throw PythonError{};
  OwnedRef message =
      OwnedRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) throw PythonError{};
  OwnedRef remapped = OwnedRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!remapped) throw PythonError{};
  // The new error takes over the cause of the first one (PyException_SetCause
  // steals the reference that GetCause returns).
  PyException_SetCause(remapped.get(), PyException_GetCause(original.get()));
  restore_error(std::move(remapped));
  throw PythonError{};
}

PyObject* panic_exception_type() {
  // Created once per process and kept; the class derives directly from
  // BaseException so that `except Exception` does not swallow it.
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "kestrel._native.PanicException",
      "An internal check of the engine failed; the message says which.",
      PyExc_BaseException, nullptr);
  return type;
}

void translate_current_exception(PanicMode mode) noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const Panic& p) {
    if (mode == PanicMode::PlainError) {
      PyErr_SetString(PyExc_ValueError, p.message.c_str());
      return;
    }
    // One short report naming the failing check, then the exception, so the
    // interpreter keeps running. A report that cannot be written changes
    // nothing about the failure itself.
    (void)std::fprintf(stderr, "kestrel._native: check failed at %s:%u:%u:\n%s\n",
                       p.where.file_name(), static_cast<unsigned>(p.where.line()),
                       static_cast<unsigned>(p.where.column()), p.message.c_str());
    (void)std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the creation error is pending
    PyErr_SetString(type, p.message.c_str());
  } catch (const ValueFailure& v) {
    PyErr_SetString(PyExc_ValueError, v.message.c_str());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, e.what());
  } catch (...) {
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, "unknown internal failure");
  }
}

}  // namespace kestrel::boundary
