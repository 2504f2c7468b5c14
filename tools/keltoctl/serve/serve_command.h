// The command line of `keltoctl serve`.
#ifndef KELTOCTL_SERVE_SERVE_COMMAND_H_
#define KELTOCTL_SERVE_SERVE_COMMAND_H_

namespace keltoctl::serve {

// argv[0] is "serve"; its options follow. Returns keltoctl's exit status.
int RunServeCommand(int argc, const char* const* argv);

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_SERVE_COMMAND_H_
