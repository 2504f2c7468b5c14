#include "waiter.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "errors.h"

namespace py = pybind11;

namespace kelto::python {
namespace {

constexpr int64_t kSliceMs = 100;  // see table.cc
constexpr uint32_t kChangedCapacity = 4096;

// Clears a flag on every way out of a wait.
class BusyFlag {
 public:
  explicit BusyFlag(bool& flag) : flag_(flag) {
    if (flag_) Raise(PyExc_RuntimeError, "this waiter is already waiting in another thread");
    flag_ = true;
  }
  ~BusyFlag() { flag_ = false; }
  BusyFlag(const BusyFlag&) = delete;
  BusyFlag& operator=(const BusyFlag&) = delete;

 private:
  bool& flag_;
};

}  // namespace

// The position starts now, when a table is held; else at the first wait.
Waiter::Waiter(Table& table, py::object owner) : table_(table), owner_(std::move(owner)) {
  if (table_.attached()) Restart();
}

void Waiter::Restart() {
  generation_ = table_.generation();
  {
    // Up to a second while a stopped process holds the change log's lock.
    Table::CallInFlight in_flight(table_);
    py::gil_scoped_release unlocked;
    cursor_ = kelto_live_cursor(table_.handle());
  }
  const uint32_t count = table_.Count();
  seen_.assign(count, RawValue{});
  seen_valid_.assign(count, false);
  for (uint32_t ident = 0; ident < count; ++ident) Remember(ident);
}

void Waiter::Remember(uint32_t ident) {
  if (ident >= seen_.size()) {
    seen_.resize(ident + 1);
    seen_valid_.resize(ident + 1);
  }
  seen_valid_[ident] =
      kelto_live_read(table_.handle(), ident, seen_[ident].data()) == KELTO_LIVE_OK;
}

bool Waiter::ChangedSinceSeen(uint32_t ident) {
  const bool known = ident < seen_.size() && seen_valid_[ident];
  RawValue before{};
  if (known) before = seen_[ident];
  Remember(ident);
  return !known || !seen_valid_[ident] || before != seen_[ident];
}

std::vector<uint32_t> Waiter::Filter(const py::object& names) {
  std::vector<uint32_t> idents;
  if (names.is_none()) return idents;
  if (PyUnicode_Check(names.ptr())) {
    idents.push_back(table_.Find(names));
    return idents;
  }
  // Iterated, bytes would give numbers, which no name is.
  if (PyBytes_Check(names.ptr()) || PyByteArray_Check(names.ptr())) {
    Raise(PyExc_TypeError, std::string("names must be None, a str or an iterable of str, not ") +
                               Py_TYPE(names.ptr())->tp_name);
  }
  for (const py::handle name : names) idents.push_back(table_.Find(name));
  if (idents.empty()) Raise(PyExc_ValueError, "no names to wait for (None waits for all)");
  return idents;
}

py::dict Waiter::Report(const std::vector<uint32_t>& idents) {
  py::dict changes;
  for (const uint32_t ident : idents) {
    changes[table_.NameOf(ident)] = table_.ValueOrNone(ident);
  }
  return changes;
}

py::dict Waiter::Collect(const std::vector<uint32_t>& changed, bool resync,
                         const std::vector<uint32_t>& filter) {
  if (!resync) {
    for (const uint32_t ident : changed) Remember(ident);
    return Report(changed);
  }
  // Changes were missed: compare what the caller is interested in with what
  // it saw last.
  const std::vector<uint32_t> candidates = filter.empty() ? table_.KeyIdents() : filter;
  std::vector<uint32_t> differing;
  for (const uint32_t ident : candidates) {
    const bool reported = std::find(changed.begin(), changed.end(), ident) != changed.end();
    if (ChangedSinceSeen(ident) || reported) differing.push_back(ident);
  }
  return Report(differing);
}

py::dict Waiter::Wait(const py::object& names, const py::object& timeout) {
  BusyFlag busy(busy_);
  const int64_t timeout_ms = TimeoutMs(timeout);
  const auto start = std::chrono::steady_clock::now();
  const auto elapsed_ms = [start] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
  };
  table_.Use();
  if (generation_ != table_.generation()) Restart();
  const std::vector<uint32_t> filter = Filter(names);
  std::vector<uint32_t> changed(kChangedCapacity);
  // The timeout is a deadline for the whole call: a resync that turns out
  // to change nothing of interest does not start the wait over. One call
  // of the library may outlast it, by up to a second while a stopped
  // process holds the change log's lock.
  for (;;) {
    const int64_t slice =
        timeout_ms < 0 ? kSliceMs : std::clamp<int64_t>(timeout_ms - elapsed_ms(), 0, kSliceMs);
    uint32_t count = 0;
    int resync = 0;
    kelto_live_result result;
    {
      Table::CallInFlight in_flight(table_);
      py::gil_scoped_release unlocked;
      result = kelto_live_wait(table_.handle(), &cursor_, filter.empty() ? nullptr : filter.data(),
                               static_cast<uint32_t>(filter.size()), static_cast<int32_t>(slice),
                               changed.data(), kChangedCapacity, &count, &resync);
    }
    if (table_.closed()) table_.Use();  // closed meanwhile by another thread: raises
    if (result == KELTO_LIVE_OK) {
      py::dict changes = Collect({changed.begin(), changed.begin() + count}, resync != 0, filter);
      if (changes.size() > 0) return changes;
    } else if (result != KELTO_LIVE_TIMEOUT) {
      table_.Fail(result, 0, {});
    }
    if (timeout_ms >= 0 && elapsed_ms() >= timeout_ms) return py::dict();
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

}  // namespace kelto::python
