// keltoctl's view of the live table: a client of the live API
// (kelto_live.h), which attaches as an observer, without definition files
// and without touching the log.
#ifndef KELTOCTL_LIVE_TABLE_H_
#define KELTOCTL_LIVE_TABLE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kelto_live.h"
#include "keltoctl/exit_status.h"
#include "keltoctl/item_snapshot.h"

namespace keltoctl {

class LiveTable {
 public:
  LiveTable() = default;
  ~LiveTable();
  LiveTable(const LiveTable&) = delete;
  LiveTable& operator=(const LiveTable&) = delete;

  // Attaches to the segment named by KELTO_SEGMENT (or the default). kOk, or
  // kNoLiveTable / kSystemError after a one-line report on stderr.
  ExitStatus Attach();

  kelto_live* Handle() const { return handle_; }
  uint32_t ItemCount() const { return kelto_live_count(handle_); }

  // The ident of the item named `name`, or -1. When two items share a name,
  // the later one wins, as with the library's lookup by name.
  int64_t FindByName(std::string_view name) const;

  ItemSnapshot Snapshot(uint32_t ident) const;

  // Snapshots of every shown item whose name matches the shell pattern, or
  // of every shown item when `pattern` is null.
  std::vector<ItemSnapshot> Select(const char* pattern) const;

 private:
  kelto_live* handle_ = nullptr;
};

// The one-line report for a live-API result that ends a command:
// kNoLiveTable for a table that is gone, kSystemError otherwise.
ExitStatus ReportLiveFailure(kelto_live_result result, const char* doing);

}  // namespace keltoctl

#endif  // KELTOCTL_LIVE_TABLE_H_
