#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "keltoctl/change_wait.h"
#include "keltoctl/recording/recording_commands.h"
#include "keltoctl/recording/recording_file.h"
#include "keltoctl/recording/recording_reader.h"
#include "keltoctl/value_format.h"

namespace keltoctl {
namespace {

// With --speed 0 nothing waits: the signals are looked at every so many
// writes instead.
constexpr size_t kWritesBetweenSignalChecks = 1024;

struct Target {
  const RecordedSeries* series;
  uint32_t ident;
};

// One write of the replay: row `row` of target `target`.
struct Write {
  int64_t offset_ns;  // after the first row of the recording
  uint32_t target;
  uint32_t row;
};

bool Chosen(const std::vector<std::string>& patterns, const std::string& name) {
  if (patterns.empty()) return true;
  return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& pattern) {
    return kelto_live_match(pattern.c_str(), name.c_str()) != 0;
  });
}

// The variables of the recording that the table holds with the same type
// letter; every other one is reported once.
std::vector<Target> Targets(const std::vector<RecordedSeries>& recording,
                            const std::vector<std::string>& patterns, kelto_live* table) {
  std::vector<Target> targets;
  for (const RecordedSeries& series : recording) {
    if (!Chosen(patterns, series.name)) continue;
    const std::string name = EscapeText(series.name);
    uint32_t ident = 0;
    kelto_live_info info;
    if (kelto_live_find(table, series.name.c_str(), &ident) != KELTO_LIVE_OK ||
        kelto_live_info_of(table, ident, &info) != KELTO_LIVE_OK) {
      std::fprintf(stderr, "keltoctl: replay: left out '%s': not in the live table\n",
                   name.c_str());
    } else if (info.type != series.type) {
      std::fprintf(stderr, "keltoctl: replay: left out '%s': recorded as %s, the table has %s\n",
                   name.c_str(), EscapeText(std::string(1, series.type)).c_str(),
                   EscapeText(std::string(1, info.type)).c_str());
    } else {
      targets.push_back({&series, ident});
    }
  }
  return targets;
}

std::vector<Write> Timeline(const std::vector<Target>& targets, const ReplayArguments& arguments) {
  int64_t first = INT64_MAX;
  for (const Target& target : targets) {
    if (!target.series->times.empty()) first = std::min(first, target.series->times.front());
  }
  const auto from = static_cast<int64_t>(std::llround(arguments.from_seconds * 1e9));
  const auto to = arguments.to_seconds < 0
                      ? INT64_MAX
                      : static_cast<int64_t>(std::llround(arguments.to_seconds * 1e9));
  std::vector<Write> writes;
  for (uint32_t t = 0; t < targets.size(); ++t) {
    const std::vector<int64_t>& times = targets[t].series->times;
    for (uint32_t row = 0; row < times.size(); ++row) {
      const int64_t offset = times[row] - first;
      if (offset >= from && offset <= to) writes.push_back({offset - from, t, row});
    }
  }
  std::stable_sort(writes.begin(), writes.end(),
                   [](const Write& a, const Write& b) { return a.offset_ns < b.offset_ns; });
  return writes;
}

kelto_live_result WriteValue(kelto_live* table, const Target& target, uint32_t row) {
  const RecordedSeries& series = *target.series;
  const char* value = series.ValueAt(row);
  switch (series.type) {
    case 'B':
    case 'H':
    case 'O': return kelto_live_set_int(table, target.ident, static_cast<uint8_t>(value[0]));
    case 'M':
    case 'W': {
      uint16_t number;
      std::memcpy(&number, value, sizeof number);
      return kelto_live_set_int(table, target.ident, number);
    }
    case 'L': {
      int32_t number;
      std::memcpy(&number, value, sizeof number);
      return kelto_live_set_int(table, target.ident, number);
    }
    case 'D': {
      double number;
      std::memcpy(&number, value, sizeof number);
      return kelto_live_set_double(table, target.ident, number);
    }
    default: {
      const std::string text(value, strnlen(value, series.value_bytes));
      return kelto_live_set_text(table, target.ident, text.c_str());
    }
  }
}

bool StopPending(const sigset_t& signals) {
  const struct timespec now = {0, 0};
  return sigtimedwait(&signals, nullptr, &now) > 0;
}

// Sleeps until `due` (monotonic seconds); false when a signal ended it.
bool SleepUntil(double due, const sigset_t& signals) {
  for (;;) {
    const double rest = due - MonotonicSeconds();
    if (rest <= 0) return true;
    struct timespec timeout;
    timeout.tv_sec = static_cast<time_t>(rest);
    timeout.tv_nsec = static_cast<long>((rest - std::floor(rest)) * 1e9);
    const int received = sigtimedwait(&signals, nullptr, &timeout);
    if (received > 0 && received != SIGWINCH) return false;
  }
}

enum class PassEnd { kDone, kStopped, kFailed };

PassEnd ReplayOnce(const std::vector<Write>& writes, const std::vector<Target>& targets,
                   const ReplayArguments& arguments, kelto_live* table, const sigset_t& signals,
                   kelto_live_result* failure) {
  const double start = MonotonicSeconds();
  for (size_t i = 0; i < writes.size(); ++i) {
    const Write& write = writes[i];
    if (arguments.speed > 0) {
      const double due = start + static_cast<double>(write.offset_ns) * 1e-9 / arguments.speed;
      if (!SleepUntil(due, signals)) return PassEnd::kStopped;
    } else if (i % kWritesBetweenSignalChecks == 0 && StopPending(signals)) {
      return PassEnd::kStopped;
    }
    const kelto_live_result result = WriteValue(table, targets[write.target], write.row);
    if (result == KELTO_LIVE_NO_TABLE) {
      *failure = result;
      return PassEnd::kFailed;
    }
  }
  return PassEnd::kDone;
}

}  // namespace

ExitStatus RunReplay(const ReplayArguments& arguments, LiveTable& table) {
  const sigset_t signals = BlockEndingSignals();
  std::vector<RecordedSeries> recording;
  try {
    recording = ReadRecording(arguments.path);
  } catch (const RecordingFailure& failure) {
    const int error = failure.error_number();
    return ReportError(kSystemError, "cannot read the recording '%s': %s%s%s",
                       EscapeText(arguments.path).c_str(), failure.what(), error != 0 ? ": " : "",
                       error != 0 ? std::strerror(error) : "");
  }
  const std::vector<Target> targets = Targets(recording, arguments.patterns, table.Handle());
  if (targets.empty()) {
    return ReportError(kUnknownVariable, "no recorded variable to replay into the live table");
  }
  const std::vector<Write> writes = Timeline(targets, arguments);
  do {
    if (StopPending(signals)) return kOk;
    kelto_live_result failure = KELTO_LIVE_OK;
    switch (ReplayOnce(writes, targets, arguments, table.Handle(), signals, &failure)) {
      case PassEnd::kStopped: return kOk;
      case PassEnd::kFailed: return ReportLiveFailure(failure, "replaying");
      case PassEnd::kDone: break;
    }
  } while (arguments.loop && !writes.empty());
  return kOk;
}

}  // namespace keltoctl
