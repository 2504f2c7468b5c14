// t[name], t[name] = v and var.value as CPython slots. pybind11's general
// dispatcher costs about as much again as the work itself on these paths
// (measured in bench/python_bench.py), so they go straight to the C++ side.
#ifndef KELTO_PYTHON_FAST_PATHS_H_
#define KELTO_PYTHON_FAST_PATHS_H_

#include <pybind11/pybind11.h>

namespace kelto::python {

// After the classes are bound (their pybind11 methods stay, for help() and
// explicit calls; the slots take over the operators).
void InstallFastPaths(pybind11::handle table_type, pybind11::handle var_type);

}  // namespace kelto::python

#endif  // KELTO_PYTHON_FAST_PATHS_H_
