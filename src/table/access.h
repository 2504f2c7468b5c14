// The core operations behind the exported functions, with their results.
#ifndef KELTO_TABLE_ACCESS_H_
#define KELTO_TABLE_ACCESS_H_

#include <cstdint>

namespace kelto {

inline constexpr char kUnknownType = '#';

// By ident: -1, '#' and 0 on failure; ReadNameVar returns 0 either way.
int32_t WriteVar(int32_t ident, const char* source);
int32_t ReadVar(int32_t ident, char* destination);
char GetTypeVar(int32_t ident);
int32_t GetSizeVar(int32_t ident);
int32_t ReadNameVar(int32_t ident, char* destination);

// By full name: -1 for ident and size, '#' for type, -5 write, -3 read.
int32_t GetIdentVarName(const char* name);
char GetTypeVarName(const char* name);
int32_t GetSizeVarName(const char* name);
int32_t WriteVarName(const char* name, const char* source);
int32_t ReadVarName(const char* name, char* destination);

// The same for a full name given as its set prefix ("IORSH_" or "MEMSH_")
// and the name behind it, as the facades have it. It is looked up without
// being composed, and a failure logs the two parts as one name.
struct PrefixedName {
  const char* prefix;
  const char* name;  // null is no name: it fails as the empty full name
};
int32_t GetIdentVarName(PrefixedName name);
char GetTypeVarName(PrefixedName name);
int32_t GetSizeVarName(PrefixedName name);
int32_t WriteVarName(PrefixedName name, const char* source);
int32_t ReadVarName(PrefixedName name, char* destination);

// Typed accessors: never move more than their own result or argument holds.
char ReadByte(const char* name);
int32_t ReadInt32(const char* name);
double ReadDouble(const char* name);
int32_t ReadString(const char* name, char* destination);
int32_t WriteByte(const char* name, char value);
int32_t WriteInt32(const char* name, int32_t value);
int32_t WriteDouble(const char* name, double value);
int32_t WriteString(const char* name, const char* text);

}  // namespace kelto

#endif  // KELTO_TABLE_ACCESS_H_
