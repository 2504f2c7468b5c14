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

// The two variable sets, as the facades address them: every full name of a
// set begins with its prefix, "IORSH_" or "MEMSH_".
enum class FacadeSet : uint8_t { kIorsh, kMemsh };

// The same for a full name given as its set and the name behind the set's
// prefix, as the facades have it. It is looked up without being composed,
// and a failure logs the prefix and the name as one name. The set is part
// of the type: each set has its own code, which goes straight to the set's
// table; recognising a prefix at run time cost a facade's lookup at a small
// table a quarter of its time.
template <FacadeSet kSet>
struct PrefixedName {
  const char* name;  // null is no name: it fails as the empty full name
};
template <FacadeSet kSet>
int32_t GetIdentVarName(PrefixedName<kSet> name);
template <FacadeSet kSet>
char GetTypeVarName(PrefixedName<kSet> name);
template <FacadeSet kSet>
int32_t GetSizeVarName(PrefixedName<kSet> name);
template <FacadeSet kSet>
int32_t WriteVarName(PrefixedName<kSet> name, const char* source);
template <FacadeSet kSet>
int32_t ReadVarName(PrefixedName<kSet> name, char* destination);

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
