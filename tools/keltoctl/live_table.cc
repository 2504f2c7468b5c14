#include "keltoctl/live_table.h"

#include <cerrno>
#include <cstring>

#include "keltoctl/value_format.h"
#include "table/locations.h"

namespace keltoctl {

LiveTable::~LiveTable() { kelto_live_detach(handle_); }

ExitStatus LiveTable::Attach() {
  const kelto_live_result result = kelto_live_attach(nullptr, &handle_);
  // The name as the live API reads it; known here too when no handle came back.
  const kelto::Locations locations = kelto::CurrentLocations();
  const char* segment = locations.segment;
  if (result == KELTO_LIVE_NO_TABLE) {
    return ReportError(kNoLiveTable, "no live table: no process holds the segment '%s'",
                       EscapeText(segment).c_str());
  }
  if (result != KELTO_LIVE_OK) {
    const int error = errno;
    return ReportError(kSystemError, "cannot attach to the segment '%s': %s%s%s",
                       EscapeText(segment).c_str(), kelto_live_result_text(result),
                       error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
  }
  return kOk;
}

int64_t LiveTable::FindByName(std::string_view name) const {
  const std::string text(name);
  if (text.find('\0') != std::string::npos) return -1;
  uint32_t ident = 0;
  if (kelto_live_find(handle_, text.c_str(), &ident) != KELTO_LIVE_OK) return -1;
  return ident;
}

ItemSnapshot LiveTable::Snapshot(uint32_t ident) const {
  ItemSnapshot snapshot;
  snapshot.ident = ident;
  kelto_live_info info;
  if (kelto_live_info_of(handle_, ident, &info) == KELTO_LIVE_OK) {
    snapshot.name = info.name;
    snapshot.type = info.type;
    snapshot.size = info.size;
    kelto_live_read(handle_, ident, snapshot.value);
  }
  return snapshot;
}

std::vector<ItemSnapshot> LiveTable::Select(const char* pattern) const {
  std::vector<uint32_t> idents(ItemCount());
  uint32_t count = 0;
  while (kelto_live_select(handle_, pattern, idents.data(), static_cast<uint32_t>(idents.size()),
                           &count) == KELTO_LIVE_TOO_SMALL) {
    idents.resize(count);
  }
  std::vector<ItemSnapshot> items;
  items.reserve(count);
  for (uint32_t i = 0; i < count && i < idents.size(); ++i) items.push_back(Snapshot(idents[i]));
  return items;
}

ExitStatus ReportLiveFailure(kelto_live_result result, const char* doing) {
  if (result == KELTO_LIVE_NO_TABLE) {
    return ReportError(kNoLiveTable, "no live table: the table went away while %s", doing);
  }
  return ReportError(kSystemError, "%s: %s", doing, kelto_live_result_text(result));
}

}  // namespace keltoctl
