// keltoctl's view of the live segment. It attaches as an observer, through
// the library's own lock protocol, and only to a segment that some program
// holds: it creates no file, and it never keeps a table alive; the last
// program's Close removes the table even while the tool looks at it.
#ifndef KELTOCTL_LIVE_TABLE_H_
#define KELTOCTL_LIVE_TABLE_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "keltoctl/exit_status.h"
#include "keltoctl/item_snapshot.h"
#include "table/unix/named_segment.h"
#include "table/var_item.h"

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

  // Items up to the last one that is not entirely zero. The segment may be
  // larger than any process's definitions need; its unused tail is all
  // zeros and is not shown, while a zero item between used ones is.
  uint32_t ItemCount() const { return item_count_; }

  kelto::VarItem& Item(uint32_t ident) { return *kelto::ItemAt(hold_.view, ident); }

  // The ident of the item named `name`, or -1. When two items share a name,
  // the later one wins, as with the library's lookup by name.
  int64_t FindByName(std::string_view name) const;

  ItemSnapshot Snapshot(uint32_t ident) const;

  // Snapshots of every shown item whose name matches the shell pattern, or
  // of every shown item when `pattern` is null.
  std::vector<ItemSnapshot> Select(const char* pattern) const;

 private:
  bool IsBlank(uint32_t ident) const;

  char segment_name_[256] = {};
  kelto::SegmentHold hold_;
  uint32_t item_count_ = 0;
};

}  // namespace keltoctl

#endif  // KELTOCTL_LIVE_TABLE_H_
