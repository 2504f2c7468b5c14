#include "table/access.h"

#include <cstring>

#include "table/library.h"
#include "table/store_value.h"
#include "table/value_copy.h"

namespace kelto {
namespace {

// A null name is treated as the empty name: it resolves to nothing, and the
// log line stays readable.
const char* OrEmpty(const char* name) { return name != nullptr ? name : ""; }

// Out of line, so that the write itself stays free of calls that return
// to it: an ident out of range is logged here.
[[gnu::noinline, gnu::cold]] int32_t RefuseWrite(int32_t ident) {
  TheLibrary().ResolveVar(ident);
  return -1;
}

}  // namespace

int32_t WriteVar(int32_t ident, const char* source) {
  Library& library = TheLibrary();
  const auto index = static_cast<uint32_t>(ident);
  if (index >= library.ItemCount() || source == nullptr) return RefuseWrite(ident);
  return StoreValue(*ItemAt(library.View(), index), library.ShapeOf(index), StoreRule::kByIdent,
                    source, library.ChangeLog(), index);
}

int32_t ReadVar(int32_t ident, char* destination) {
  Library& library = TheLibrary();
  const VarItem* item = library.ResolveVar(ident);
  if (item == nullptr || destination == nullptr) return -1;
  ReadValue(*item, library.ShapeOf(static_cast<uint32_t>(ident)), destination);
  return 0;
}

char GetTypeVar(int32_t ident) {
  const VarItem* item = TheLibrary().ResolveVar(ident);
  return item != nullptr ? TheLibrary().ShapeOf(static_cast<uint32_t>(ident)).type : kUnknownType;
}

int32_t GetSizeVar(int32_t ident) {
  const VarItem* item = TheLibrary().ResolveVar(ident);
  return item != nullptr ? TheLibrary().ShapeOf(static_cast<uint32_t>(ident)).size : 0;
}

int32_t ReadNameVar(int32_t ident, char* destination) {
  const VarItem* item = TheLibrary().ResolveVar(ident);
  if (item != nullptr && destination != nullptr) {
    // Bounded by the field even if another process left no terminator.
    const size_t length = strnlen(item->name, kNameSize - 1);
    std::memcpy(destination, item->name, length);
    destination[length] = '\0';
  }
  return 0;
}

namespace {

VarItem* Resolve(const char* name, uint32_t* ident) {
  return TheLibrary().ResolveVarName(name, ident);
}

template <FacadeSet kSet>
VarItem* Resolve(PrefixedName<kSet> name, uint32_t* ident) {
  return TheLibrary().ResolvePrefixedName(kSet, name.name, ident);
}

// Each by-name operation, for a full name and for a prefixed one. Values
// move by this process's own shape of the variable.
template <typename Name>
int32_t GetIdentOf(Name name) {
  uint32_t ident = 0;
  return Resolve(name, &ident) != nullptr ? static_cast<int32_t>(ident) : -1;
}

template <typename Name>
char GetTypeOf(Name name) {
  uint32_t ident = 0;
  return Resolve(name, &ident) != nullptr ? TheLibrary().ShapeOf(ident).type : kUnknownType;
}

template <typename Name>
int32_t GetSizeOf(Name name) {
  uint32_t ident = 0;
  return Resolve(name, &ident) != nullptr ? TheLibrary().ShapeOf(ident).size : -1;
}

template <typename Name>
int32_t WriteNamed(Name name, const char* source) {
  uint32_t ident = 0;
  VarItem* item = Resolve(name, &ident);
  if (item == nullptr || source == nullptr) return -5;
  Library& library = TheLibrary();
  return StoreValue(*item, library.ShapeOf(ident), StoreRule::kByName, source, library.ChangeLog(),
                    ident);
}

template <typename Name>
int32_t ReadNamed(Name name, char* destination) {
  uint32_t ident = 0;
  const VarItem* item = Resolve(name, &ident);
  if (item == nullptr || destination == nullptr) return -3;
  ReadValue(*item, TheLibrary().ShapeOf(ident), destination);
  return 0;
}

}  // namespace

int32_t GetIdentVarName(const char* name) { return GetIdentOf(OrEmpty(name)); }
char GetTypeVarName(const char* name) { return GetTypeOf(OrEmpty(name)); }
int32_t GetSizeVarName(const char* name) { return GetSizeOf(OrEmpty(name)); }
int32_t WriteVarName(const char* name, const char* source) {
  return WriteNamed(OrEmpty(name), source);
}
int32_t ReadVarName(const char* name, char* destination) {
  return ReadNamed(OrEmpty(name), destination);
}

template <FacadeSet kSet>
int32_t GetIdentVarName(PrefixedName<kSet> name) {
  return GetIdentOf(name);
}
template <FacadeSet kSet>
char GetTypeVarName(PrefixedName<kSet> name) {
  return GetTypeOf(name);
}
template <FacadeSet kSet>
int32_t GetSizeVarName(PrefixedName<kSet> name) {
  return GetSizeOf(name);
}
template <FacadeSet kSet>
int32_t WriteVarName(PrefixedName<kSet> name, const char* source) {
  return WriteNamed(name, source);
}
template <FacadeSet kSet>
int32_t ReadVarName(PrefixedName<kSet> name, char* destination) {
  return ReadNamed(name, destination);
}

#define KELTO_INSTANTIATE_FOR_SET(set)                                  \
  template int32_t GetIdentVarName(PrefixedName<set>);                  \
  template char GetTypeVarName(PrefixedName<set>);                      \
  template int32_t GetSizeVarName(PrefixedName<set>);                   \
  template int32_t WriteVarName(PrefixedName<set>, const char* source); \
  template int32_t ReadVarName(PrefixedName<set>, char* destination);
KELTO_INSTANTIATE_FOR_SET(FacadeSet::kIorsh)
KELTO_INSTANTIATE_FOR_SET(FacadeSet::kMemsh)
#undef KELTO_INSTANTIATE_FOR_SET

}  // namespace kelto
