#include "keltoctl/serve/live_feed.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "keltoctl/serve/json_text.h"

namespace keltoctl::serve {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// At most ten updates a second per variable reach a page.
constexpr milliseconds kVariableInterval{100};
// Rounds of the waiter are at least this far apart, so that a table written
// very often costs a few dozen rounds a second, not one per write.
constexpr milliseconds kRoundGap{25};
// Waits are sliced so that stopping and the table's end are noticed.
constexpr int kWaitSliceMs = 250;
constexpr milliseconds kReattachPause{200};
// A table without a change feed is read whole this often instead.
constexpr milliseconds kNoFeedPause{500};
constexpr uint32_t kChangedCapacity = 1u << 16;

}  // namespace

LiveFeed::LiveFeed(kelto_live* handle, EventHub* hub)
    : handle_(handle), hub_(hub), pacer_(kVariableInterval) {}

LiveFeed::~LiveFeed() {
  Stop();
  kelto_live_detach(handle_);
}

void LiveFeed::Start() {
  thread_ = std::thread([this] { Run(); });
}

void LiveFeed::Stop() {
  {
    std::lock_guard lock(stop_mutex_);
    stopping_ = true;
  }
  stop_signal_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool LiveFeed::Pause(Clock::duration length) {
  std::unique_lock lock(stop_mutex_);
  return !stop_signal_.wait_for(lock, length, [this] { return stopping_.load(); });
}

void LiveFeed::Run() {
  bool attached =
      WithTable([](kelto_live* table) { return kelto_live_check(table); }) == KELTO_LIVE_OK;
  while (!stopping_) {
    if (!attached && !Reattach()) {
      hub_->PublishNoTable();
      Pause(kReattachPause);
      continue;
    }
    uint64_t cursor = 0;
    attached = PublishWholeTable(&cursor) && FollowChanges(cursor);
    if (!attached) hub_->PublishNoTable();
  }
}

bool LiveFeed::Reattach() {
  std::unique_lock lock(table_mutex_);
  return kelto_live_reattach(handle_, 0) == KELTO_LIVE_OK;
}

bool LiveFeed::PublishWholeTable(uint64_t* cursor) {
  std::vector<VariableEntry> variables;
  std::vector<std::string> values;
  {
    std::shared_lock lock(table_mutex_);
    // The cursor is taken first: a change while the values are read is
    // then reported again rather than lost.
    *cursor = kelto_live_cursor(handle_);
    const uint32_t count = kelto_live_count(handle_);
    variables.reserve(count);
    values.reserve(count);
    for (uint32_t ident = 0; ident < count; ++ident) {
      kelto_live_info info;
      if (kelto_live_info_of(handle_, ident, &info) != KELTO_LIVE_OK) return false;
      variables.push_back({ident, JsonEscape(info.name, std::strlen(info.name)),
                           JsonEscape(&info.type, 1), info.size});
      values.push_back(FormatJsonValue(handle_, ident));
    }
    if (kelto_live_check(handle_) != KELTO_LIVE_OK) return false;
    pacer_.Reset(count);
  }
  hub_->PublishTable(std::move(variables), std::move(values));
  return true;
}

int LiveFeed::WaitTimeoutMs(Clock::time_point now) const {
  const std::optional<Clock::time_point> due = pacer_.NextDue();
  if (!due) return kWaitSliceMs;
  const auto left = std::chrono::duration_cast<milliseconds>(*due - now).count() + 1;
  return static_cast<int>(std::clamp<long long>(left, 0, kWaitSliceMs));
}

bool LiveFeed::FollowChanges(uint64_t cursor) {
  std::vector<uint32_t> changed(kChangedCapacity);
  Clock::time_point last_round = Clock::now() - kRoundGap;
  while (!stopping_) {
    if (!Pause(last_round + kRoundGap - Clock::now())) return true;
    last_round = Clock::now();
    uint32_t count = 0;
    int resync = 0;
    const kelto_live_result result = WithTable([&](kelto_live* table) {
      return kelto_live_wait(table, &cursor, nullptr, 0, WaitTimeoutMs(last_round), changed.data(),
                             kChangedCapacity, &count, &resync);
    });
    switch (result) {
      case KELTO_LIVE_OK:
        for (uint32_t i = 0; i < count; ++i) pacer_.MarkChanged(changed[i]);
        if (resync != 0) pacer_.MarkAllChanged();
        break;
      case KELTO_LIVE_TIMEOUT: break;
      case KELTO_LIVE_NO_TABLE: return false;
      case KELTO_LIVE_NO_FEED:
        pacer_.MarkAllChanged();
        if (!Pause(kNoFeedPause)) return true;
        break;
      default:
        // Something the system refused: try again shortly, unless the
        // table is gone meanwhile.
        if (!Pause(milliseconds(kWaitSliceMs))) return true;
        if (WithTable([](kelto_live* table) { return kelto_live_check(table); }) != KELTO_LIVE_OK) {
          return false;
        }
        break;
    }
    if (!PublishDue(Clock::now())) return false;
  }
  return true;
}

bool LiveFeed::PublishDue(Clock::time_point now) {
  const std::vector<uint32_t> due = pacer_.TakeDue(now);
  if (due.empty()) return true;
  std::vector<std::pair<uint32_t, std::string>> values;
  values.reserve(due.size());
  {
    std::shared_lock lock(table_mutex_);
    if (kelto_live_check(handle_) != KELTO_LIVE_OK) return false;
    for (const uint32_t ident : due) values.emplace_back(ident, FormatJsonValue(handle_, ident));
  }
  hub_->PublishValues(values);
  return true;
}

}  // namespace keltoctl::serve
