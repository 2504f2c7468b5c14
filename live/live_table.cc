#include "live/live_table.h"

#include <fnmatch.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "changes/change_log.h"
#include "live/name_lookup.h"
#include "table/locations.h"
#include "table/store_value.h"
#include "table/value_copy.h"

namespace kelto::live {
namespace {

// How often a waiting observer makes sure that some program still holds the
// table: it must let go of a dead one within a second.
constexpr int kLivenessSliceMs = 250;
// How often Reattach looks for a new table.
constexpr int kReattachPollMs = 100;

int64_t MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

kelto_live_result ResultOfFailure(SegmentFailure failure) {
  switch (failure) {
    case SegmentFailure::kNone: return KELTO_LIVE_OK;
    case SegmentFailure::kNotHeld: return KELTO_LIVE_NO_TABLE;
    case SegmentFailure::kInvalidName: return KELTO_LIVE_INVALID_ARGUMENT;
    default: return KELTO_LIVE_SYSTEM_ERROR;
  }
}

}  // namespace

LiveTable::LiveTable(const char* segment_name)
    : segment_name_(segment_name != nullptr ? segment_name : CurrentLocations().segment) {}

LiveTable::~LiveTable() { LetGo(); }

kelto_live_result LiveTable::Attach() {
  LetGo();
  SegmentHold hold;
  const SegmentResult result =
      AttachSegment(segment_name_.c_str(), 0, SegmentAttachMode::kAttachOnly, &hold);
  attach_errno_ = result.error_number;
  if (result.failure != SegmentFailure::kNone) return ResultOfFailure(result.failure);
  std::unique_lock lock(view_mutex_);
  hold_ = hold;
  count_.store(CountShownItems(), std::memory_order_relaxed);
  gone_.store(false, std::memory_order_release);
  return KELTO_LIVE_OK;
}

kelto_live_result LiveTable::Reattach(int32_t timeout_ms) {
  const int64_t deadline = MonotonicMs() + (timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    const kelto_live_result result = Attach();
    if (result != KELTO_LIVE_NO_TABLE) return result;
    const int64_t remaining = deadline - MonotonicMs();
    if (timeout_ms != KELTO_LIVE_FOREVER && remaining <= 0) return KELTO_LIVE_TIMEOUT;
    const int64_t pause = timeout_ms == KELTO_LIVE_FOREVER
                              ? kReattachPollMs
                              : std::min<int64_t>(kReattachPollMs, remaining);
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  }
}

void LiveTable::LetGo() {
  gone_.store(true, std::memory_order_release);
  std::unique_lock lock(view_mutex_);
  if (hold_.view != nullptr) DetachSegment(segment_name_.c_str(), &hold_);
  hold_ = SegmentHold{};
  count_.store(0, std::memory_order_relaxed);
  std::lock_guard index_lock(index_mutex_);
  index_.reset();
}

// The object at the segment's path is still the one we hold and some
// program holds it: a program that ends last by Close or exit removes it,
// one killed leaves it unheld, and either is noticed at the next check.
bool LiveTable::StillLive() {
  std::shared_lock lock(view_mutex_);
  if (hold_.view == nullptr) return false;
  return SegmentStillLive(segment_name_.c_str(), hold_);
}

kelto_live_result LiveTable::Check() {
  if (gone_.load(std::memory_order_acquire)) return KELTO_LIVE_NO_TABLE;
  if (StillLive()) return KELTO_LIVE_OK;
  LetGo();
  return KELTO_LIVE_NO_TABLE;
}

// A look at the table's files costs two system calls, as much as the rest
// of a wait answered at once: a caller that waits again and again (a
// ping-pong) pays it once a slice, which keeps the promise to let go of a
// dead table within a second.
kelto_live_result LiveTable::CheckOncePerSlice() {
  const int64_t now = MonotonicMs();
  if (!gone_.load(std::memory_order_acquire) &&
      now - live_at_ms_.load(std::memory_order_relaxed) < kLivenessSliceMs) {
    return KELTO_LIVE_OK;
  }
  const kelto_live_result result = Check();
  if (result == KELTO_LIVE_OK) live_at_ms_.store(now, std::memory_order_relaxed);
  return result;
}

template <typename Use>
kelto_live_result LiveTable::WithView(Use use) {
  if (gone_.load(std::memory_order_acquire)) return KELTO_LIVE_NO_TABLE;
  std::shared_lock lock(view_mutex_);
  if (hold_.view == nullptr) return KELTO_LIVE_NO_TABLE;
  return use();
}

// Items up to the last one that is not entirely zero: a segment may be
// larger than the definitions need, and its unused tail is not shown.
uint32_t LiveTable::CountShownItems() const {
  const uint64_t items = hold_.mapped_length / kItemSize;
  auto count = static_cast<uint32_t>(std::min<uint64_t>(items, UINT32_MAX));
  while (count > 0 && IsBlank(count - 1)) --count;
  return count;
}

bool LiveTable::IsBlank(uint32_t ident) const {
  const char* bytes = hold_.view + static_cast<uint64_t>(ident) * kItemSize;
  for (uint32_t i = 0; i < kItemSize; ++i) {
    if (__atomic_load_n(bytes + i, __ATOMIC_RELAXED) != 0) return false;
  }
  return true;
}

std::string_view LiveTable::NameAt(uint32_t ident) const {
  const VarItem& item = *ItemAt(hold_.view, ident);
  return std::string_view(item.name, strnlen(item.name, kNameSize - 1));
}

std::shared_ptr<const NameLookup> LiveTable::CurrentIndex(bool rebuild) {
  std::lock_guard lock(index_mutex_);
  if (index_ == nullptr || rebuild) {
    // A program's Open may have filled items past the old end.
    if (rebuild) count_.store(CountShownItems(), std::memory_order_relaxed);
    index_ = IndexNames(hold_.view, Count());
  }
  return index_;
}

// A program opened the table again since it was indexed: it grew, or the
// names at a few sampled idents differ.
bool LiveTable::ChangedSinceIndexed(const NameLookup& lookup) const {
  return GrewPastCount() || NamesSignature(hold_.view, lookup.count) != lookup.signature;
}

kelto_live_result LiveTable::Info(uint32_t ident, kelto_live_info* info) {
  return WithView([&] {
    if (ident >= Count()) return KELTO_LIVE_UNKNOWN_VARIABLE;
    const VarItem& item = *ItemAt(hold_.view, ident);
    *info = kelto_live_info{};
    info->ident = ident;
    info->type = __atomic_load_n(&item.type, __ATOMIC_RELAXED);
    info->size = ValueSize(item);
    const std::string_view name = NameAt(ident);
    std::memcpy(info->name, name.data(), name.size());
    return KELTO_LIVE_OK;
  });
}

kelto_live_result LiveTable::Find(std::string_view name, uint32_t* ident) {
  return WithView([&] {
    // The index compares against a terminated name; the longest one an
    // item can hold is the longest that can match.
    char full_name[kNameSize];
    if (name.empty() || name.size() > VarDirectory::kLongestFullName ||
        name.find('\0') != std::string_view::npos) {
      return KELTO_LIVE_UNKNOWN_VARIABLE;
    }
    std::memcpy(full_name, name.data(), name.size());
    full_name[name.size()] = '\0';
    for (const bool rebuild : {false, true}) {
      const std::shared_ptr<const NameLookup> lookup = CurrentIndex(rebuild);
      // Every match is confirmed against the item's name as it is now.
      const uint32_t found = lookup->directory.Find(hold_.view, lookup->count, full_name);
      if (found != VarDirectory::kNotFound) {
        *ident = found;
        return KELTO_LIVE_OK;
      }
      // Not found in a table that looks as it did when indexed: unknown.
      // Otherwise a program opened it again since: index it again, once.
      if (!ChangedSinceIndexed(*lookup)) break;
    }
    return KELTO_LIVE_UNKNOWN_VARIABLE;
  });
}

bool LiveTable::GrewPastCount() const {
  const uint32_t count = Count();
  return count < hold_.mapped_length / kItemSize && !IsBlank(count);
}

kelto_live_result LiveTable::Select(const char* pattern, std::vector<uint32_t>* idents) {
  return WithView([&] {
    idents->clear();
    char name[kNameSize];
    for (uint32_t ident = 0; ident < Count(); ++ident) {
      const std::string_view view = NameAt(ident);
      std::memcpy(name, view.data(), view.size());
      name[view.size()] = '\0';
      if (pattern == nullptr || fnmatch(pattern, name, 0) == 0) idents->push_back(ident);
    }
    return KELTO_LIVE_OK;
  });
}

kelto_live_result LiveTable::Read(uint32_t ident, char* type, ValueField& value) {
  return WithView([&] {
    if (ident >= Count()) return KELTO_LIVE_UNKNOWN_VARIABLE;
    const VarItem& item = *ItemAt(hold_.view, ident);
    std::memset(value, 0, sizeof value);
    *type = __atomic_load_n(&item.type, __ATOMIC_RELAXED);
    ReadValue(item, value);
    return KELTO_LIVE_OK;
  });
}

kelto_live_result LiveTable::Write(uint32_t ident, char expected_type, const ValueField& value) {
  return WithView([&] {
    if (ident >= Count()) return KELTO_LIVE_UNKNOWN_VARIABLE;
    VarItem& item = *ItemAt(hold_.view, ident);
    if (__atomic_load_n(&item.type, __ATOMIC_RELAXED) != expected_type) {
      return KELTO_LIVE_WRONG_TYPE;
    }
    StoreValue(item, ShapeInSegment(item), StoreRule::kByName, value, hold_.changes, ident);
    return KELTO_LIVE_OK;
  });
}

kelto_live_result LiveTable::UpdateWith(uint32_t ident, Encoder encode, void* context) {
  return WithView([&] {
    if (ident >= Count()) return KELTO_LIVE_UNKNOWN_VARIABLE;
    VarItem& item = *ItemAt(hold_.view, ident);
    ValueField value = {};
    const kelto_live_result encoded =
        encode(context, __atomic_load_n(&item.type, __ATOMIC_RELAXED), value);
    if (encoded != KELTO_LIVE_OK) return encoded;
    StoreValue(item, ShapeInSegment(item), StoreRule::kByName, value, hold_.changes, ident);
    return KELTO_LIVE_OK;
  });
}

uint64_t LiveTable::Cursor() {
  uint64_t cursor = 0;
  WithView([&] {
    cursor = CurrentChangeCursor(hold_.changes);
    return KELTO_LIVE_OK;
  });
  return cursor;
}

namespace {

struct WaitFilter {
  const LiveTable* table;
  const std::vector<uint32_t>* wanted;  // sorted; empty: every ident
};

bool Wanted(const void* context, uint32_t ident) {
  const auto* filter = static_cast<const WaitFilter*>(context);
  // A mark for an ident past the shown items is nobody's variable.
  return ident < filter->table->Count() &&
         (filter->wanted->empty() ||
          std::binary_search(filter->wanted->begin(), filter->wanted->end(), ident));
}

}  // namespace

kelto_live_result LiveTable::Wait(uint64_t* cursor, std::vector<uint32_t> filter,
                                  int32_t timeout_ms, ChangeBatch* batch) {
  std::sort(filter.begin(), filter.end());
  const WaitFilter wait_filter{this, &filter};
  const ChangeFilter wanted{&Wanted, &wait_filter};
  const int64_t deadline = MonotonicMs() + (timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    if (CheckOncePerSlice() != KELTO_LIVE_OK) return KELTO_LIVE_NO_TABLE;
    const int64_t remaining = deadline - MonotonicMs();
    const int slice = timeout_ms == KELTO_LIVE_FOREVER
                          ? kLivenessSliceMs
                          : static_cast<int>(std::clamp<int64_t>(remaining, 0, kLivenessSliceMs));
    WaitOutcome outcome = WaitOutcome::kTimedOut;
    const kelto_live_result used = WithView([&] {
      if (hold_.changes == nullptr) return KELTO_LIVE_NO_FEED;
      outcome =
          WaitForChanges(hold_.changes, cursor, slice, wanted, &batch->idents, &batch->resync);
      return KELTO_LIVE_OK;
    });
    if (used != KELTO_LIVE_OK) return used;
    if (outcome == WaitOutcome::kChanged) return KELTO_LIVE_OK;
    if (timeout_ms != KELTO_LIVE_FOREVER && deadline - MonotonicMs() <= 0) {
      // The table may have died during the last slice: say so rather than
      // report a plain timeout.
      return Check() == KELTO_LIVE_OK ? KELTO_LIVE_TIMEOUT : KELTO_LIVE_NO_TABLE;
    }
  }
}

}  // namespace kelto::live
