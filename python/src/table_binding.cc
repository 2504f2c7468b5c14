#include "table_binding.h"

#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>

#include "errors.h"
#include "fast_paths.h"
#include "program_hold.h"
#include "table.h"
#include "var.h"
#include "waiter.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace kelto::python {
namespace {

constexpr const char* kTableDoc = R"doc(The live kelto table: a mapping of full names to values.

Made by kelto.attach() (a passive observer) or kelto.open() (the process
holds the table as a program). Use it as a context manager, or call close().

Values: int for types B H O M W L, float for D, str for $ (UTF-8; bytes that
are not UTF-8 come back as lone surrogates and are written back as they were).
t["IORSH_SPEED"] reads, t["IORSH_SPEED"] = 120 writes:

- an unknown name raises KeyError;
- a Python type the variable does not take raises TypeError, and so does a
  variable whose type holds no value (get(), snapshot() and waits give None
  for it);
- a number out of the type's range raises OverflowError, a text of more than
  63 bytes ValueError; a D takes any number whose double is exact (2**63,
  numpy.float32) and refuses an inexact one with ValueError; nothing is ever
  cut, wrapped or rounded, and nothing is written;
- while no program holds the table, NoLiveTable (an OSError); an attached
  table picks up the next table of its segment at its next use.

Names iterate in ident order; len(), `in`, keys(), items(), values(), get()
and snapshot() (a plain dict read in one pass) work as for a dict.
t.var(name) gives a Var for fast access by ident; t.iorsh and t.memsh are the
facades' views, with names written without their prefix; t.wait() and
t.watch() block until variables change.

A Table may be used from several threads; waiting lets go of the GIL. In a
forked child every Table of the parent is closed: attach anew there.)doc";

constexpr const char* kWaitDoc =
    R"doc(Blocks until a variable changes and returns {name: new value}.

names: None (any variable), one name (a str), or an iterable of names;
bytes are a TypeError.
timeout: seconds, or None to wait without limit; on timeout, returns {}. It
is a deadline for the whole call; one call of the library may outlast it by
up to a second while a process stopped holding the change log's lock keeps
waiters from reading the log (they then compare values instead).

Each thread has its own position in the stream of changes, kept between
calls, so a loop of wait() calls misses no change; a wait for some names
passes over changes of the others. When changes were lost (a waiter that
fell more than 65536 changes behind), the wait reports every variable of
interest whose value differs from the one this position last reported. Raises NoLiveTable when
the table goes away while waiting (within about a second), ValueError when
another thread closes the table, KeyError for an unknown name.)doc";

// Instances come only from this module's functions, which build the C++
// object first; one made by __new__ alone would hold none, and every use
// would read memory that was never set up. The class's __new__ refuses, and
// so does its slot, which calling the class and the base class's __new__
// use (setting __new__ sets the slot too, so the slot is set after it).
constexpr char kNewTable[] =
    "kelto.Table cannot be made directly: use kelto.attach() or kelto.open()";
constexpr char kNewVar[] =
    "kelto.Var cannot be made directly: use table.var(name) on a table from kelto.attach()";
constexpr char kNewWaiter[] =
    "kelto.Waiter cannot be made directly: use table.waiter() on a table from kelto.attach()";

template <const char* kMessage>
PyObject* RefuseNew(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, kMessage);
  return nullptr;
}

template <const char* kMessage>
void RefuseDirectInstances(py::handle type) {
  type.attr("__new__") = py::staticmethod(py::cpp_function(
      [](const py::args&, const py::kwargs&) { Raise(PyExc_TypeError, kMessage); }));
  auto* object = reinterpret_cast<PyTypeObject*>(type.ptr());
  object->tp_new = RefuseNew<kMessage>;
  PyType_Modified(object);
}

// A segment name as given: None, or a str that UTF-8 can encode (a name with
// lone surrogates names no segment).
std::optional<std::string> SegmentArgument(const py::object& segment) {
  if (segment.is_none()) return std::nullopt;
  if (!PyUnicode_Check(segment.ptr())) {
    Raise(PyExc_TypeError,
          std::string("a segment name is a str, not ") + Py_TYPE(segment.ptr())->tp_name);
  }
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(segment.ptr(), &length);
  if (text == nullptr) {
    PyErr_Clear();
    Raise(PyExc_ValueError,
          py::repr(segment).cast<std::string>() + " cannot be a segment name (not UTF-8)");
  }
  return std::string(text, static_cast<size_t>(length));
}

std::unique_ptr<Var> MakeVar(py::object self, py::str name) {
  Table& table = self.cast<Table&>();
  return std::make_unique<Var>(table, std::move(self), std::move(name));
}

std::string Repr(Table& table) {
  std::string state = table.closed() ? "closed" : table.attached() ? "attached" : "no live table";
  return "<kelto.Table '" + table.segment() + "' " + (table.program() ? "program, " : "") + state +
         ">";
}

py::list Names(Table& table) {
  py::list names;
  for (const uint32_t ident : table.KeyIdents()) names.append(table.NameOf(ident));
  return names;
}

void BindTableClass(py::module_& module, py::class_<Table>& table) {
  table
      .def(
          "__getitem__",
          [](Table& self, const py::str& name) { return self.Get(self.Find(name), name); },
          "name"_a, "The value of the variable `name` (full name).")
      .def(
          "__setitem__",
          [](Table& self, const py::str& name, const py::object& value) {
            self.Set(self.Find(name), value, name);
          },
          "name"_a, "value"_a,
          "Writes `value` into the variable `name`; refused values write nothing.")
      .def(
          "__delitem__",
          [](Table&, py::object) {
            Raise(PyExc_TypeError, "variables of a kelto table cannot be deleted");
          },
          "name"_a)
      .def(
          "__contains__", [](Table& self, const py::object& name) { return self.Contains(name); },
          "name"_a)
      .def("__len__", [](Table& self) { return self.KeyIdents().size(); })
      .def(
          "__iter__", [](Table& self) { return py::iter(Names(self)); },
          "The names, in ident order (a list taken when iteration starts).")
      .def(
          "get",
          [](Table& self, const py::object& name, const py::object& fallback) {
            return self.GetOr(name, fallback);
          },
          "name"_a, "default"_a = py::none(),
          "The value of `name`; None for a type that holds no value (as in\n"
          "snapshot()), `default` for a name the table does not have.")
      .def("snapshot", &Table::Snapshot,
           "Every variable's value in a plain dict {name: value}, read in one pass\n"
           "(None for a type that holds no value).")
      .def("var", &MakeVar, "name"_a,
           "A Var for the variable `name`: found once, then read and written by ident.")
      .def(
          "wait",
          [](Table& self, const py::object& names, const py::object& timeout) {
            return self.ThreadWaiter().Wait(names, timeout);
          },
          "names"_a = py::none(), "timeout"_a = py::none(), kWaitDoc)
      .def(
          "waiter", [](py::object self) { return Waiter(self.cast<Table&>(), self); },
          "A Waiter of its own: a position in the stream of changes, starting now.\n"
          "watch() uses one; a consumer that hands waiting between threads can too.")
      .def("close", &Table::Close,
           "Lets go of the table (for kelto.open(): closes the program's hold, as\n"
           "KeltoClose does). Waits in other threads raise ValueError. A second close\n"
           "does nothing.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](Table& self, const py::args&) { self.Close(); })
      .def_property_readonly("segment", &Table::segment, "The segment name.")
      .def_property_readonly("closed", &Table::closed, "True after close().")
      .def_property_readonly("program", &Table::program,
                             "True for a table from kelto.open(), which holds it as a program.")
      .def_property_readonly(
          "live", &Table::CheckLive,
          "True while a program holds the table (after picking up a new one, if one\n"
          "came up since the last went away).")
      .def("__repr__", &Repr);
  static_cast<void>(module);
}

void BindVarClass(py::module_& module) {
  py::class_<Var> var(module, "Var", py::is_final(),
                      "One variable of a Table, found by name once and then used by ident.\n\n"
                      "var.value reads and writes it: the fast path for loops. After a program\n"
                      "brings up a new table, a Var finds its name there again.");
  var.def_property_readonly("ident", &Var::ident, "The ident in the table (0 to count-1).")
      .def_property_readonly("name", &Var::name, "The full name.")
      .def_property_readonly(
          "type", [](Var& self) { return std::string(1, self.type()); },
          "The type letter: $ B H O M W L D, or another letter that holds no value.")
      .def_property_readonly("size", &Var::size, "The value size in bytes.")
      .def("__repr__", [](Var& self) {
        return "<kelto.Var " + self.name().cast<std::string>() + " ident " +
               std::to_string(self.ident()) + " type " + std::string(1, self.type()) + ">";
      });
  // `value` is added by InstallFastPaths.
}

void BindWaiterClass(py::module_& module) {
  py::class_<Waiter>(module, "Waiter", py::is_final(),
                     "A position in a table's stream of changes (Table.waiter()).")
      .def("wait", &Waiter::Wait, "names"_a = py::none(), "timeout"_a = py::none(),
           "As Table.wait, from this waiter's own position.");
}

}  // namespace

void BindTable(py::module_& module) {
  py::class_<Table> table(module, "Table", py::is_final(), kTableDoc);
  BindTableClass(module, table);
  BindVarClass(module);
  BindWaiterClass(module);
  InstallFastPaths(table, module.attr("Var"));
  RefuseDirectInstances<kNewTable>(table);
  RefuseDirectInstances<kNewVar>(module.attr("Var"));
  RefuseDirectInstances<kNewWaiter>(module.attr("Waiter"));

  module.def(
      "attach",
      [](const py::object& segment, const py::object& timeout) {
        return Table::Attach(SegmentArgument(segment), TimeoutMs(timeout));
      },
      "segment"_a = py::none(), "timeout"_a = 0.0,
      R"doc(Attaches to the live table as a passive observer and returns a Table.

segment: the segment name (default: KELTO_SEGMENT, else "keltovariables").
timeout: seconds to wait for a program to hold the table (0: look once;
None: no limit).

No definition files and no log are read or written, and the table is never
kept alive: only programs do that. Raises NoLiveTable (an OSError) when no
program holds the table, also when a program stopped inside its Open or Close
holds the segment's lock file for longer than the timeout (at least a quarter
of a second); ValueError for a name that cannot be a segment's. The GIL is
free while it waits.)doc");
  module.def("open", &OpenProgramTable,
             R"doc(Opens the table as a program, as KeltoOpen does, and returns a Table.

Reads the definition files of KELTO_DIR, writes the log there and holds the
table of KELTO_SEGMENT until close() (KeltoClose), which ends it if no other
program holds it. The hold is the process's own, shared by every Table from
open(). Raises NoLiveTable when Open brought no table up (see the log).)doc");
}

}  // namespace kelto::python
