#include "errors.h"

namespace py = pybind11;

namespace kelto::python {
namespace {

PyObject* no_live_table = nullptr;
PyObject* no_change_feed = nullptr;

PyObject* MakeException(py::module_& module, const char* name, const char* doc) {
  const std::string qualified = std::string("kelto.") + name;
  PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, PyExc_OSError, nullptr);
  if (type == nullptr) throw py::error_already_set();
  module.add_object(name, py::handle(type));  // the module keeps the reference
  return type;
}

}  // namespace

void DefineExceptions(py::module_& module) {
  no_live_table =
      MakeException(module, "NoLiveTable",
                    "No program holds the table (none was found, or the last one went away).\n\n"
                    "An OSError. An attached Table picks up the next table of its segment by\n"
                    "itself at its next use, once a program holds one again.");
  no_change_feed =
      MakeException(module, "NoChangeFeed",
                    "The table has no change feed: reading and writing work, waiting does not.");
}

PyObject* NoLiveTableError() { return no_live_table; }
PyObject* NoChangeFeedError() { return no_change_feed; }

void Raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

void RaiseKeyError(py::handle key) {
  PyErr_SetObject(PyExc_KeyError, key.ptr());
  throw py::error_already_set();
}

void RaiseResult(kelto_live_result result, const std::string& segment, const std::string& what,
                 py::handle key) {
  switch (result) {
    case KELTO_LIVE_NO_TABLE: Raise(no_live_table, "no live table '" + segment + "'");
    case KELTO_LIVE_UNKNOWN_VARIABLE:
      if (key) RaiseKeyError(key);
      RaiseKeyError(py::str(what));
    case KELTO_LIVE_WRONG_TYPE: Raise(PyExc_TypeError, what + ": its type holds no value");
    case KELTO_LIVE_BAD_VALUE: Raise(PyExc_ValueError, what + ": value refused");
    case KELTO_LIVE_NO_FEED:
      Raise(no_change_feed, "table '" + segment + "' has no change feed: waiting is not possible");
    case KELTO_LIVE_INVALID_ARGUMENT:
      Raise(PyExc_ValueError, std::string(kelto_live_result_text(result)) + ": " + what);
    case KELTO_LIVE_SYSTEM_ERROR:
      Raise(PyExc_OSError,
            std::string(kelto_live_result_text(result)) + " (table '" + segment + "')");
    default:
      Raise(PyExc_RuntimeError,
            std::string("unexpected result from libkelto_live: ") + kelto_live_result_text(result));
  }
}

}  // namespace kelto::python
