// What keltoctl's exit status tells a script, and the one-line error report.
#ifndef KELTOCTL_EXIT_STATUS_H_
#define KELTOCTL_EXIT_STATUS_H_

namespace keltoctl {

// Distinct so that a script can tell a typo from a dead system.
enum ExitStatus : int {
  kOk = 0,
  kUnknownVariable = 1,  // no item has that name, or no name matches the pattern
  kUsage = 2,            // wrong command, option or number of arguments
  kBadValue = 3,         // a value that does not parse or does not fit
  kNoLiveTable = 4,      // no process holds the segment
  kSystemError = 5,      // anything else the system refused
  kTimedOut = 6,         // wait: no change before the timeout
};

// Writes "keltoctl: <message>" as one line on standard error and returns
// `status`, so callers can `return ReportError(...)`.
[[gnu::format(printf, 2, 3)]] ExitStatus ReportError(ExitStatus status, const char* format, ...);

}  // namespace keltoctl

#endif  // KELTOCTL_EXIT_STATUS_H_
