// The package's exceptions, and the one place that turns a kelto_live result
// into the Python exception a user expects.
#ifndef KELTO_PYTHON_ERRORS_H_
#define KELTO_PYTHON_ERRORS_H_

#include <pybind11/pybind11.h>

#include <string>

#include "kelto_live.h"

namespace kelto::python {

// Creates kelto.NoLiveTable and kelto.NoChangeFeed (both OSError) in `module`.
void DefineExceptions(pybind11::module_& module);
PyObject* NoLiveTableError();
PyObject* NoChangeFeedError();

// Sets the Python exception and throws pybind11::error_already_set, which
// pybind11 hands back to Python and the hand-written slots restore.
[[noreturn]] void Raise(PyObject* type, const std::string& message);
[[noreturn]] void RaiseKeyError(pybind11::handle key);

// The exception for a failed call on variable `what` (a full name) of the
// table of segment `segment`; `key` is what the user gave, for KeyError.
[[noreturn]] void RaiseResult(kelto_live_result result, const std::string& segment,
                              const std::string& what, pybind11::handle key);

// Runs `body` inside a hand-written CPython slot: every C++ exception
// becomes a Python one and `failed` is returned instead.
template <typename Result, typename Body>
Result GuardSlot(Result failed, Body&& body) noexcept {
  try {
    return body();
  } catch (pybind11::error_already_set& error) {
    error.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
  return failed;
}

}  // namespace kelto::python

#endif  // KELTO_PYTHON_ERRORS_H_
