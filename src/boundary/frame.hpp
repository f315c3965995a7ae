// The call frame shared by every entry point.
//
// `entry<Sig, Impl>` is the vectorcall function registered for one entry
// point: it binds the arguments to the parameters of `Sig`, converts them in
// declaration order (the first failure ends the call), calls `Impl` with the
// converted values (each as an lvalue reference), converts its result, and
// maps every C++ failure to a Python exception in exactly one place.
// Borrowed arrays are released when the converted values go out of scope,
// on every path.
#pragma once

#include <array>
#include <exception>
#include <span>
#include <tuple>
#include <utility>

#include "boundary/kinds.hpp"
#include "boundary/py_ref.hpp"
#include "boundary/results.hpp"

namespace kestrel::boundary {

// Fills `bound` (one slot per parameter, borrowed references) or sets a
// TypeError and throws PythonError.
void bind_arguments(const char* function, std::span<const Param> params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** bound);

// Converts one bound argument; a TypeError gets the "argument '<name>': "
// prefix (keeping the original's cause), other errors pass through.
template <class T>
void convert_param(PyObject* obj, const char* name, T& out);

// How a failed internal check reaches Python: reported on standard error and
// raised as PanicException (`_native`), or raised as a plain ValueError
// with its message only (`_core`, whose users never see engine internals).
enum class PanicMode { Report, PlainError };

// Sets the Python exception for the C++ exception being handled.
void translate_current_exception(PanicMode mode = PanicMode::Report) noexcept;

// The module's PanicException class (created once per process).
PyObject* panic_exception_type();

// Adds the argument prefix to a pending TypeError, then throws PythonError.
[[noreturn]] void rethrow_with_argument_prefix(const char* name);

template <class T>
void convert_param(PyObject* obj, const char* name, T& out) {
  try {
    convert_value(obj, out);
  } catch (const PythonError&) {
    rethrow_with_argument_prefix(name);
  }
}

template <const auto& Sig, std::size_t... I>
auto convert_all(const std::array<PyObject*, sizeof...(I)>& bound, std::index_sequence<I...>) {
  std::tuple<typename KindValue<Sig.params[I].kind>::type...> values;
  // A comma fold runs left to right: declaration order.
  (convert_param(bound[I], Sig.params[I].name, std::get<I>(values)), ...);
  return values;
}

template <const auto& Sig, auto Impl, PanicMode Mode = PanicMode::Report>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
  constexpr std::size_t n = Sig.params.size();
  try {
    std::array<PyObject*, n> bound{};
    bind_arguments(Sig.name, Sig.params, args, nargs, kwnames, bound.data());
    auto values = convert_all<Sig>(bound, std::make_index_sequence<n>{});
    OwnedRef result =
        std::apply([](auto&... v) { return to_python(Impl(v...)); }, values);
    return result.release();
  } catch (...) {
    translate_current_exception(Mode);
    return nullptr;
  }
}

// Docstring with the text-signature line the interpreter derives
// `__text_signature__` from: "name(a, b)\n--\n\n" followed by the text.
template <std::size_t N>
std::string docstring_of(const Signature<N>& sig) {
  std::string doc = sig.name;
  doc += '(';
  for (std::size_t i = 0; i < N; ++i) {
    if (i != 0) doc += ", ";
    doc += sig.params[i].name;
    if (sig.params[i].default_value != nullptr) {
      doc += '=';
      doc += sig.params[i].default_value;
    }
  }
  doc += ")\n--\n\n";
  doc += sig.doc;
  return doc;
}

}  // namespace kestrel::boundary
