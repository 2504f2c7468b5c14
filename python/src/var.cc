#include "var.h"

namespace py = pybind11;

namespace kelto::python {

Var::Var(Table& table, py::object owner, py::str name)
    : table_(table), owner_(std::move(owner)), name_(std::move(name)) {
  Refresh();
}

void Var::Refresh() {
  table_.Use();
  ident_ = table_.Find(name_);
  kind_ = table_.Kind(ident_, true);
  generation_ = table_.generation();
}

uint32_t Var::ident() {
  if (generation_ != table_.generation() || !table_.Ready()) Refresh();
  return ident_;
}

char Var::type() { return table_.Info(ident()).type; }

int32_t Var::size() { return table_.Info(ident()).size; }

py::object Var::GetSlowly() {
  if (generation_ != table_.generation() || !table_.Ready()) Refresh();
  py::object value = table_.Get(ident_, name_);
  kind_ = table_.Kind(ident_);  // Get refreshes a kind that changed
  return value;
}

void Var::SetSlowly(py::handle value) {
  if (generation_ != table_.generation() || !table_.Ready()) Refresh();
  if (WriteAs(table_, ident_, kind_, value, name_) == KELTO_LIVE_OK) return;
  table_.Set(ident_, value, name_);  // the general path reports or retries
  kind_ = table_.Kind(ident_);
}

}  // namespace kelto::python
