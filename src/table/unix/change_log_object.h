// The change log object NAME.changes beside the segment: made, opened and
// mapped under the segment's gate, with the same lifetime as the segment.
// The ring itself (src/changes/) knows nothing of files; this is where the
// object meets the file system.
#ifndef KELTO_TABLE_UNIX_CHANGE_LOG_OBJECT_H_
#define KELTO_TABLE_UNIX_CHANGE_LOG_OBJECT_H_

#include <cstddef>

namespace kelto {

struct ChangeLogMapping {
  char* log = nullptr;  // null: no change log, marks go nowhere
  size_t length = 0;
  int fd = -1;
};

// Unusable is a log that is not ours by size, owner or mode: one of ours
// whose header was overwritten is mended in place (see MendChangeLog), since
// programs may still be marking in it.
enum class ChangeLogUse {
  kCreateFresh,   // a program that made a fresh segment: replace any leftover
  kOpenOrCreate,  // a program joining a live segment: a missing or unusable one is replaced
  kOpenOnly,      // an observer: never creates, a missing one is no feed
};

// Under the gate. `object` is the shm name ("/NAME.changes"). On failure
// the mapping is empty: the table works without a feed. The mapping is kept
// out of forked children (MADV_DONTFORK); the descriptor is close-on-exec
// and the caller lists it with the hold's descriptors.
ChangeLogMapping MapChangeLog(const char* object, ChangeLogUse use);

// Unmaps it; the descriptor is the caller's to close (it is listed).
void UnmapChangeLog(const ChangeLogMapping& mapping);

}  // namespace kelto

#endif  // KELTO_TABLE_UNIX_CHANGE_LOG_OBJECT_H_
