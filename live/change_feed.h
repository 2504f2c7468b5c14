// The change log of a table, as an observer maps it: opened, never created.
#ifndef KELTO_LIVE_CHANGE_FEED_H_
#define KELTO_LIVE_CHANGE_FEED_H_

#include <cstddef>

namespace kelto::live {

struct ChangeFeed {
  void* log = nullptr;  // null: the table has no (usable) change log
  size_t length = 0;
};

// Maps NAME.changes read-write without creating it; an empty feed when it
// is missing, too small or not a change log.
ChangeFeed OpenChangeFeed(const char* segment_name);
void CloseChangeFeed(ChangeFeed* feed);

}  // namespace kelto::live

#endif  // KELTO_LIVE_CHANGE_FEED_H_
