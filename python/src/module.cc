// kelto._kelto: the compiled part of the kelto package.
#include <pybind11/pybind11.h>

#include "errors.h"
#include "kelto_live.h"
#include "table.h"
#include "table_binding.h"

namespace py = pybind11;

PYBIND11_MODULE(_kelto, module) {
  module.doc() = "The compiled part of the kelto package; import kelto instead.";
  module.attr("__version__") = KELTO_LIVE_VERSION;
  kelto::python::DefineExceptions(module);
  kelto::python::BindTable(module);
  // The smallest call this module can make, as the benchmarks' baseline.
  module.def("_minimal", [] { return 42; });
  // What libkelto_live itself costs per read and write of one variable, in
  // ns, so that the benchmark can tell the binding's share from the library's.
  module.def("_library_ns", [](kelto::python::Table& table, const py::str& name, int calls) {
    return kelto::python::LibraryCostNs(table, name, calls);
  });
  py::module_::import("os").attr("register_at_fork")(
      py::arg("after_in_child") = py::cpp_function([] { kelto::python::ForgetTablesAfterFork(); }));
}
