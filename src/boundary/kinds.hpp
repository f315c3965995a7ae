// Argument kinds of the entry points and the C++ value each one becomes.
//
// An entry point is declared once as a `Signature`: its name, its parameters
// (name and kind, positional or keyword, required unless given a default) and its descriptive
// docstring. The frame derives binding, conversion, the text signature and
// the release of every borrow from that declaration.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "boundary/py_ref.hpp"
#include "boundary/views.hpp"

namespace kestrel::boundary {

// GCC's -Wshadow reports these scoped enumerators as shadowing the view
// types of the same names, which they cannot do (they are only reachable as
// Kind::...).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
enum class Kind {
  F64Vector,     // 1-D float64 ndarray
  F64Matrix,     // 2-D float64 ndarray
  I32Vector,     // 1-D int32 ndarray
  I64Vector,     // 1-D int64 ndarray
  F64VectorSeq,  // sequence (not str) of 1-D float64 ndarrays
  I32VectorSeq,  // sequence (not str) of 1-D int32 ndarrays
  StrSeq,        // sequence (not str) of str
  CountSeq,      // sequence (not str) of ints in 0..2^64-1
  Float,         // anything with a float conversion
  Count,         // int (or __index__) in 0..2^64-1
  SignedInt,     // int (or __index__) in the signed 64-bit range
  Bool,          // bool or NumPy bool scalar
  Str,           // str
  MaskVector,    // 1-D bool (or uint8) ndarray
  Object,        // any object, passed through (a callable, None, an array of any dtype)
};
#pragma GCC diagnostic pop

// A parameter left out takes its default, "None" or "False" (null: required).
struct Param {
  const char* name;
  Kind kind;
  const char* default_value = nullptr;
};

template <std::size_t N>
struct Signature {
  const char* name;
  std::array<Param, N> params;
  const char* doc;  // descriptive text after the text-signature line
};

template <Kind K> struct KindValue;
template <> struct KindValue<Kind::F64Vector> { using type = F64Vector; };
template <> struct KindValue<Kind::F64Matrix> { using type = F64Matrix; };
template <> struct KindValue<Kind::I32Vector> { using type = I32Vector; };
template <> struct KindValue<Kind::I64Vector> { using type = I64Vector; };
template <> struct KindValue<Kind::F64VectorSeq> { using type = std::vector<F64Vector>; };
template <> struct KindValue<Kind::I32VectorSeq> { using type = std::vector<I32Vector>; };
template <> struct KindValue<Kind::StrSeq> { using type = std::vector<std::string>; };
template <> struct KindValue<Kind::CountSeq> { using type = std::vector<std::uint64_t>; };
template <> struct KindValue<Kind::Float> { using type = double; };
template <> struct KindValue<Kind::Count> { using type = std::uint64_t; };
template <> struct KindValue<Kind::SignedInt> { using type = std::int64_t; };
template <> struct KindValue<Kind::Bool> { using type = bool; };
template <> struct KindValue<Kind::Str> { using type = std::string; };
template <> struct KindValue<Kind::MaskVector> { using type = U8Vector; };
template <> struct KindValue<Kind::Object> { using type = OwnedRef; };

// Each converter either fills `out` or sets a Python error and throws
// PythonError. Type errors here carry no argument prefix; the frame adds it.
void convert_value(PyObject* obj, F64Vector& out);
void convert_value(PyObject* obj, F64Matrix& out);
void convert_value(PyObject* obj, I32Vector& out);
void convert_value(PyObject* obj, I64Vector& out);
void convert_value(PyObject* obj, std::vector<F64Vector>& out);
void convert_value(PyObject* obj, std::vector<I32Vector>& out);
void convert_value(PyObject* obj, std::vector<std::string>& out);
void convert_value(PyObject* obj, std::vector<std::uint64_t>& out);
void convert_value(PyObject* obj, double& out);
void convert_value(PyObject* obj, std::uint64_t& out);
void convert_value(PyObject* obj, std::int64_t& out);
void convert_value(PyObject* obj, bool& out);
void convert_value(PyObject* obj, std::string& out);
void convert_value(PyObject* obj, U8Vector& out);
void convert_value(PyObject* obj, OwnedRef& out);

}  // namespace kestrel::boundary
