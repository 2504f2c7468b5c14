// keltoctl from argv to exit status.
#ifndef KELTOCTL_RUN_H_
#define KELTOCTL_RUN_H_

#include "keltoctl/exit_status.h"

namespace keltoctl {

ExitStatus Run(int argc, const char* const* argv);

}  // namespace keltoctl

#endif  // KELTOCTL_RUN_H_
