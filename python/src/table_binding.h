// The Python classes Table, Var and Waiter and the module's functions.
#ifndef KELTO_PYTHON_TABLE_BINDING_H_
#define KELTO_PYTHON_TABLE_BINDING_H_

#include <pybind11/pybind11.h>

namespace kelto::python {

void BindTable(pybind11::module_& module);

}  // namespace kelto::python

#endif  // KELTO_PYTHON_TABLE_BINDING_H_
