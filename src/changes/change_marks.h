// Where a write leaves its change mark. On Linux that is the change log
// beside the segment; the Windows build has no change log yet, so a write
// marks nothing there and the table works without one. A port of the change
// log to Windows replaces the header included below.
#ifndef KELTO_CHANGES_CHANGE_MARKS_H_
#define KELTO_CHANGES_CHANGE_MARKS_H_

#if defined(_WIN32)
#include "changes/windows/no_change_log.h"
#else
#include "changes/change_log.h"
#endif

#endif  // KELTO_CHANGES_CHANGE_MARKS_H_
