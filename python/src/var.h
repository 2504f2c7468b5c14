// One variable, found once by name and then used by ident: the fast path
// for loops. It follows the table to the next one by name after a program
// brings a new table up.
#ifndef KELTO_PYTHON_VAR_H_
#define KELTO_PYTHON_VAR_H_

#include <pybind11/pybind11.h>

#include <cstdint>

#include "table.h"
#include "values.h"

namespace kelto::python {

class Var {
 public:
  Var(Table& table, pybind11::object owner, pybind11::str name);

  uint32_t ident();
  const pybind11::str& name() const { return name_; }
  char type();
  int32_t size();

  pybind11::object Get() {
    if (generation_ == table_.generation() && table_.Ready()) {
      PyObject* value = nullptr;
      if (ReadAs(table_.handle(), ident_, kind_, &value) == KELTO_LIVE_OK && value != nullptr) {
        return pybind11::reinterpret_steal<pybind11::object>(value);
      }
    }
    return GetSlowly();
  }
  void Set(pybind11::handle value) {
    if (generation_ == table_.generation() && table_.Ready() && SetDirectly(value.ptr())) return;
    SetSlowly(value);
  }

 private:
  void Refresh();
  pybind11::object GetSlowly();
  void SetSlowly(pybind11::handle value);
  // An int into an integer type, a float into D; false for anything else,
  // and for a value refused or a failure, which the slow path reports.
  bool SetDirectly(PyObject* value) {
    if (kind_ == ValueKind::kInteger && PyLong_CheckExact(value)) {
      int overflow = 0;
      const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
      return overflow == 0 && kelto_live_set_int(table_.handle(), ident_, number) == KELTO_LIVE_OK;
    }
    if (kind_ == ValueKind::kDouble && PyFloat_CheckExact(value)) {
      return kelto_live_set_double(table_.handle(), ident_, PyFloat_AS_DOUBLE(value)) ==
             KELTO_LIVE_OK;
    }
    return false;
  }

  Table& table_;
  pybind11::object owner_;  // keeps the table's object alive
  pybind11::str name_;
  uint32_t ident_ = 0;
  uint64_t generation_ = 0;
  ValueKind kind_ = ValueKind::kUnknown;
};

}  // namespace kelto::python

#endif  // KELTO_PYTHON_VAR_H_
