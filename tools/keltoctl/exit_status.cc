#include "keltoctl/exit_status.h"

#include <cstdarg>
#include <cstdio>

namespace keltoctl {

ExitStatus ReportError(ExitStatus status, const char* format, ...) {
  char message[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);
  std::fprintf(stderr, "keltoctl: %s\n", message);
  return status;
}

}  // namespace keltoctl
