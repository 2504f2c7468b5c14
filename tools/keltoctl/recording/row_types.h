// The HDF5 types of a recorded row, (time, value), for each type letter:
// time as int64 nanoseconds since the epoch, the value in its own type (B H
// O uint8, M W uint16, L int32, D float64, $ a 63-byte string padded with
// NULs). In memory a row is packed: the time at offset 0, the value at 8.
#ifndef KELTOCTL_RECORDING_ROW_TYPES_H_
#define KELTOCTL_RECORDING_ROW_TYPES_H_

#include <cstddef>

#include "keltoctl/recording/hdf5_handle.h"

namespace keltoctl {

inline constexpr size_t kRowValueOffset = 8;

// Bytes of the value of type letter `type` in a row; 0 for a type that holds
// no value.
size_t RowValueBytes(char type);
inline size_t RowBytes(char type) { return kRowValueOffset + RowValueBytes(type); }

// The row's type in memory (native order) and in the file (little-endian).
Hdf5Handle RowMemoryType(char type);
Hdf5Handle RowFileType(char type);

// A fixed-size string of `bytes` bytes padded with NULs.
Hdf5Handle FixedStringType(size_t bytes);

}  // namespace keltoctl

#endif  // KELTOCTL_RECORDING_ROW_TYPES_H_
