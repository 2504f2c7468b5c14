#include "table.h"

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <unordered_set>

#include "errors.h"
#include "program_hold.h"
#include "values.h"
#include "waiter.h"

namespace py = pybind11;

namespace kelto::python {
namespace {

// A blocking call lets go of the GIL for at most this long, so that Ctrl-C
// and a close() from another thread are seen promptly.
constexpr int64_t kSliceMs = 100;
// How often reads and writes make sure that a program still holds the table.
constexpr int64_t kCheckEveryMs = 250;
// How long a call waits for an attach that another process holds up (at
// the gate) before it raises NoLiveTable, so that the quarter of a second
// holds even then; the attempt goes on, and the next call looks at it.
constexpr int64_t kGatePatienceMs = 100;
// How long kelto.attach() gives such an attempt at least.
constexpr int64_t kAttachPatienceMs = 250;

int64_t MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

std::unordered_set<Table*>& AllTables() {
  static auto* tables = new std::unordered_set<Table*>();  // never destroyed: used at exit
  return *tables;
}

std::string SegmentText(const std::optional<std::string>& segment) {
  if (segment) return *segment;
  const char* name = std::getenv("KELTO_SEGMENT");
  return name != nullptr && *name != '\0' ? name : "keltovariables";
}

}  // namespace

ValueKind KindOfType(char type) {
  switch (type) {
    case 'B':
    case 'H':
    case 'O':
    case 'M':
    case 'W':
    case 'L': return ValueKind::kInteger;
    case 'D': return ValueKind::kDouble;
    case '$': return ValueKind::kText;
    default: return ValueKind::kNone;
  }
}

int64_t TimeoutMs(const py::object& seconds) {
  if (seconds.is_none()) return -1;
  // As time.sleep takes it: anything else is a TypeError, not a failed cast.
  const double value = PyFloat_AsDouble(seconds.ptr());
  if (value == -1.0 && PyErr_Occurred() != nullptr) throw py::error_already_set();
  if (std::isnan(value)) Raise(PyExc_ValueError, "a timeout must be a number of seconds, not NaN");
  if (value < 0) Raise(PyExc_ValueError, "a timeout cannot be negative");
  const double ms = std::ceil(value * 1000.0);
  return ms > 9.0e15 ? -1 : static_cast<int64_t>(ms);
}

std::unique_ptr<Table> Table::Attach(const std::optional<std::string>& segment,
                                     int64_t timeout_ms) {
  if (segment && segment->find('\0') != std::string::npos) {
    Raise(PyExc_ValueError, "a segment name cannot contain NUL");
  }
  const auto start = std::chrono::steady_clock::now();
  auto made = std::make_shared<kelto_live*>(nullptr);
  const std::shared_ptr<BoundedCall> call = BoundedCall::Start(
      [made, segment] {
        return kelto_live_attach(segment ? segment->c_str() : nullptr, made.get());
      },
      [made] { kelto_live_detach(*made); });
  if (!call->WaitFor(timeout_ms < 0 ? -1 : std::max(timeout_ms, kAttachPatienceMs))) {
    call->Abandon();
    Raise(NoLiveTableError(), "no live table '" + SegmentText(segment) +
                                  "': another process holds its lock file (a program stopped "
                                  "inside its Open or Close?)");
  }
  const kelto_live_result result = call->result();
  kelto_live* handle = *made;
  const std::string name = handle ? kelto_live_segment_name(handle) : SegmentText(segment);
  std::unique_ptr<Table> table;
  if (handle != nullptr) table.reset(new Table(handle, name));
  if (result == KELTO_LIVE_OK) return table;
  if (result == KELTO_LIVE_NO_TABLE && timeout_ms != 0) {
    table->attached_ = false;
    const int64_t left = timeout_ms < 0 ? -1 : std::max<int64_t>(timeout_ms - MsSince(start), 0);
    if (table->AwaitLive(left)) return table;
  }
  switch (result) {
    case KELTO_LIVE_NO_TABLE: Raise(NoLiveTableError(), "no live table '" + name + "'");
    case KELTO_LIVE_INVALID_ARGUMENT:
      Raise(PyExc_ValueError, "'" + name + "' cannot be a segment name");
    default: RaiseResult(result, name, name, {});
  }
}

Table::Table(kelto_live* handle, std::string segment)
    : handle_(handle), segment_(std::move(segment)) {
  AllTables().insert(this);
}

Table::~Table() {
  try {
    Close();
  } catch (...) {
    // Closing never fails in a way a destructor could report.
  }
  AllTables().erase(this);
}

void Table::RaiseClosed() const {
  Raise(PyExc_ValueError, forked_away_
                              ? "this Table belongs to the parent process: attach anew in the child"
                              : "the table is closed");
}

void Table::Use() {
  if (!Ready() && !CheckLive()) Raise(NoLiveTableError(), "no live table '" + segment_ + "'");
}

bool Table::TryReattach(int64_t patience_ms) {
  // An attempt that an earlier call left, and that ended without a table,
  // may have ended before a program brought one up: one more of our own.
  for (int attempts = 0; attempts < 2 && !attached_; ++attempts) {
    bool started_here = false;
    if (!reattach_) {
      if (calls_in_flight_ > 0) return false;  // reattaching must run alone
      kelto_live* handle = handle_;
      reattach_ = BoundedCall::Start([handle] { return kelto_live_reattach(handle, 0); },
                                     [handle] { kelto_live_detach(handle); });
      started_here = true;
    }
    // Another thread may look at the same attempt meanwhile, or close.
    const std::shared_ptr<BoundedCall> call = reattach_;
    if (!call->WaitFor(patience_ms)) return false;
    if (closed_) RaiseClosed();
    if (reattach_ == call) {
      reattach_.reset();
      if (call->result() == KELTO_LIVE_OK) {
        attached_ = true;
        ++generation_;
        kinds_.clear();
      }
    }
    if (started_here) break;
  }
  return attached_;
}

// In slices, so that Ctrl-C is seen; each attempt that ends without a
// table is followed by a pause, as libkelto_live's own reattach does.
bool Table::AwaitLive(int64_t timeout_ms) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const int64_t left = timeout_ms < 0 ? kSliceMs : timeout_ms - MsSince(start);
    if (TryReattach(std::clamp<int64_t>(left, 0, kSliceMs))) return true;
    if (timeout_ms >= 0 && MsSince(start) >= timeout_ms) return false;
    if (!reattach_) {
      py::gil_scoped_release unlocked;
      std::this_thread::sleep_for(
          std::chrono::milliseconds(std::clamp<int64_t>(left, 0, kSliceMs)));
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

bool Table::CheckLive() {
  if (closed_) RaiseClosed();
  next_check_ms_ = CoarseNowMs() + kCheckEveryMs;
  if (attached_) {
    kelto_live_result result;
    {
      CallInFlight in_flight(*this);
      py::gil_scoped_release unlocked;
      result = kelto_live_check(handle_);  // may wait for a wait's slice to end
    }
    if (closed_) RaiseClosed();
    if (result != KELTO_LIVE_OK) attached_ = false;
  }
  if (!attached_) TryReattach(kGatePatienceMs);
  return attached_;
}

void Table::Fail(kelto_live_result result, uint32_t ident, py::handle key) {
  if (result == KELTO_LIVE_NO_TABLE) attached_ = false;
  std::string what;
  if (key && PyUnicode_Check(key.ptr())) {
    what = py::str(key).cast<std::string>();
  } else if (result != KELTO_LIVE_NO_TABLE) {
    kelto_live_info info{};
    what = kelto_live_info_of(handle_, ident, &info) == KELTO_LIVE_OK
               ? std::string(info.name)
               : "ident " + std::to_string(ident);
  }
  RaiseResult(result, segment_, what, key);
}

uint32_t Table::Find(py::handle name) {
  if (!Ready()) Use();
  if (!PyUnicode_Check(name.ptr())) RaiseKeyError(name);
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.ptr(), &length);
  py::object encoded;
  if (text == nullptr) {  // lone surrogates: the undecodable bytes of a name
    PyErr_Clear();
    encoded = py::reinterpret_steal<py::object>(
        PyUnicode_AsEncodedString(name.ptr(), "utf-8", "surrogateescape"));
    if (!encoded) RaiseKeyError(name);
    text = PyBytes_AS_STRING(encoded.ptr());
    length = PyBytes_GET_SIZE(encoded.ptr());
  }
  if (std::strlen(text) != static_cast<size_t>(length)) RaiseKeyError(name);
  uint32_t ident = 0;
  const kelto_live_result result = kelto_live_find(handle_, text, &ident);
  if (result != KELTO_LIVE_OK) Fail(result, 0, name);
  return ident;
}

bool Table::Contains(py::handle name) {
  try {
    Find(name);
    return true;
  } catch (py::error_already_set& error) {
    if (error.matches(PyExc_KeyError)) return false;
    throw;
  }
}

kelto_live_info Table::Info(uint32_t ident) {
  kelto_live_info info{};
  const kelto_live_result result = kelto_live_info_of(handle_, ident, &info);
  if (result != KELTO_LIVE_OK) Fail(result, ident, {});
  return info;
}

py::str Table::NameOf(uint32_t ident) {
  const kelto_live_info info = Info(ident);
  return DecodeText(info.name, std::strlen(info.name));
}

ValueKind Table::Kind(uint32_t ident, bool refresh) {
  if (ident < kinds_.size() && kinds_[ident] != ValueKind::kUnknown && !refresh) {
    return kinds_[ident];
  }
  const kelto_live_info info = Info(ident);
  if (ident >= kinds_.size()) kinds_.resize(std::max<size_t>(ident + 1, Count()));
  kinds_[ident] = info.size > 0 ? KindOfType(info.type) : ValueKind::kNone;
  return kinds_[ident];
}

std::vector<uint32_t> Table::KeyIdents() {
  Use();
  std::vector<uint32_t> idents;
  const uint32_t count = Count();
  idents.reserve(count);
  for (uint32_t ident = 0; ident < count; ++ident) {
    kelto_live_info info{};
    kelto_live_result result = kelto_live_info_of(handle_, ident, &info);
    if (result == KELTO_LIVE_UNKNOWN_VARIABLE) break;  // the table shrank meanwhile
    if (result != KELTO_LIVE_OK) Fail(result, ident, {});
    if (info.name[0] == '\0') continue;
    uint32_t found = 0;
    result = kelto_live_find(handle_, info.name, &found);
    if (result == KELTO_LIVE_OK && found == ident) idents.push_back(ident);
  }
  return idents;
}

py::object Table::Get(uint32_t ident, py::handle key) {
  for (const bool refresh : {false, true}) {
    const ValueKind kind = Kind(ident, refresh);
    if (kind == ValueKind::kNone) Fail(KELTO_LIVE_WRONG_TYPE, ident, key);
    PyObject* value = nullptr;
    const kelto_live_result result = ReadAs(handle_, ident, kind, &value);
    if (result == KELTO_LIVE_OK) {
      if (value == nullptr) throw py::error_already_set();
      return py::reinterpret_steal<py::object>(value);
    }
    if (result != KELTO_LIVE_WRONG_TYPE) Fail(result, ident, key);
  }
  Fail(KELTO_LIVE_WRONG_TYPE, ident, key);
}

void Table::Set(uint32_t ident, py::handle value, py::handle key) {
  for (const bool refresh : {false, true}) {
    const ValueKind kind = Kind(ident, refresh);
    const kelto_live_result result = WriteAs(*this, ident, kind, value, key);
    if (result == KELTO_LIVE_OK) return;
    if (result != KELTO_LIVE_WRONG_TYPE || kind == ValueKind::kNone) Fail(result, ident, key);
  }
  Fail(KELTO_LIVE_WRONG_TYPE, ident, key);
}

py::object Table::ValueOrNone(uint32_t ident, py::handle key) {
  return Kind(ident) == ValueKind::kNone ? py::none() : Get(ident, key);
}

py::object Table::GetOr(py::handle name, py::handle fallback) {
  uint32_t ident = 0;
  try {
    ident = Find(name);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_KeyError)) throw;
    return py::reinterpret_borrow<py::object>(fallback);
  }
  return ValueOrNone(ident, name);
}

py::dict Table::Snapshot() {
  py::dict values;
  for (const uint32_t ident : KeyIdents()) values[NameOf(ident)] = ValueOrNone(ident);
  return values;
}

Waiter& Table::ThreadWaiter() {
  if (closed_) RaiseClosed();
  if (!thread_waiters_) thread_waiters_ = py::module_::import("threading").attr("local")();
  py::object waiter = py::getattr(thread_waiters_, "waiter", py::none());
  if (waiter.is_none()) {
    waiter = py::cast(std::make_unique<Waiter>(*this, py::none()));
    thread_waiters_.attr("waiter") = waiter;
  }
  return waiter.cast<Waiter&>();  // the thread's local keeps it
}

void Table::Close() {
  if (closed_) return;
  closed_ = true;
  // Waits in other threads see `closed_` within a slice and leave.
  while (calls_in_flight_ > 0) {
    py::gil_scoped_release unlocked;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (reattach_) {
    // An attempt held up at the gate lets go of the handle when it ends.
    reattach_->Abandon();
    reattach_.reset();
  } else {
    kelto_live_detach(handle_);
  }
  handle_ = nullptr;
  attached_ = false;
  // The waiters stay until the Table goes: a waiting thread may still be
  // on its way out of one.
  if (program_) {
    program_ = false;
    ReleaseProgramHold();
  }
}

void Table::ForgetAfterFork() {
  // Another thread of the parent may have been inside the library at the
  // fork, so the child never calls it with this handle: it stays mapped in
  // the child, unused, until the child ends or execs.
  handle_ = nullptr;
  closed_ = true;
  forked_away_ = true;
  attached_ = false;
  program_ = false;
  calls_in_flight_ = 0;
  reattach_.reset();  // its thread is the parent's
}

void ForgetTablesAfterFork() {
  for (Table* table : AllTables()) table->ForgetAfterFork();
  ForgetProgramHoldsAfterFork();
}

py::dict LibraryCostNs(Table& table, const py::str& name, int calls) {
  const uint32_t ident = table.Find(name);
  using Clock = std::chrono::steady_clock;
  const auto per_call = [calls](Clock::time_point start) {
    return static_cast<double>((Clock::now() - start).count()) / calls;
  };
  int64_t value = 0;
  auto start = Clock::now();
  for (int i = 0; i < calls; ++i) kelto_live_get_int(table.handle(), ident, &value);
  const double read = per_call(start);
  start = Clock::now();
  for (int i = 0; i < calls; ++i) kelto_live_set_int(table.handle(), ident, i & 0xff);
  const double write = per_call(start);
  py::dict costs;
  costs["read"] = read;
  costs["write"] = write;
  return costs;
}

}  // namespace kelto::python
