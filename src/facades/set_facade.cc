#include "facades/set_facade.h"

#include <cstring>

#include "table/access.h"
#include "table/library.h"
#include "table/var_item.h"

namespace kelto {
namespace {

constexpr size_t kPrefixLength = 6;

}  // namespace

int32_t SetFacade::Open() const {
  TheLibrary().Open();
  return 1;
}

int32_t SetFacade::Close() const {
  TheLibrary().Close();
  return 1;
}

int32_t SetFacade::GetIdentVarName(const char* name) const {
  return kelto::GetIdentVarName(PrefixedName{prefix_, name});
}

char SetFacade::GetTypeVarName(const char* name) const {
  return kelto::GetTypeVarName(PrefixedName{prefix_, name});
}

int32_t SetFacade::GetSizeVarName(const char* name) const {
  return kelto::GetSizeVarName(PrefixedName{prefix_, name});
}

int32_t SetFacade::WriteVarName(const char* name, const char* source) const {
  return kelto::WriteVarName(PrefixedName{prefix_, name}, source);
}

int32_t SetFacade::ReadVarName(const char* name, char* destination) const {
  return kelto::ReadVarName(PrefixedName{prefix_, name}, destination);
}

int32_t SetFacade::ReadNameVar(int32_t ident, char* destination) const {
  char full_name[kNameSize] = {};
  const int32_t result = kelto::ReadNameVar(ident, full_name);
  if (destination != nullptr) std::strcpy(destination, full_name + kPrefixLength);
  return result;
}

}  // namespace kelto
