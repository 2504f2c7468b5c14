// One Table of the Python package: an observer handle of libkelto_live and
// what Python needs around it.
//
// Threads: the table's state is guarded by the GIL. Calls that may wait on
// another process (a wait, a cursor, a liveness check) let go of the GIL
// and are counted in flight; libkelto_live allows them beside any other
// call on a handle. Letting go of the handle (close) and picking up a new
// table (reattach) must run alone: a reattach starts only while nothing is
// in flight and runs in a thread of its own (see bounded_call.h), during
// which the table counts as not attached, so that no call uses the handle;
// close waits for both.
#ifndef KELTO_PYTHON_TABLE_H_
#define KELTO_PYTHON_TABLE_H_

#include <pybind11/pybind11.h>
#include <time.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bounded_call.h"
#include "kelto_live.h"

namespace kelto::python {

class Waiter;

// How a variable's value travels to and from Python, from its type letter.
enum class ValueKind : uint8_t { kUnknown, kInteger, kDouble, kText, kNone };
ValueKind KindOfType(char type);

class Table {
 public:
  // An observer of segment `segment` (none: KELTO_SEGMENT or the default).
  // Waits up to `timeout_ms` for a program to hold the table (0: look
  // once, negative: no limit); raises NoLiveTable when none does, also
  // when another process holds the segment's gate for longer than that (at
  // least a quarter of a second is given to it).
  static std::unique_ptr<Table> Attach(const std::optional<std::string>& segment,
                                       int64_t timeout_ms);
  ~Table();
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;

  const std::string& segment() const { return segment_; }
  bool closed() const { return closed_; }
  bool program() const { return program_; }
  // Holding a table, as last seen (no check).
  bool attached() const { return attached_ && !closed_; }
  void MarkProgram() { program_ = true; }
  kelto_live* handle() const { return handle_; }
  // Bumped whenever the handle picks up a new table: idents of an older
  // generation mean nothing.
  uint64_t generation() const { return generation_; }
  // Calls may go straight to the handle: open, holding a table, and the
  // table's liveness checked within the last quarter of a second (reads
  // and writes in libkelto_live do not check it themselves).
  bool Ready() const { return attached_ && !closed_ && CoarseNowMs() < next_check_ms_; }

  // Makes the table ready for a call: ValueError when closed; picks up a new
  // table when the last one went away; NoLiveTable while there is none.
  void Use();
  // Raises the exception for a failed call on `ident` (`key` as the user
  // gave it, if known), noting a lost table.
  [[noreturn]] void Fail(kelto_live_result result, uint32_t ident, pybind11::handle key);
  // Whether a program still holds the table (after picking up a new one).
  bool CheckLive();

  uint32_t Find(pybind11::handle name);  // KeyError for an unknown name
  bool Contains(pybind11::handle name);
  kelto_live_info Info(uint32_t ident);
  pybind11::str NameOf(uint32_t ident);
  uint32_t Count() const { return kelto_live_count(handle_); }
  ValueKind Kind(uint32_t ident, bool refresh = false);
  // The idents that names find, in ident order (no blank items, and of two
  // items with one name only the one the name finds).
  std::vector<uint32_t> KeyIdents();

  pybind11::object Get(uint32_t ident, pybind11::handle key = {});
  void Set(uint32_t ident, pybind11::handle value, pybind11::handle key = {});
  // None for a type that holds no value, as snapshot() and wait() give it.
  pybind11::object ValueOrNone(uint32_t ident, pybind11::handle key = {});
  // t.get(name, fallback): `fallback` for a name the table does not have.
  pybind11::object GetOr(pybind11::handle name, pybind11::handle fallback);
  pybind11::dict Snapshot();

  // The waiter of the calling thread, for Table.wait.
  Waiter& ThreadWaiter();

  // Lets go of the table (and the program's hold, for a program table).
  void Close();
  // In a forked child: the handle belongs to the parent; drop it untouched.
  void ForgetAfterFork();

  // Marks a call without the GIL in flight for its lifetime (GIL held at
  // both ends: declare it before the gil_scoped_release).
  class CallInFlight {
   public:
    explicit CallInFlight(Table& table) : table_(table) { ++table_.calls_in_flight_; }
    ~CallInFlight() { --table_.calls_in_flight_; }
    CallInFlight(const CallInFlight&) = delete;
    CallInFlight& operator=(const CallInFlight&) = delete;

   private:
    Table& table_;
  };

 private:
  Table(kelto_live* handle, std::string segment);
  static int64_t CoarseNowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);  // a few ns, through the vDSO
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  }
  // Picks up a new table, waiting for the attempt up to `patience_ms`; an
  // attempt that takes longer goes on, and a later call looks at it.
  bool TryReattach(int64_t patience_ms);
  bool AwaitLive(int64_t timeout_ms);
  [[noreturn]] void RaiseClosed() const;

  kelto_live* handle_;
  std::string segment_;
  bool program_ = false;
  bool closed_ = false;
  bool forked_away_ = false;
  bool attached_ = true;
  int64_t next_check_ms_ = 0;
  uint64_t generation_ = 1;
  int calls_in_flight_ = 0;
  std::shared_ptr<BoundedCall> reattach_;  // an attempt under way
  std::vector<ValueKind> kinds_;
  // A threading.local holding each thread's Waiter: it goes with its thread
  // (a new thread that gets an old one's id starts afresh). The waiters hold
  // no reference back to the table's object.
  pybind11::object thread_waiters_;
};

// Every Table of the process, so that a forked child can let go of them.
void ForgetTablesAfterFork();

// ns per call of kelto_live_get_int and kelto_live_set_int on `name`, for
// the benchmark: {"read": ..., "write": ...}.
pybind11::dict LibraryCostNs(Table& table, const pybind11::str& name, int calls);

// Seconds as given by Python (None: no limit) to milliseconds (-1: no limit).
int64_t TimeoutMs(const pybind11::object& seconds);

}  // namespace kelto::python

#endif  // KELTO_PYTHON_TABLE_H_
