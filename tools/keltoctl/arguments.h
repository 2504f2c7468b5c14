// The command line of keltoctl, parsed before anything is attached, so that
// a wrong call fails fast and never touches the table.
#ifndef KELTOCTL_ARGUMENTS_H_
#define KELTOCTL_ARGUMENTS_H_

#include <string>
#include <vector>

#include "keltoctl/exit_status.h"

namespace keltoctl {

enum class Command { kNone, kList, kGet, kSet, kWatch, kWait, kVersion };

enum class OutputFormat {
  kAuto,   // list: kTable on a terminal, kTsv otherwise; get: bare values
  kTable,  // aligned columns with a header line
  kTsv,    // tab-separated rows, no header, fields escaped
  kJson,
  kCsv,
};

inline constexpr double kDefaultIntervalSeconds = 1.0;
inline constexpr double kMinIntervalSeconds = 0.01;
inline constexpr double kMaxIntervalSeconds = 86400.0;

struct Arguments {
  Command command = Command::kNone;
  // --help given: show the help of `command` (or of the tool for kNone).
  bool help = false;
  OutputFormat format = OutputFormat::kAuto;
  // set: VALUE of a text variable uses the escapes that get prints.
  bool escaped = false;
  double interval_seconds = kDefaultIntervalSeconds;
  // watch: number of refreshes; 0 means until interrupted.
  long long count = 0;
  // wait: seconds before giving up; negative means no limit.
  double timeout_seconds = -1;
  std::vector<std::string> operands;
};

// kOk with *arguments filled, or kUsage after a one-line report on stderr.
ExitStatus ParseArguments(int argc, const char* const* argv, Arguments* arguments);

}  // namespace keltoctl

#endif  // KELTOCTL_ARGUMENTS_H_
