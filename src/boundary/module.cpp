#include "boundary/module.hpp"

#include <string>

namespace kestrel::boundary {
namespace {

void add_function(PyObject* module, PyObject* all, PyMethodDef* def) {
  OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
  if (!module_name) throw PythonError{};
  OwnedRef fn = OwnedRef::steal(PyCFunction_NewEx(def, nullptr, module_name.get()));
  if (!fn) throw PythonError{};
  OwnedRef name = OwnedRef::steal(PyUnicode_FromString(def->ml_name));
  if (!name || PyList_Append(all, name.get()) < 0) throw PythonError{};
  if (PyModule_AddObjectRef(module, def->ml_name, fn.get()) < 0) throw PythonError{};
}

OwnedRef create_module(ModuleState& state) {
  state.methods.clear();
  state.methods.reserve(state.table.size() + 1);
  for (auto& f : state.table)
    state.methods.push_back(
        {f.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f.call)),
         METH_FASTCALL | METH_KEYWORDS, f.doc.c_str()});

  OwnedRef module = OwnedRef::steal(PyModule_Create(&state.def));
  if (!module) throw PythonError{};
  OwnedRef all = OwnedRef::steal(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) throw PythonError{};
  for (auto& def : state.methods) add_function(module.get(), all.get(), &def);
  if (state.with_panic_type) {
    PyObject* panic_type = panic_exception_type();
    if (panic_type == nullptr ||
        PyModule_AddObjectRef(module.get(), "PanicException", panic_type) < 0)
      throw PythonError{};
  }
  return module;
}

}  // namespace

PyObject* init_module(ModuleState& state) noexcept {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  if (state.module != nullptr) {
    if (id != state.interpreter) {
      const std::string message = std::string(state.full_name) +
                                  " does not support sub-interpreters: it was first imported "
                                  "by another interpreter of this process";
      PyErr_SetString(PyExc_ImportError, message.c_str());
      return nullptr;
    }
    return Py_NewRef(state.module);
  }
  try {
    OwnedRef module = create_module(state);
    state.module = Py_NewRef(module.get());
    state.interpreter = id;
    return module.release();
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

}  // namespace kestrel::boundary
