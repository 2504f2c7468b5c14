// keltoctl: see and set the live kelto table from a shell.
#include <cstdio>
#include <exception>

#include "keltoctl/run.h"

int main(int argc, char** argv) {
  try {
    return keltoctl::Run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "keltoctl: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "keltoctl: unexpected failure\n");
  }
  return keltoctl::kSystemError;
}
