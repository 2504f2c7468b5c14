#include "keltoctl/live_table.h"

#include <fnmatch.h>

#include <cstring>

#include "keltoctl/value_format.h"
#include "table/locations.h"
#include "table/value_copy.h"

namespace keltoctl {
namespace {

std::string_view NameOf(const kelto::VarItem& item) {
  return std::string_view(item.name, strnlen(item.name, sizeof item.name));
}

}  // namespace

LiveTable::~LiveTable() { kelto::DetachSegment(segment_name_, &hold_); }

ExitStatus LiveTable::Attach() {
  const kelto::Locations locations = kelto::CurrentLocations();
  std::memcpy(segment_name_, locations.segment, sizeof segment_name_);
  const kelto::SegmentResult result =
      kelto::AttachSegment(segment_name_, 0, kelto::SegmentAttachMode::kAttachOnly, &hold_);
  if (result.failure == kelto::SegmentFailure::kNotHeld) {
    return ReportError(kNoLiveTable, "no live table: no process holds the segment '%s'",
                       EscapeText(segment_name_).c_str());
  }
  if (result.failure != kelto::SegmentFailure::kNone) {
    char reason[512];
    kelto::DescribeSegmentFailure(result, 0, reason, sizeof reason);
    return ReportError(kSystemError, "cannot attach to the segment '%s': %s",
                       EscapeText(segment_name_).c_str(), reason);
  }
  uint32_t count = static_cast<uint32_t>(hold_.mapped_length / kelto::kItemSize);
  while (count > 0 && IsBlank(count - 1)) --count;
  item_count_ = count;
  return kOk;
}

bool LiveTable::IsBlank(uint32_t ident) const {
  const char* bytes = hold_.view + static_cast<uint64_t>(ident) * kelto::kItemSize;
  for (uint32_t i = 0; i < kelto::kItemSize; ++i) {
    if (__atomic_load_n(bytes + i, __ATOMIC_RELAXED) != 0) return false;
  }
  return true;
}

int64_t LiveTable::FindByName(std::string_view name) const {
  if (name.empty()) return -1;
  for (uint32_t ident = item_count_; ident-- > 0;) {
    if (NameOf(*kelto::ItemAt(hold_.view, ident)) == name) return ident;
  }
  return -1;
}

ItemSnapshot LiveTable::Snapshot(uint32_t ident) const {
  const kelto::VarItem& item = *kelto::ItemAt(hold_.view, ident);
  ItemSnapshot snapshot;
  snapshot.ident = ident;
  snapshot.name = std::string(NameOf(item));
  snapshot.type = item.type;
  snapshot.size = kelto::ValueSize(item);
  kelto::ReadValue(item, snapshot.value);
  return snapshot;
}

std::vector<ItemSnapshot> LiveTable::Select(const char* pattern) const {
  std::vector<ItemSnapshot> items;
  for (uint32_t ident = 0; ident < item_count_; ++ident) {
    const ItemSnapshot snapshot = Snapshot(ident);
    if (pattern == nullptr || fnmatch(pattern, snapshot.name.c_str(), 0) == 0) {
      items.push_back(snapshot);
    }
  }
  return items;
}

}  // namespace keltoctl
