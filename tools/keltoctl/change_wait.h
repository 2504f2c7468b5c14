// Waiting for the next change of the live table, for watch and wait, while
// staying responsive to the signals that end keltoctl and to a reader that
// went away.
#ifndef KELTOCTL_CHANGE_WAIT_H_
#define KELTOCTL_CHANGE_WAIT_H_

#include <signal.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "kelto_live.h"

namespace keltoctl {

// The signals that end a watch or wait (INT, TERM, HUP) and SIGWINCH. They
// are blocked and polled, so one that arrives while output is written is not
// lost and keltoctl always ends through its normal path, letting go of the
// table. SIGPIPE is blocked too: a closed output shows as an error instead.
sigset_t BlockEndingSignals();

enum class WaitEnd {
  kChanged,   // *changed holds the idents (or *resync is set)
  kTimedOut,  // the deadline passed
  kResize,    // SIGWINCH
  kStop,      // an ending signal, or the reader of the output went away
  kNoTable,   // the table went away
  kNoFeed,    // the table has no change feed
  kFailed,    // anything else the live API refused
};

struct ChangeWaiter {
  kelto_live* table;
  sigset_t signals;
  std::vector<uint32_t> idents;  // empty: any variable
  uint64_t cursor;
};

// Waits for a change after the waiter's cursor, until `seconds` have passed
// (negative: no limit).
WaitEnd WaitForChange(ChangeWaiter* waiter, double seconds, std::vector<uint32_t>* changed,
                      bool* resync);

// Sleeps `seconds`, ending early for a signal or a vanished reader: kTimedOut,
// kResize or kStop.
WaitEnd PauseFor(const sigset_t& signals, double seconds);

// PauseFor that also ends, with kNoTable, within a quarter of a second of
// the last program letting go of the waiter's table.
WaitEnd PauseWhileLive(const ChangeWaiter& waiter, double seconds);

// Writes `text` to standard output while staying responsive to the ending
// signals when the reader takes nothing (a stuck pager, a full pipe):
// kChanged once all is written, kStop for an ending signal or a vanished
// reader, kFailed when a write fails (errno tells why).
WaitEnd WriteResponsively(std::string_view text, const sigset_t& signals);

double MonotonicSeconds();

}  // namespace keltoctl

#endif  // KELTOCTL_CHANGE_WAIT_H_
