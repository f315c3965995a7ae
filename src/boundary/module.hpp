// Module creation shared by the extension modules: a function table built
// from the entry points' declarations, `__all__` in table order, and the
// one-module-per-process rule (no sub-interpreters: the engine's pool and
// module objects are process-wide).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "boundary/frame.hpp"
#include "boundary/py_ref.hpp"

namespace kestrel::boundary {

struct FunctionEntry {
  const char* name;
  _PyCFunctionFastWithKeywords call;
  std::string doc;
};

template <const auto& Sig, auto Impl, PanicMode Mode = PanicMode::Report>
FunctionEntry function() {
  return {Sig.name, &entry<Sig, Impl, Mode>, docstring_of(Sig)};
}

// The state of one extension module in this process.
struct ModuleState {
  const char* full_name;  // for messages, e.g. "kestrel._native"
  PyModuleDef def;
  std::vector<FunctionEntry> table;  // registration order = order of __all__
  std::vector<PyMethodDef> methods;  // outlive the function objects
  PyObject* module = nullptr;        // kept for the life of the process
  std::int64_t interpreter = -1;     // the interpreter that first imported it
  bool with_panic_type = false;      // adds PanicException to the module
};

// The body of PyInit_<name>: creates the module on first import and returns
// it again on later ones, refuses other interpreters, and turns every C++
// failure into a Python exception (nullptr returned).
PyObject* init_module(ModuleState& state) noexcept;

}  // namespace kestrel::boundary
