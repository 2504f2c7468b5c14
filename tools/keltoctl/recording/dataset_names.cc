#include "keltoctl/recording/dataset_names.h"

namespace keltoctl {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool KeptAsIs(unsigned char byte, bool first) {
  if (byte < 0x21 || byte > 0x7e) return false;
  if (byte == '/' || byte == '%') return false;
  return !(first && byte == '.');
}

int HexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return -1;
}

}  // namespace

std::string DatasetNameOf(std::string_view variable_name) {
  std::string name;
  name.reserve(variable_name.size());
  for (size_t i = 0; i < variable_name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(variable_name[i]);
    if (KeptAsIs(byte, i == 0)) {
      name += static_cast<char>(byte);
    } else {
      name += '%';
      name += kHexDigits[byte >> 4];
      name += kHexDigits[byte & 0xf];
    }
  }
  return name;
}

std::optional<std::string> VariableNameOf(std::string_view dataset_name) {
  std::string name;
  for (size_t i = 0; i < dataset_name.size(); ++i) {
    if (dataset_name[i] != '%') {
      name += dataset_name[i];
      continue;
    }
    if (i + 2 >= dataset_name.size()) return std::nullopt;
    const int high = HexValue(dataset_name[i + 1]);
    const int low = HexValue(dataset_name[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    name += static_cast<char>(high * 16 + low);
    i += 2;
  }
  if (DatasetNameOf(name) != dataset_name) return std::nullopt;
  return name;
}

}  // namespace keltoctl
