// The command line of `keltoctl serve`.
#ifndef KELTOCTL_SERVE_SERVE_COMMAND_H_
#define KELTOCTL_SERVE_SERVE_COMMAND_H_

#include <CLI/CLI.hpp>

#include "keltoctl/serve/serve.h"

namespace keltoctl::serve {

// Declares serve's options on `command` (a CLI11 app or subcommand), to be
// filled into *options by its parse; RunServe(*options) then serves.
void AddServeOptions(CLI::App& command, ServeOptions* options);

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_SERVE_COMMAND_H_
