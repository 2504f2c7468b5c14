// The --help texts of keltoctl and of each command.
#ifndef KELTOCTL_HELP_TEXT_H_
#define KELTOCTL_HELP_TEXT_H_

#include "keltoctl/arguments.h"

namespace keltoctl {

// The help of `command`, or of the whole tool for Command::kNone.
const char* HelpText(Command command);

}  // namespace keltoctl

#endif  // KELTOCTL_HELP_TEXT_H_
