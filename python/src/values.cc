#include "values.h"

#include <cmath>
#include <cstring>
#include <string>

#include "errors.h"

namespace py = pybind11;

namespace kelto::python {
namespace {

constexpr size_t kMaxTextBytes = KELTO_LIVE_VALUE_SIZE - 1;

std::string NameFor(Table& table, uint32_t ident, py::handle key) {
  if (key && PyUnicode_Check(key.ptr())) return py::str(key).cast<std::string>();
  return table.NameOf(ident).cast<std::string>();
}

std::string TypeLetter(Table& table, uint32_t ident) {
  return std::string(1, table.Info(ident).type);
}

[[noreturn]] void RaiseWrongPythonType(Table& table, uint32_t ident, ValueKind kind,
                                       py::handle value, py::handle key) {
  const char* wanted = kind == ValueKind::kInteger  ? "an int"
                       : kind == ValueKind::kDouble ? "a float or an int"
                                                    : "a str";
  Raise(PyExc_TypeError, NameFor(table, ident, key) + " (type " + TypeLetter(table, ident) +
                             ") takes " + wanted + ", not " + Py_TYPE(value.ptr())->tp_name);
}

[[noreturn]] void RaiseOutOfRange(Table& table, uint32_t ident, py::handle number, py::handle key) {
  Raise(PyExc_OverflowError, py::str(number).cast<std::string>() + " is out of the range of " +
                                 NameFor(table, ident, key) + " (type " + TypeLetter(table, ident) +
                                 ")");
}

// A number that is not a float (an int of any size, numpy's float32, a
// Fraction) into D: only when the double holds it exactly, which Python's
// own comparison of the two tells; too large for any double is an
// OverflowError, as for float(2**1024).
kelto_live_result WriteNumberAsDouble(Table& table, uint32_t ident, py::handle number,
                                      py::handle key) {
  const double converted =
      PyLong_Check(number.ptr()) ? PyLong_AsDouble(number.ptr()) : PyFloat_AsDouble(number.ptr());
  if (converted == -1.0 && PyErr_Occurred() != nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
    PyErr_Clear();
    RaiseOutOfRange(table, ident, number, key);
  }
  const py::float_ as_double(converted);
  const int exact =
      std::isnan(converted) ? 1 : PyObject_RichCompareBool(as_double.ptr(), number.ptr(), Py_EQ);
  if (exact < 0) throw py::error_already_set();
  if (exact == 0) {
    Raise(PyExc_ValueError, py::str(number).cast<std::string>() +
                                " has no exact double value for " + NameFor(table, ident, key) +
                                " (type D)");
  }
  return kelto_live_set_double(table.handle(), ident, converted);
}

bool ConvertsToFloat(PyObject* object) {
  const PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  return number != nullptr && number->nb_float != nullptr;
}

kelto_live_result WriteInteger(Table& table, uint32_t ident, ValueKind kind, py::handle value,
                               py::handle key) {
  // An int as it is; anything else through its __index__ (numpy's integers).
  const py::object number = PyLong_Check(value.ptr())
                                ? py::reinterpret_borrow<py::object>(value)
                                : py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!number) throw py::error_already_set();
  if (kind == ValueKind::kDouble) return WriteNumberAsDouble(table, ident, number, key);
  int overflow = 0;
  const long long integer = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (integer == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
  const kelto_live_result result =
      overflow != 0 ? KELTO_LIVE_BAD_VALUE : kelto_live_set_int(table.handle(), ident, integer);
  if (result != KELTO_LIVE_BAD_VALUE) return result;
  RaiseOutOfRange(table, ident, number, key);
}

kelto_live_result WriteText(Table& table, uint32_t ident, py::handle value, py::handle key) {
  py::object encoded;
  const char* bytes = nullptr;
  Py_ssize_t length = 0;
  if (PyUnicode_Check(value.ptr())) {
    bytes = PyUnicode_AsUTF8AndSize(value.ptr(), &length);
    if (bytes == nullptr) {  // lone surrogates stand for bytes that are not UTF-8
      PyErr_Clear();
      encoded = py::reinterpret_steal<py::object>(
          PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogateescape"));
      if (!encoded) throw py::error_already_set();
    }
  } else if (PyBytes_Check(value.ptr())) {
    encoded = py::reinterpret_borrow<py::object>(value);
  } else {
    RaiseWrongPythonType(table, ident, ValueKind::kText, value, key);
  }
  if (encoded) {
    bytes = PyBytes_AS_STRING(encoded.ptr());
    length = PyBytes_GET_SIZE(encoded.ptr());
  }
  const auto size = static_cast<size_t>(length);
  if (size > kMaxTextBytes) {
    Raise(PyExc_ValueError, "a text of " + std::to_string(size) + " bytes does not fit " +
                                NameFor(table, ident, key) + " (at most 63 bytes)");
  }
  if (std::memchr(bytes, '\0', size) != nullptr) {
    Raise(PyExc_ValueError, "a text for " + NameFor(table, ident, key) + " cannot contain NUL");
  }
  return kelto_live_set_text(table.handle(), ident, bytes);
}

}  // namespace

py::str DecodeText(const char* bytes, size_t length) {
  PyObject* text = PyUnicode_DecodeUTF8(bytes, static_cast<Py_ssize_t>(length), "surrogateescape");
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

kelto_live_result WriteAs(Table& table, uint32_t ident, ValueKind kind, py::handle value,
                          py::handle key) {
  PyObject* object = value.ptr();
  switch (kind) {
    case ValueKind::kInteger:
      if (PyLong_Check(object)) return WriteInteger(table, ident, kind, value, key);
      if (PyFloat_Check(object) || !PyIndex_Check(object)) {
        RaiseWrongPythonType(table, ident, kind, value, key);
      }
      return WriteInteger(table, ident, kind, value, key);
    case ValueKind::kDouble:
      if (PyFloat_Check(object)) {
        return kelto_live_set_double(table.handle(), ident, PyFloat_AS_DOUBLE(object));
      }
      if (PyIndex_Check(object)) return WriteInteger(table, ident, kind, value, key);
      if (!ConvertsToFloat(object)) RaiseWrongPythonType(table, ident, kind, value, key);
      return WriteNumberAsDouble(table, ident, value, key);
    case ValueKind::kText: return WriteText(table, ident, value, key);
    default:
      Raise(PyExc_TypeError,
            NameFor(table, ident, key) + " (type " + TypeLetter(table, ident) + ") holds no value");
  }
}

}  // namespace kelto::python
