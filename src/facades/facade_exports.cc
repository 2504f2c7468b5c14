// The exported IORSh and MemSh families. They differ only in their name and
// the set they address, so both come from one definition.
#include "facades/set_facade.h"
#include "kelto.h"
#include "table/access.h"

#define KELTO_DEFINE_FACADE_FAMILY(Family, facade)                                           \
  int32_t Family##Open(int32_t) { return facade.Open(); }                                    \
  int32_t Family##Close(void) { return facade.Close(); }                                     \
  int32_t Family##ReadApplicationCount(void) { return facade.ReadApplicationCount(); }       \
  int32_t Family##WriteVar(int32_t ident, const char* source) {                              \
    return kelto::WriteVar(ident, source);                                                   \
  }                                                                                          \
  int32_t Family##ReadVar(int32_t ident, char* destination) {                                \
    return kelto::ReadVar(ident, destination);                                               \
  }                                                                                          \
  char Family##GetTypeVar(int32_t ident) { return kelto::GetTypeVar(ident); }                \
  int32_t Family##GetSizeVar(int32_t ident) { return kelto::GetSizeVar(ident); }             \
  int32_t Family##GetIdentVarName(const char* name) { return facade.GetIdentVarName(name); } \
  char Family##GetTypeVarName(const char* name) { return facade.GetTypeVarName(name); }      \
  int32_t Family##GetSizeVarName(const char* name) { return facade.GetSizeVarName(name); }   \
  int32_t Family##WriteVarName(const char* name, const char* source) {                       \
    return facade.WriteVarName(name, source);                                                \
  }                                                                                          \
  int32_t Family##ReadVarName(const char* name, char* destination) {                         \
    return facade.ReadVarName(name, destination);                                            \
  }                                                                                          \
  int32_t Family##ReadNameVar(int32_t ident, char* destination) {                            \
    return facade.ReadNameVar(ident, destination);                                           \
  }

extern "C" {
KELTO_DEFINE_FACADE_FAMILY(IORSh, kelto::kIorshFacade)
KELTO_DEFINE_FACADE_FAMILY(MemSh, kelto::kMemshFacade)
}
