#include "program_hold.h"

#include <optional>

#include "errors.h"
#include "kelto.h"

namespace py = pybind11;

namespace kelto::python {
namespace {

int holds = 0;  // guarded by the GIL

}  // namespace

std::unique_ptr<Table> OpenProgramTable() {
  // KeltoOpen and KeltoClose run with the GIL held: libkelto wants them to
  // run alone, and only this package calls libkelto in the process.
  if (holds == 0) KeltoOpen();
  ++holds;
  try {
    std::unique_ptr<Table> table = Table::Attach(std::nullopt, 0);
    table->MarkProgram();
    return table;
  } catch (py::error_already_set& error) {
    ReleaseProgramHold();
    if (error.matches(NoLiveTableError())) {
      Raise(NoLiveTableError(),
            "Open found no table: see kelto_log.txt in the definition directory (KELTO_DIR)");
    }
    throw;
  }
}

void ReleaseProgramHold() {
  if (holds > 0 && --holds == 0) KeltoClose();
}

void ForgetProgramHoldsAfterFork() { holds = 0; }

}  // namespace kelto::python
