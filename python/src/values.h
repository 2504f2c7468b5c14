// Values between Python objects and the table: int for B H O M W L, float
// for D, str for $ (UTF-8, undecodable bytes kept as lone surrogates).
// Nothing is ever cut, wrapped or rounded: a value that does not fit is
// refused before anything is written.
#ifndef KELTO_PYTHON_VALUES_H_
#define KELTO_PYTHON_VALUES_H_

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kelto_live.h"
#include "table.h"

namespace kelto::python {

// Text from the table as str, with surrogateescape.
pybind11::str DecodeText(const char* bytes, size_t length);

// Reads `ident` as `kind` (kInteger, kDouble or kText). On OK, *value is a
// new reference, or null with a Python error set.
inline kelto_live_result ReadAs(kelto_live* handle, uint32_t ident, ValueKind kind,
                                PyObject** value) {
  kelto_live_result result = KELTO_LIVE_WRONG_TYPE;
  switch (kind) {
    case ValueKind::kInteger: {
      int64_t number = 0;
      result = kelto_live_get_int(handle, ident, &number);
      if (result == KELTO_LIVE_OK) *value = PyLong_FromLongLong(number);
      break;
    }
    case ValueKind::kDouble: {
      double number = 0;
      result = kelto_live_get_double(handle, ident, &number);
      if (result == KELTO_LIVE_OK) *value = PyFloat_FromDouble(number);
      break;
    }
    case ValueKind::kText: {
      char text[KELTO_LIVE_VALUE_SIZE];
      result = kelto_live_get_text(handle, ident, text, sizeof text);
      if (result == KELTO_LIVE_OK) *value = DecodeText(text, std::strlen(text)).release().ptr();
      break;
    }
    default: break;
  }
  return result;
}

// Writes `value` into `ident` of kind `kind`. Raises TypeError for a Python
// type that does not fit the variable, OverflowError for a number out of
// its range, ValueError for text of more than 63 bytes or with a NUL;
// otherwise returns what libkelto_live said (WRONG_TYPE: the kind changed).
kelto_live_result WriteAs(Table& table, uint32_t ident, ValueKind kind, pybind11::handle value,
                          pybind11::handle key);

}  // namespace kelto::python

#endif  // KELTO_PYTHON_VALUES_H_
