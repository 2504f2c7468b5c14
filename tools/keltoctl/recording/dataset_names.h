// How a variable's full name becomes the name of its dataset and back.
//
// HDF5 takes any byte in a link name except '/' (its path separator) and
// NUL, and gives "." a meaning of its own; readers (h5py) expect UTF-8. So
// every byte outside printable ASCII, '/', '%' and a leading '.' are
// written as '%' and two upper-case hex digits; every other byte stays as
// it is. The rule is reversible: "%" always starts an escape.
#ifndef KELTOCTL_RECORDING_DATASET_NAMES_H_
#define KELTOCTL_RECORDING_DATASET_NAMES_H_

#include <optional>
#include <string>
#include <string_view>

namespace keltoctl {

std::string DatasetNameOf(std::string_view variable_name);

// The variable's name, or nothing for a name that no variable gives.
std::optional<std::string> VariableNameOf(std::string_view dataset_name);

}  // namespace keltoctl

#endif  // KELTOCTL_RECORDING_DATASET_NAMES_H_
