#include "facades/set_facade.h"

#include <cstring>

#include "table/access.h"
#include "table/library.h"
#include "table/var_item.h"

namespace kelto {
namespace {

constexpr size_t kPrefixLength = 6;

}  // namespace

int32_t OpenForFacade() {
  TheLibrary().Open();
  return 1;
}

int32_t CloseForFacade() {
  TheLibrary().Close();
  return 1;
}

int32_t ReadNameVarWithoutPrefix(int32_t ident, char* destination) {
  char full_name[kNameSize] = {};
  const int32_t result = kelto::ReadNameVar(ident, full_name);
  if (destination != nullptr) std::strcpy(destination, full_name + kPrefixLength);
  return result;
}

}  // namespace kelto
