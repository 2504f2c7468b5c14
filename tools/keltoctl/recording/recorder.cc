#include "keltoctl/recording/recorder.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "kelto.h"
#include "keltoctl/change_wait.h"
#include "keltoctl/value_format.h"

namespace keltoctl {
namespace {

// How long one wait lasts before the signals, the flush and the end of the
// duration are looked at again.
constexpr double kSliceSeconds = 0.1;

std::string HostName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::string Iso8601(int64_t time_ns) {
  const time_t seconds = static_cast<time_t>(time_ns / 1000000000);
  struct tm utc;
  gmtime_r(&seconds, &utc);
  char text[64];
  const size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + length, sizeof text - length, ".%06lldZ",
           static_cast<long long>(time_ns % 1000000000 / 1000));
  return text;
}

std::vector<uint32_t> SelectIdents(kelto_live* table, const char* pattern) {
  std::vector<uint32_t> idents(kelto_live_count(table));
  uint32_t count = 0;
  while (kelto_live_select(table, pattern, idents.data(), static_cast<uint32_t>(idents.size()),
                           &count) == KELTO_LIVE_TOO_SMALL) {
    idents.resize(count);
  }
  idents.resize(std::min<size_t>(count, idents.size()));
  return idents;
}

// Only the item that a look-up by its name finds: an earlier item of the same
// name cannot be told apart in the file.
bool FoundByName(kelto_live* table, const kelto_live_info& info) {
  uint32_t found = 0;
  return kelto_live_find(table, info.name, &found) == KELTO_LIVE_OK && found == info.ident;
}

void AppendNote(std::string* text, const std::string& note) {
  if (!text->empty()) *text += "; ";
  *text += note;
}

}  // namespace

int64_t WallClockNanoseconds() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

Recorder::Recorder(const RecordArguments& arguments, kelto_live* table)
    : arguments_(arguments), table_(table) {}

std::vector<uint32_t> Recorder::Matching() const {
  std::set<uint32_t> chosen;
  if (arguments_.patterns.empty()) {
    for (uint32_t ident : SelectIdents(table_, nullptr)) chosen.insert(ident);
  }
  for (const std::string& pattern : arguments_.patterns) {
    for (uint32_t ident : SelectIdents(table_, pattern.c_str())) chosen.insert(ident);
  }
  return {chosen.begin(), chosen.end()};
}

bool Recorder::Choose() {
  const std::vector<uint32_t> matching = Matching();
  for (uint32_t ident : matching) {
    kelto_live_info info;
    if (kelto_live_info_of(table_, ident, &info) != KELTO_LIVE_OK) continue;
    if (!FoundByName(table_, info)) continue;
    if (info.size == 0) {
      no_value_.push_back(info.name);
    } else {
      variables_.push_back({info.name, info.type, info.size, ident});
    }
  }
  return !matching.empty();
}

std::string Recorder::Map() {
  const uint32_t count = kelto_live_count(table_);
  variable_of_ident_.assign(count, -1);
  mapped_idents_.clear();
  changed_.assign(std::max<uint32_t>(count, 1), 0);
  mapped_count_ = count;
  std::string differences;
  std::set<std::string> recorded;
  for (size_t i = 0; i < variables_.size(); ++i) {
    const RecordedVariable& variable = variables_[i];
    recorded.insert(variable.name);
    uint32_t ident = 0;
    kelto_live_info info;
    if (kelto_live_find(table_, variable.name.c_str(), &ident) != KELTO_LIVE_OK ||
        kelto_live_info_of(table_, ident, &info) != KELTO_LIVE_OK) {
      AppendNote(&differences, EscapeText(variable.name) + " is gone");
    } else if (info.type != variable.type) {
      AppendNote(&differences, EscapeText(variable.name) + " has type " +
                                   EscapeText(std::string(1, info.type)) + ", not recorded");
    } else {
      variable_of_ident_[ident] = static_cast<int32_t>(i);
      mapped_idents_.push_back(ident);
    }
  }
  for (uint32_t ident : Matching()) {
    kelto_live_info info;
    if (kelto_live_info_of(table_, ident, &info) != KELTO_LIVE_OK || info.size == 0) continue;
    if (recorded.count(info.name) == 0 && FoundByName(table_, info)) {
      AppendNote(&differences, EscapeText(info.name) + " is new, not recorded");
    }
  }
  std::sort(mapped_idents_.begin(), mapped_idents_.end());
  return differences;
}

void Recorder::RecordOne(size_t variable, int64_t time) {
  char value[KELTO_LIVE_VALUE_SIZE];
  if (kelto_live_read(table_, variables_[variable].ident, value) != KELTO_LIVE_OK) return;
  file_->Append(variable, time, value);
}

void Recorder::RecordAll(int64_t time) {
  for (uint32_t ident : mapped_idents_) {
    RecordOne(static_cast<size_t>(variable_of_ident_[ident]), time);
  }
}

bool Recorder::Stopping() const {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigismember(&pending, signal) == 1) return true;
  }
  return deadline_ >= 0 && MonotonicSeconds() >= deadline_;
}

double Recorder::SliceUntilDue(double now) const {
  double slice = std::min(kSliceSeconds, next_flush_ - now);
  if (deadline_ >= 0) slice = std::min(slice, deadline_ - now);
  return std::max(slice, 0.0);
}

Recorder::Step Recorder::WaitForChanges(double seconds) {
  // Idents given to the wait only when some were left out: a wait for any
  // change is the cheapest.
  const bool every = mapped_idents_.size() == mapped_count_;
  uint32_t count = 0;
  int lost = 0;
  const kelto_live_result result =
      kelto_live_wait(table_, &cursor_, every ? nullptr : mapped_idents_.data(),
                      every ? 0 : static_cast<uint32_t>(mapped_idents_.size()),
                      static_cast<int32_t>(seconds * 1000), changed_.data(),
                      static_cast<uint32_t>(changed_.size()), &count, &lost);
  if (result == KELTO_LIVE_TIMEOUT) return Step::kGoOn;
  if (result == KELTO_LIVE_NO_TABLE) {
    attached_ = false;
    file_->AddEvent(WallClockNanoseconds(), "table gone", "");
    file_->Flush();
    return Step::kGoOn;
  }
  if (result != KELTO_LIVE_OK) return Step::kFailed;
  const int64_t time = WallClockNanoseconds();
  if (lost != 0) {
    file_->AddEvent(time, "resync", "changes may be missing before this: every value read again");
    RecordAll(time);
    return Step::kGoOn;
  }
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t ident = changed_[i];
    if (ident < variable_of_ident_.size() && variable_of_ident_[ident] >= 0) {
      RecordOne(static_cast<size_t>(variable_of_ident_[ident]), time);
    }
  }
  return Step::kGoOn;
}

Recorder::Step Recorder::WaitForTable(double seconds) {
  const kelto_live_result result =
      kelto_live_reattach(table_, static_cast<int32_t>(seconds * 1000));
  if (result == KELTO_LIVE_TIMEOUT) return Step::kGoOn;
  if (result != KELTO_LIVE_OK) return Step::kFailed;
  attached_ = true;
  cursor_ = kelto_live_cursor(table_);
  const int64_t time = WallClockNanoseconds();
  const std::string differences = Map();
  file_->AddEvent(time, "table back", "every value read again");
  if (!differences.empty()) file_->AddEvent(time, "definitions changed", differences);
  RecordAll(time);
  return Step::kGoOn;
}

ExitStatus Recorder::Record() {
  RecordingHeader header;
  header.segment = kelto_live_segment_name(table_);
  header.host = HostName();
  header.kelto_version = KELTO_VERSION;
  header.start_time = Iso8601(WallClockNanoseconds());
  header.no_value_variables = no_value_;
  file_ = std::make_unique<RecordingFile>(arguments_.path, arguments_.force, header, variables_);
  if (arguments_.duration_seconds >= 0) {
    deadline_ = MonotonicSeconds() + arguments_.duration_seconds;
  }
  // The cursor comes before the first reads, so a change made while they are
  // read is recorded again rather than missed.
  Map();
  cursor_ = kelto_live_cursor(table_);
  const int64_t start = WallClockNanoseconds();
  file_->AddEvent(start, "start", std::to_string(variables_.size()) + " variables");
  RecordAll(start);
  file_->Flush();
  next_flush_ = MonotonicSeconds() + arguments_.flush_seconds;
  while (!Stopping()) {
    file_->ThrowIfFailed();
    const double now = MonotonicSeconds();
    if (now >= next_flush_) {
      if (attached_ && kelto_live_count(table_) != mapped_count_) {
        file_->AddEvent(WallClockNanoseconds(), "definitions changed", Map());
      }
      file_->Flush();
      next_flush_ = now + arguments_.flush_seconds;
    }
    const double slice = SliceUntilDue(now);
    const Step step = attached_ ? WaitForChanges(slice) : WaitForTable(slice);
    if (step == Step::kFailed) {
      return ReportError(kSystemError, "cannot wait for changes of the live table");
    }
  }
  file_->AddEvent(WallClockNanoseconds(), "stop", "");
  file_->Close();
  return kOk;
}

}  // namespace keltoctl
