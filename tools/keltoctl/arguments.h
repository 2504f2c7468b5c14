// What a command of keltoctl was asked to do, as its options and operands
// fill it in (see command.h); read by the commands once a table is attached.
#ifndef KELTOCTL_ARGUMENTS_H_
#define KELTOCTL_ARGUMENTS_H_

#include <string>
#include <vector>

namespace keltoctl {

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

}  // namespace keltoctl

#endif  // KELTOCTL_ARGUMENTS_H_
