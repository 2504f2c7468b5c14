#include "fast_paths.h"

#include "errors.h"
#include "table.h"
#include "var.h"

namespace py = pybind11;

namespace kelto::python {
namespace {

// The classes are final and made only by this module, so every instance
// holds its C++ object in pybind11's simple layout.
template <typename T>
T& Unwrap(PyObject* self) {
  auto* instance = reinterpret_cast<py::detail::instance*>(self);
  return *static_cast<T*>(instance->get_value_and_holder().value_ptr());
}

PyObject* TableGetItem(PyObject* self, PyObject* key) {
  return GuardSlot<PyObject*>(nullptr, [&] {
    Table& table = Unwrap<Table>(self);
    return table.Get(table.Find(key), key).release().ptr();
  });
}

int TableSetItem(PyObject* self, PyObject* key, PyObject* value) {
  return GuardSlot(-1, [&] {
    Table& table = Unwrap<Table>(self);
    const uint32_t ident = table.Find(key);
    if (value == nullptr) Raise(PyExc_TypeError, "variables of a kelto table cannot be deleted");
    table.Set(ident, value, key);
    return 0;
  });
}

PyObject* VarValueGet(PyObject* self, void*) {
  return GuardSlot<PyObject*>(nullptr, [&] { return Unwrap<Var>(self).Get().release().ptr(); });
}

int VarValueSet(PyObject* self, PyObject* value, void*) {
  return GuardSlot(-1, [&] {
    if (value == nullptr) Raise(PyExc_TypeError, "a variable's value cannot be deleted");
    Unwrap<Var>(self).Set(value);
    return 0;
  });
}

PyGetSetDef var_value = {
    "value", VarValueGet, VarValueSet,
    "The variable's current value (int, float or str), read and written by ident.\n\n"
    "Raises as Table's item access does: TypeError for a Python type the variable\n"
    "does not take, OverflowError or ValueError for a value that does not fit\n"
    "(nothing is written), NoLiveTable while no program holds the table.",
    nullptr};

}  // namespace

void InstallFastPaths(py::handle table_type, py::handle var_type) {
  auto* table = reinterpret_cast<PyTypeObject*>(table_type.ptr());
  table->tp_as_mapping->mp_subscript = TableGetItem;
  table->tp_as_mapping->mp_ass_subscript = TableSetItem;
  PyType_Modified(table);

  auto* var = reinterpret_cast<PyTypeObject*>(var_type.ptr());
  PyObject* descriptor = PyDescr_NewGetSet(var, &var_value);
  if (descriptor == nullptr) throw py::error_already_set();
  var_type.attr("value") = py::reinterpret_steal<py::object>(descriptor);
}

}  // namespace kelto::python
