// Typed accessors over the by-name operations. Every value passes through a
// zeroed buffer as wide as a whole value field, so a variable wider than the
// accessor's type (a byte read of a double, a string written into a double)
// never makes a copy run past the caller's value: reads keep the low-order
// bytes, writes store the value zero-extended.
#include <cstring>

#include "table/access.h"
#include "table/var_item.h"

namespace kelto {
namespace {

template <typename Value>
Value ReadAs(const char* name) {
  char field[kValueSize] = {};
  ReadVarName(name, field);
  Value value;
  std::memcpy(&value, field, sizeof value);
  return value;
}

template <typename Value>
int32_t WriteAs(const char* name, Value value) {
  char field[kValueSize] = {};
  std::memcpy(field, &value, sizeof value);
  return WriteVarName(name, field);
}

}  // namespace

char ReadByte(const char* name) { return ReadAs<char>(name); }
int32_t ReadInt32(const char* name) { return ReadAs<int32_t>(name); }
double ReadDouble(const char* name) { return ReadAs<double>(name); }
int32_t ReadString(const char* name, char* destination) { return ReadVarName(name, destination); }

int32_t WriteByte(const char* name, char value) { return WriteAs(name, value); }
int32_t WriteInt32(const char* name, int32_t value) { return WriteAs(name, value); }
int32_t WriteDouble(const char* name, double value) { return WriteAs(name, value); }

int32_t WriteString(const char* name, const char* text) {
  if (text == nullptr) return WriteVarName(name, nullptr);
  // A text of a full field or more can be handed on as it is: no copy reads
  // more than a field from it. A shorter one is padded with zeros, so that a
  // non-string variable of up to 8 bytes never reads past its terminator.
  if (strnlen(text, kValueSize) == kValueSize) return WriteVarName(name, text);
  char field[kValueSize] = {};
  std::memcpy(field, text, std::strlen(text));
  return WriteVarName(name, field);
}

}  // namespace kelto
