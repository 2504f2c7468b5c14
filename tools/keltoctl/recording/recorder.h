// The loop of keltoctl record: a snapshot of the chosen variables, then one
// row per change the change log reports, with the table's comings and goings
// kept as events.
#ifndef KELTOCTL_RECORDING_RECORDER_H_
#define KELTOCTL_RECORDING_RECORDER_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kelto_live.h"
#include "keltoctl/recording/recording_commands.h"
#include "keltoctl/recording/recording_file.h"

namespace keltoctl {

class Recorder {
 public:
  // The ending signals (INT, TERM, HUP) must be blocked: they are looked
  // for between waits.
  Recorder(const RecordArguments& arguments, kelto_live* table);

  // The variables to record and those without a value, from the table as it
  // is now. False when patterns were given and none matched.
  bool Choose();
  // Creates the file and records until a signal, the duration's end or a
  // failure. Throws RecordingFailure; kNoLiveTable and kSystemError are
  // reported by the caller.
  ExitStatus Record();

 private:
  enum class Step { kGoOn, kStop, kFailed };

  Step WaitForChanges(double seconds);
  Step WaitForTable(double seconds);
  void RecordAll(int64_t time);
  void RecordOne(size_t variable, int64_t time);
  // Maps the recorded variables onto the table's idents; the differences
  // from what the file holds, as text (empty: none).
  std::string Map();
  std::vector<uint32_t> Matching() const;
  bool Stopping() const;
  double SliceUntilDue(double now) const;

  const RecordArguments& arguments_;
  kelto_live* table_;
  std::vector<RecordedVariable> variables_;
  std::vector<std::string> no_value_;
  std::vector<int32_t> variable_of_ident_;
  std::vector<uint32_t> mapped_idents_;
  std::vector<uint32_t> changed_;
  uint32_t mapped_count_ = 0;
  uint64_t cursor_ = 0;
  bool attached_ = true;
  double deadline_ = -1;
  double next_flush_ = 0;
  std::unique_ptr<RecordingFile> file_;
};

int64_t WallClockNanoseconds();

}  // namespace keltoctl

#endif  // KELTOCTL_RECORDING_RECORDER_H_
