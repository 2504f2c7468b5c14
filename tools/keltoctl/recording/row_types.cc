#include "keltoctl/recording/row_types.h"

#include "table/var_item.h"

namespace keltoctl {
namespace {

Hdf5Handle CopyOf(hid_t type) { return Hdf5Handle(H5Tcopy(type), H5Tclose); }

Hdf5Handle ValueType(char type, bool in_file) {
  switch (type) {
    case 'B':
    case 'H':
    case 'O': return CopyOf(in_file ? H5T_STD_U8LE : H5T_NATIVE_UINT8);
    case 'M':
    case 'W': return CopyOf(in_file ? H5T_STD_U16LE : H5T_NATIVE_UINT16);
    case 'L': return CopyOf(in_file ? H5T_STD_I32LE : H5T_NATIVE_INT32);
    case 'D': return CopyOf(in_file ? H5T_IEEE_F64LE : H5T_NATIVE_DOUBLE);
    case '$': return FixedStringType(kelto::kStringCapacity);
    default: return {};
  }
}

Hdf5Handle RowType(char type, bool in_file) {
  const Hdf5Handle value = ValueType(type, in_file);
  if (!value.valid()) return {};
  Hdf5Handle row(H5Tcreate(H5T_COMPOUND, RowBytes(type)), H5Tclose);
  if (!row.valid()) return {};
  H5Tinsert(row.get(), "time", 0, in_file ? H5T_STD_I64LE : H5T_NATIVE_INT64);
  H5Tinsert(row.get(), "value", kRowValueOffset, value.get());
  return row;
}

}  // namespace

size_t RowValueBytes(char type) {
  const int32_t size = kelto::SizeOfTypeLetter(type);
  return size < 0 ? 0 : static_cast<size_t>(size);
}

Hdf5Handle RowMemoryType(char type) { return RowType(type, false); }
Hdf5Handle RowFileType(char type) { return RowType(type, true); }

Hdf5Handle FixedStringType(size_t bytes) {
  Hdf5Handle text = CopyOf(H5T_C_S1);
  H5Tset_size(text.get(), bytes);
  H5Tset_strpad(text.get(), H5T_STR_NULLPAD);
  return text;
}

}  // namespace keltoctl
