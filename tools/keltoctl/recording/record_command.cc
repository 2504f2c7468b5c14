#include <signal.h>

#include <cstring>

#include "keltoctl/change_wait.h"
#include "keltoctl/recording/recorder.h"
#include "keltoctl/recording/recording_commands.h"
#include "keltoctl/value_format.h"

namespace keltoctl {

ExitStatus RunRecord(const RecordArguments& arguments, LiveTable& table) {
  // A file size limit (ulimit -f) is a write error to report, not a reason
  // to die with a half-written file.
  signal(SIGXFSZ, SIG_IGN);
  SilenceHdf5Errors();
  BlockEndingSignals();
  Recorder recorder(arguments, table.Handle());
  if (!recorder.Choose()) {
    std::string patterns;
    for (const std::string& pattern : arguments.patterns) {
      patterns += (patterns.empty() ? "'" : ", '") + EscapeText(pattern) + "'";
    }
    return ReportError(kUnknownVariable, "no variable matches %s", patterns.c_str());
  }
  try {
    return recorder.Record();
  } catch (const RecordingFailure& failure) {
    const int error = failure.error_number();
    return ReportError(kSystemError, "cannot write the recording '%s': %s%s%s",
                       EscapeText(arguments.path).c_str(), failure.what(), error != 0 ? ": " : "",
                       error != 0 ? std::strerror(error) : "");
  }
}

}  // namespace keltoctl
