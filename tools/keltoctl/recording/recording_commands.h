// keltoctl record and keltoctl replay: a run of the live table kept in an
// HDF5 file, and a kept run written back into the table.
#ifndef KELTOCTL_RECORDING_RECORDING_COMMANDS_H_
#define KELTOCTL_RECORDING_RECORDING_COMMANDS_H_

#include <string>
#include <vector>

#include "keltoctl/exit_status.h"
#include "keltoctl/live_table.h"

namespace keltoctl {

struct RecordArguments {
  std::string path;
  std::vector<std::string> patterns;  // empty: every variable
  double duration_seconds = -1;       // negative: until a signal
  double flush_seconds = 1;
  bool force = false;
};

struct ReplayArguments {
  std::string path;
  std::vector<std::string> patterns;
  double speed = 1;  // 0: as fast as possible
  double from_seconds = 0;
  double to_seconds = -1;  // negative: to the end
  bool loop = false;
};

ExitStatus RunRecord(const RecordArguments& arguments, LiveTable& table);
ExitStatus RunReplay(const ReplayArguments& arguments, LiveTable& table);

}  // namespace keltoctl

#endif  // KELTOCTL_RECORDING_RECORDING_COMMANDS_H_
