#include "table/access.h"

#include <cstring>

#include "table/library.h"
#include "table/value_copy.h"

namespace kelto {
namespace {

// A null name is treated as the empty name: it resolves to nothing, and the
// log line stays readable.
const char* OrEmpty(const char* name) { return name != nullptr ? name : ""; }

}  // namespace

int32_t WriteVar(int32_t ident, const char* source) {
  VarItem* item = TheLibrary().ResolveVar(ident);
  if (item == nullptr || source == nullptr) return -1;
  WriteValueByIdent(*item, source);
  return 0;
}

int32_t ReadVar(int32_t ident, char* destination) {
  const VarItem* item = TheLibrary().ResolveVar(ident);
  if (item == nullptr || destination == nullptr) return -1;
  ReadValue(*item, destination);
  return 0;
}

char GetTypeVar(int32_t ident) {
  const VarItem* item = TheLibrary().ResolveVar(ident);
  return item != nullptr ? item->type : kUnknownType;
}

int32_t GetSizeVar(int32_t ident) {
  const VarItem* item = TheLibrary().ResolveVar(ident);
  return item != nullptr ? ValueSize(*item) : 0;
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

int32_t GetIdentVarName(std::string_view name) {
  uint32_t ident = 0;
  return TheLibrary().ResolveVarName(name, &ident) != nullptr ? static_cast<int32_t>(ident) : -1;
}

char GetTypeVarName(std::string_view name) {
  const VarItem* item = TheLibrary().ResolveVarName(name);
  return item != nullptr ? item->type : kUnknownType;
}

int32_t GetSizeVarName(std::string_view name) {
  const VarItem* item = TheLibrary().ResolveVarName(name);
  return item != nullptr ? ValueSize(*item) : -1;
}

int32_t WriteVarName(std::string_view name, const char* source) {
  VarItem* item = TheLibrary().ResolveVarName(name);
  if (item == nullptr || source == nullptr) return -5;
  WriteValueByName(*item, source);
  return 0;
}

int32_t ReadVarName(std::string_view name, char* destination) {
  const VarItem* item = TheLibrary().ResolveVarName(name);
  if (item == nullptr || destination == nullptr) return -3;
  ReadValue(*item, destination);
  return 0;
}

int32_t GetIdentVarName(const char* name) {
  return GetIdentVarName(std::string_view(OrEmpty(name)));
}
char GetTypeVarName(const char* name) { return GetTypeVarName(std::string_view(OrEmpty(name))); }
int32_t GetSizeVarName(const char* name) {
  return GetSizeVarName(std::string_view(OrEmpty(name)));
}
int32_t WriteVarName(const char* name, const char* source) {
  return WriteVarName(std::string_view(OrEmpty(name)), source);
}
int32_t ReadVarName(const char* name, char* destination) {
  return ReadVarName(std::string_view(OrEmpty(name)), destination);
}

}  // namespace kelto
