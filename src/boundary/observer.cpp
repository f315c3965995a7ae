#include "boundary/observer.hpp"

#include "boundary/frame.hpp"
#include "boundary/py_ref.hpp"

namespace kestrel::boundary {

namespace {

// Whether the calling thread is the one where signal handlers run (the
// main thread); asked with the lock held. When that cannot be told, it is
// assumed to be, which only costs a signal check.
bool on_main_thread() {
  OwnedRef threading = OwnedRef::steal(PyImport_ImportModule("threading"));
  OwnedRef main = threading ? OwnedRef::steal(PyObject_CallMethod(threading.get(), "main_thread",
                                                                  nullptr))
                            : OwnedRef();
  OwnedRef ident = main ? OwnedRef::steal(PyObject_GetAttrString(main.get(), "ident")) : OwnedRef();
  const unsigned long id = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return true;
  }
  return id == PyThread_get_thread_ident();
}

}  // namespace

PythonObserver::PythonObserver(PyObject* progress)
    : progress_(progress), main_thread_(on_main_thread()),
      last_check_(std::chrono::steady_clock::now()) {}

void PythonObserver::iteration(std::uint64_t iteration, double residual) {
  if (progress_ == nullptr) {
    if (!main_thread_) return;
    const auto now = std::chrono::steady_clock::now();
    if (released_ != nullptr && now - last_check_ < kSignalInterval) return;
    last_check_ = now;
  }
  auto report = [&] {
    if (PyErr_CheckSignals() < 0) throw PythonError{};
    if (progress_ == nullptr) return;
    OwnedRef result = OwnedRef::steal(PyObject_CallFunction(
        progress_, "Kd", static_cast<unsigned long long>(iteration), residual));
    if (!result) throw PythonError{};
  };
  if (released_ != nullptr)
    released_->locked(report);
  else
    report();
}

}  // namespace kestrel::boundary
