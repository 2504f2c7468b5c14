// A recording as replay reads it: every variable's rows, in memory.
#ifndef KELTOCTL_RECORDING_RECORDING_READER_H_
#define KELTOCTL_RECORDING_RECORDING_READER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace keltoctl {

struct RecordedSeries {
  std::string name;  // the variable's full name
  char type = 0;
  size_t value_bytes = 0;
  std::vector<int64_t> times;
  std::vector<char> values;  // value_bytes per row

  const char* ValueAt(size_t row) const { return values.data() + row * value_bytes; }
};

// Every variable of the recording at `path`, also one still being written
// or left by a killed recorder. Throws RecordingFailure.
std::vector<RecordedSeries> ReadRecording(const std::string& path);

}  // namespace keltoctl

#endif  // KELTOCTL_RECORDING_RECORDING_READER_H_
