// kelto.open(): the process holds the table as a program, through libkelto's
// own Open and Close, which act on the one table of the process. The hold
// is counted, so it lasts while any table from kelto.open() is open.
#ifndef KELTO_PYTHON_PROGRAM_HOLD_H_
#define KELTO_PYTHON_PROGRAM_HOLD_H_

#include <memory>

#include "table.h"

namespace kelto::python {

std::unique_ptr<Table> OpenProgramTable();
void ReleaseProgramHold();
// In a forked child, libkelto has already closed its table.
void ForgetProgramHoldsAfterFork();

}  // namespace kelto::python

#endif  // KELTO_PYTHON_PROGRAM_HOLD_H_
