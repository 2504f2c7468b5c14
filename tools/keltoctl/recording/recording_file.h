// A recording being written: an HDF5 file with one dataset of (time, value)
// rows per variable under "variables", a dataset "events", and attributes
// that say where and when it was made. Every dataset is made before the
// file goes into single-writer/multiple-reader mode (HDF5 1.10 makes no
// dataset after that); rows are kept in memory and appended in blocks by a
// writing thread of its own at each Flush, after which a reader sees them
// and a killed writer keeps them.
#ifndef KELTOCTL_RECORDING_RECORDING_FILE_H_
#define KELTOCTL_RECORDING_RECORDING_FILE_H_

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace keltoctl {

// An HDF5 call failed: `what` says what was being done; errno as it was.
class RecordingFailure : public std::runtime_error {
 public:
  RecordingFailure(const std::string& what, int error_number)
      : std::runtime_error(what), error_number_(error_number) {}
  int error_number() const { return error_number_; }

 private:
  int error_number_;
};

struct RecordedVariable {
  std::string name;  // the full name, raw bytes
  char type = 0;
  int32_t size = 0;
  uint32_t ident = 0;
};

struct RecordingHeader {
  std::string segment;
  std::string host;
  std::string kelto_version;
  std::string start_time;  // ISO 8601, UTC
  std::vector<std::string> no_value_variables;
};

inline constexpr const char* kVariablesGroup = "variables";
inline constexpr const char* kEventsDataset = "events";
inline constexpr size_t kEventKindSize = 24;
inline constexpr size_t kEventTextSize = 256;

class RecordingFile {
 public:
  // Creates `path` (an existing file only with `replace`) with a dataset for
  // each of `variables`, in their order, and starts single-writer mode.
  // Throws RecordingFailure.
  RecordingFile(const std::string& path, bool replace, const RecordingHeader& header,
                const std::vector<RecordedVariable>& variables);
  ~RecordingFile();
  RecordingFile(const RecordingFile&) = delete;
  RecordingFile& operator=(const RecordingFile&) = delete;

  // Keeps a row of variable number `variable`: `value` holds its raw value
  // as the live API reads it (KELTO_LIVE_VALUE_SIZE bytes).
  void Append(size_t variable, int64_t time_ns, const char* value);
  void AddEvent(int64_t time_ns, std::string_view kind, std::string_view text);
  // Asks the writing thread to write every row and event kept so far and
  // flush the file; returns at once.
  void Flush();
  // Throws the writing thread's failure, if it had one.
  void ThrowIfFailed();
  // Writes what is kept, then closes. Throws.
  void Close();

 private:
  struct State;
  void WriteWhenAsked();
  void TakeKept();
  void WriteTaken();
  void StopWriter();
  void CheckRoom(uint64_t growth) const;
  [[noreturn]] void Abandon(const char* what, int error) const;
  std::unique_ptr<State> state_;
};

// Silences HDF5's own error stacks on stderr (failures are reported as one
// line by the caller) and its clean-up at exit. Called before any other
// HDF5 call.
void SilenceHdf5Errors();

}  // namespace keltoctl

#endif  // KELTOCTL_RECORDING_RECORDING_FILE_H_
