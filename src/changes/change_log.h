// The change log: a ring of "ident changed" marks in a shared-memory object
// beside the segment, so that an observer can sleep until a variable changes
// and learn which ones did, at a cost that grows with the number of changes
// rather than with the size of the table.
//
// Writers never wait for readers and readers never block writers: a writer
// takes a sequence number, stamps its entry and wakes sleepers only when one
// said it may sleep. A reader that falls more than a ring behind, or meets
// an entry whose writer died before stamping it, is told to re-read
// everything instead of being given a wrong list.
#ifndef KELTO_CHANGES_CHANGE_LOG_H_
#define KELTO_CHANGES_CHANGE_LOG_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kelto {

// Layout of the shared change log. All fields are accessed with __atomic
// builtins: every process that maps the object reads and writes them.
struct ChangeLogHeader {
  uint64_t magic;     // kChangeLogMagic
  uint32_t capacity;  // ring entries, a power of two
  uint32_t reserved;
  alignas(64) uint64_t head;       // next sequence number (fetch_add by writers)
  alignas(64) uint32_t wake_word;  // futex word, bumped when sleepers are woken
  uint32_t sleepers;               // nonzero while some waiter may sleep on wake_word
};
// Followed by `capacity` uint64_t entries:
// (uint64_t(uint32_t(seq + 1)) << 32) | ident. The high half tells a reader
// which sequence number the entry holds; 0 is an entry never written.

inline constexpr uint64_t kChangeLogMagic = 0x31676f6c676e6863;  // "chnglog1"
inline constexpr uint32_t kChangeLogCapacity = 1u << 16;

// Bytes of the object: header and ring, rounded up to a page.
size_t ChangeLogBytes();
// Writes the header of a fresh, zeroed object of ChangeLogBytes() bytes.
void InitChangeLog(void* mapped);
// True when `mapped` (of `length` bytes) holds a change log this code can
// use: magic, capacity and size are checked, so a foreign or damaged object
// is never read past its end.
bool IsChangeLog(const void* mapped, size_t length);

namespace change_log_internal {

// Where sequence number `seq` lives in the ring. Consecutive numbers go to
// different cache lines (eight entries share a line, and seq, seq + 1, ...
// seq + 7 are a line apart): writers in different processes that mark at
// the same moment then do not also fight over one line of the ring, on top
// of the head they must share. The mask is the constant, never the header's
// capacity: that lives in shared memory, where anyone with the object can
// write nonsense, and an index must stay inside the ring whatever it says.
inline constexpr uint32_t kEntriesPerLine = 64 / sizeof(uint64_t);
inline constexpr uint32_t kRingLines = kChangeLogCapacity / kEntriesPerLine;
static_assert(sizeof(ChangeLogHeader) % 64 == 0, "the ring starts on a cache line");
static_assert(kChangeLogCapacity % kEntriesPerLine == 0, "whole lines");
inline uint32_t SlotOf(uint64_t seq) {
  const auto low = static_cast<uint32_t>(seq);
  return (low % kEntriesPerLine) * kRingLines + (low / kEntriesPerLine) % kRingLines;
}
inline uint64_t* EntriesOf(void* change_log) {
  return reinterpret_cast<uint64_t*>(static_cast<char*>(change_log) + sizeof(ChangeLogHeader));
}
inline uint64_t EntryFor(uint64_t seq, uint32_t ident) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(seq + 1)) << 32) | ident;
}
// Out of line: only a mark that finds a sleeper pays for it.
void WakeSleepers(ChangeLogHeader* header);

}  // namespace change_log_internal

// Called after every value store, by the core's one write path and by the
// live API's. Null-safe: a table without a change log marks nothing.
// Inline: it is part of every write, and its common case is one locked add,
// one store and one load.
inline void MarkChange(void* change_log, uint32_t ident) {
  using namespace change_log_internal;
  if (change_log == nullptr) return;
  auto* header = static_cast<ChangeLogHeader*>(change_log);
  const uint64_t seq = __atomic_fetch_add(&header->head, 1, __ATOMIC_SEQ_CST);
  __atomic_store_n(&EntriesOf(change_log)[SlotOf(seq)], EntryFor(seq, ident), __ATOMIC_RELEASE);
  // Sequentially consistent with the waiter's "sleepers = 1, then look at
  // head": either it sees our entry, or we see its flag and wake it.
  if (__atomic_load_n(&header->sleepers, __ATOMIC_SEQ_CST) != 0) WakeSleepers(header);
}

// The position after the last change so far: a new waiter starts here and
// sees only later changes. 0 for a null log.
uint64_t CurrentChangeCursor(const void* change_log);

enum class WaitOutcome { kChanged, kTimedOut };

// Waits until a change newer than *cursor exists (one whose ident passes
// `filter`, when it is given), or `timeout_ms` passes (0: only look). A
// caller that must notice other events loops over short waits.
//
// kChanged: `idents` holds the changed idents (each once, in order of first
// change) and *cursor has moved past them. `resync` is true when changes
// may have been lost (the caller fell more than a ring behind, or a writer
// was killed between reserving and stamping its entry): the caller re-reads
// everything it cares about; `idents` may then be incomplete or empty.
// kTimedOut: nothing for the caller; *cursor may still have moved past
// changes that the filter refused.
WaitOutcome WaitForChanges(void* change_log, uint64_t* cursor, int timeout_ms,
                           const std::function<bool(uint32_t)>& filter,
                           std::vector<uint32_t>* idents, bool* resync);

}  // namespace kelto

#endif  // KELTO_CHANGES_CHANGE_LOG_H_
