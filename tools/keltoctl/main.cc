// keltoctl: see and set the live kelto table from a shell.
#include <cstdio>
#include <exception>
#include <string_view>

#include "keltoctl/run.h"
#include "keltoctl/serve/serve_command.h"

int main(int argc, char** argv) {
  try {
    if (argc > 1 && std::string_view(argv[1]) == "serve") {
      return keltoctl::serve::RunServeCommand(argc - 1, argv + 1);
    }
    return keltoctl::Run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "keltoctl: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "keltoctl: unexpected failure\n");
  }
  return keltoctl::kSystemError;
}
