// A position in a table's stream of changes, and the values last seen
// through it, so that a resync (changes missed) can still say which
// variables changed.
#ifndef KELTO_PYTHON_WAITER_H_
#define KELTO_PYTHON_WAITER_H_

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <vector>

#include "kelto_live.h"
#include "table.h"

namespace kelto::python {

class Waiter {
 public:
  // `owner` keeps the table's Python object alive (None when the table owns
  // the waiter).
  Waiter(Table& table, pybind11::object owner);

  // Blocks, without the GIL, until one of `names` (None: any variable; a str:
  // that one) changes after the last report, or `timeout` seconds pass
  // (None: no limit). Returns {name: new value}; {} on timeout.
  pybind11::dict Wait(const pybind11::object& names, const pybind11::object& timeout);

 private:
  using RawValue = std::array<unsigned char, KELTO_LIVE_VALUE_SIZE>;

  void Restart();
  std::vector<uint32_t> Filter(const pybind11::object& names);
  void Remember(uint32_t ident);
  bool ChangedSinceSeen(uint32_t ident);
  pybind11::dict Report(const std::vector<uint32_t>& idents);
  pybind11::dict Collect(const std::vector<uint32_t>& changed, bool resync,
                         const std::vector<uint32_t>& filter);

  Table& table_;
  pybind11::object owner_;
  uint64_t generation_ = 0;
  uint64_t cursor_ = 0;
  bool busy_ = false;
  std::vector<RawValue> seen_;
  std::vector<bool> seen_valid_;
};

}  // namespace kelto::python

#endif  // KELTO_PYTHON_WAITER_H_
